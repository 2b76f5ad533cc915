// Parsing of control messages and formatting of control events. Every check
// happens here, before anything reaches the virtual devices, so a malformed
// message changes nothing.
#include "demo/control_protocol.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <memory>

namespace demo {

namespace {

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// An integral JSON number within [low, high].
bool IntegerIn(const cJSON* item, double low, double high, long& value) {
    if (!cJSON_IsNumber(item)) return false;
    double d = item->valuedouble;
    if (!std::isfinite(d) || d != std::floor(d) || d < low || d > high) return false;
    value = static_cast<long>(d);
    return true;
}

bool ParseReport(const cJSON* value, ControlAction& action, std::string& error) {
    if (!cJSON_IsString(value) || !ParseHexBytes(value->valuestring, action.report)) {
        error = "\"report\" takes a string of hexadecimal bytes, such as \"02 80 4F 4B\"";
        return false;
    }
    if (action.report.size() > kMaxControlReport) {
        error = "\"report\" holds more than " + std::to_string(kMaxControlReport) + " bytes";
        return false;
    }
    action.kind = ControlAction::kReport;
    return true;
}

bool ParsePen(const cJSON* value, ControlAction& action, std::string& error) {
    long parts[3];
    bool ok = cJSON_IsArray(value) && cJSON_GetArraySize(value) == 3;
    for (int i = 0; ok && i < 3; ++i) {
        ok = IntegerIn(cJSON_GetArrayItem(value, i), 0, 65535, parts[i]);
    }
    if (!ok) {
        error = "\"pen\" takes [x, y, pressure], three integers from 0 to 65535";
        return false;
    }
    action.kind = ControlAction::kPen;
    action.x = static_cast<uint16_t>(parts[0]);
    action.y = static_cast<uint16_t>(parts[1]);
    action.pressure = static_cast<uint16_t>(parts[2]);
    return true;
}

bool ParseWord(const cJSON* value, const char* member, std::initializer_list<const char*> words,
               ControlAction& action, std::string& error) {
    if (cJSON_IsString(value)) {
        for (const char* word : words) {
            if (std::string(value->valuestring) == word) {
                action.word = word;
                return true;
            }
        }
    }
    error = std::string("\"") + member + "\" takes one of";
    const char* separator = " ";
    for (const char* word : words) {
        error += separator + std::string("\"") + word + "\"";
        separator = ", ";
    }
    return false;
}

bool ParseRefuse(const cJSON* value, ControlAction& action, std::string& error) {
    bool ok = cJSON_IsArray(value);
    action.refused.clear();
    for (const cJSON* item = ok ? value->child : nullptr; ok && item; item = item->next) {
        long code = 0;
        ok = IntegerIn(item, 0, 255, code);
        if (ok) action.refused.insert(static_cast<uint8_t>(code));
    }
    if (!ok) {
        error = "\"refuse\" takes a list of command codes from 0 to 255, such as [1, 4]";
        return false;
    }
    action.kind = ControlAction::kRefuse;
    return true;
}

std::string Print(cJSON* object) {
    Json owned(object, cJSON_Delete);
    char* printed = cJSON_PrintUnformatted(owned.get());
    if (printed == nullptr) return "{}";
    std::string text(printed);
    cJSON_free(printed);
    return text;
}

std::string OneMember(const char* name, const char* value) {
    cJSON* object = cJSON_CreateObject();
    cJSON_AddStringToObject(object, name, value);
    return Print(object);
}

}  // namespace

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    int high = -1;
    for (char c : text) {
        if (IsBlank(c)) continue;
        int digit = HexDigit(c);
        if (digit < 0) return false;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    return high < 0 && !bytes.empty();
}

std::string FormatHexBytes(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) text += ' ';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool ParseControlMessage(const std::string& text, ControlAction& action, std::string& error) {
    const char* end = nullptr;
    Json document(cJSON_ParseWithLengthOpts(text.data(), text.size(), &end, false), cJSON_Delete);
    // Anything but blanks after the object is a second message or garbage.
    bool trailing = false;
    if (document && end) {
        for (const char* p = end; p < text.data() + text.size(); ++p) {
            if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') trailing = true;
        }
    }
    if (!document || trailing) {
        error = "not a JSON text";
        return false;
    }
    const cJSON* root = document.get();
    if (!cJSON_IsObject(root) || root->child == nullptr || root->child->next != nullptr) {
        error = "a control message is a JSON object with exactly one member";
        return false;
    }
    const cJSON* value = root->child;
    const std::string name = value->string ? value->string : "";
    if (name == "report") return ParseReport(value, action, error);
    if (name == "pen") return ParsePen(value, action, error);
    if (name == "refuse") return ParseRefuse(value, action, error);
    if (name == "button") {
        action.kind = ControlAction::kButton;
        return ParseWord(value, "button", {"CL", "OK", "CNCL"}, action, error);
    }
    if (name == "finger") {
        action.kind = ControlAction::kFinger;
        return ParseWord(value, "finger", {"place", "lift", "absent", "present"}, action, error);
    }
    if (name == "plugged") {
        if (!cJSON_IsBool(value)) {
            error = "\"plugged\" takes true or false";
            return false;
        }
        action.kind = ControlAction::kPlugged;
        action.plugged = cJSON_IsTrue(value);
        return true;
    }
    error = "unknown control message \"" + name +
            "\"; known: report, pen, button, refuse, plugged, finger";
    return false;
}

std::string FeatureEvent(const std::vector<uint8_t>& bytes, bool accepted) {
    cJSON* object = cJSON_CreateObject();
    cJSON_AddStringToObject(object, "feature", FormatHexBytes(bytes).c_str());
    cJSON_AddBoolToObject(object, "accepted", accepted);
    return Print(object);
}

std::string PadEvent(bool open) {
    return OneMember("pad", open ? "open" : "closed");
}

std::string ReaderEvent(bool open) {
    return OneMember("reader", open ? "open" : "closed");
}

std::string ErrorEvent(const std::string& error) {
    return OneMember("error", error.c_str());
}

}  // namespace demo
