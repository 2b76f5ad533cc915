// Sealed signature evidence: the request's members checked one by one, each
// refusal naming its member, and the plaintext that binds the pen record to
// the document, the signer, the reason, the time, the picture and the pad.
#include "pad/evidence.h"

#include <cjson/cJSON.h>

#include "pad/device.h"
#include "platform/platform.h"

#ifndef PENMORA_VERSION
#define PENMORA_VERSION "0"
#endif

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Code points of a UTF-8 text: every byte that does not continue a sequence.
size_t CharacterCount(const std::string& text) {
    size_t count = 0;
    for (unsigned char c : text) count += (c & 0xC0) != 0x80;
    return count;
}

// Whether `text` is well-formed UTF-8 (no overlong form, no surrogate, nothing
// above U+10FFFF).
bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        uint32_t point = 0, least = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, point = c & 0x1F, least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, point = c & 0x0F, least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, point = c & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = point << 6 | (next & 0x3F);
        }
        if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// A member that is present must hold a JSON string in UTF-8: its text in
// `text`. False with `error` set otherwise.
bool StringMember(const JsonDocument& message, const char* name, bool* present, std::string* text,
                  std::string* error) {
    const std::string printed = PrintMember(message, name);
    *present = !printed.empty();
    if (!*present) return true;
    if (printed[0] != '"') {
        *error = std::string(name) + ": not a JSON string";
        return false;
    }
    *text = GetMemberText(message, name);
    if (!IsUtf8(*text)) {
        *error = std::string(name) + ": not valid UTF-8";
        return false;
    }
    return true;
}

void AddText(cJSON* object, const char* name, bool present, const std::string& text) {
    if (present) {
        cJSON_AddStringToObject(object, name, text.c_str());
    } else {
        cJSON_AddNullToObject(object, name);
    }
}

std::string HexNumber(unsigned value) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(4, '0');
    for (int i = 3; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = kDigits[value & 15];
    return text;
}

}  // namespace

EvidenceRequestPtr ReadEvidenceRequest(const JsonDocument& message, std::string* error) {
    error->clear();
    auto request = std::make_shared<EvidenceRequest>();
    bool hasKey = false;
    std::string keyText;
    if (!StringMember(message, "sealto", &hasKey, &keyText, error)) return nullptr;
    if (!hasKey) return nullptr;
    std::string why;
    request->sealTo = crypto::ParsePublicKey(keyText, &why);
    if (!request->sealTo) {
        *error = "sealto: " + why;
        return nullptr;
    }
    if (!StringMember(message, "document", &request->hasDocument, &request->document, error)) {
        return nullptr;
    }
    if (request->hasDocument) {
        bool hex = request->document.size() == 64;
        for (char c : request->document) hex = hex && IsHexDigit(c);
        if (!hex) {
            *error = "document: not a SHA-256 in hex (64 hex digits)";
            return nullptr;
        }
    }
    if (!StringMember(message, "who", &request->hasWho, &request->who, error) ||
        !StringMember(message, "why", &request->hasWhy, &request->why, error)) {
        return nullptr;
    }
    for (const auto& [name, text] :
         {std::make_pair("who", &request->who), std::make_pair("why", &request->why)}) {
        if (CharacterCount(*text) > kEvidenceTextLimit) {
            *error = std::string(name) + ": longer than " + std::to_string(kEvidenceTextLimit) +
                     " characters";
            return nullptr;
        }
    }
    return request;
}

std::string EvidenceErrorMessage(const std::string& error) {
    cJSON* object = cJSON_CreateObject();
    cJSON_AddStringToObject(object, "typeName", "TavoEvidenceError");
    cJSON_AddStringToObject(object, "message", error.c_str());
    char* printed = cJSON_PrintUnformatted(object);
    std::string text = printed ? printed : "";
    cJSON_free(printed);
    cJSON_Delete(object);
    return text;
}

std::string HexText(const crypto::Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

std::string EvidencePlaintext(const EvidenceRequest& request, const EvidenceFacts& facts) {
    cJSON* object = cJSON_CreateObject();
    cJSON_AddStringToObject(object, "format", "penmora-evidence");
    cJSON_AddNumberToObject(object, "version", kEvidenceVersion);
    AddText(object, "document", request.hasDocument, request.document);
    AddText(object, "who", request.hasWho, request.who);
    AddText(object, "why", request.hasWhy, request.why);
    cJSON_AddStringToObject(object, "time", facts.okUtc.c_str());
    cJSON_AddStringToObject(object, "pngSha256", facts.pngSha256.c_str());
    cJSON* pad = cJSON_AddObjectToObject(object, "pad");
    cJSON_AddStringToObject(pad, "vendorId", HexNumber(PadVendorId).c_str());
    cJSON_AddStringToObject(pad, "productId", HexNumber(PadProductId).c_str());
    AddText(pad, "serial", !facts.padSerial.empty(), facts.padSerial);
    cJSON* service = cJSON_AddObjectToObject(object, "service");
    cJSON_AddStringToObject(service, "name", "Penmora");
    cJSON_AddStringToObject(service, "version", PENMORA_VERSION);
    cJSON_AddStringToObject(service, "platform", platform::kSystemName);
    cJSON_AddStringToObject(object, "record", facts.record.c_str());
    char* printed = cJSON_PrintUnformatted(object);
    std::string text = printed ? printed : "";
    cJSON_free(printed);
    cJSON_Delete(object);
    return text;
}
