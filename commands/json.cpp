// The JSON adapter over cJSON used by the commands.
#include "commands/json.h"

#include <cjson/cJSON.h>

#include <cstdlib>
#include <limits>

namespace {

const cJSON* FindMember(const JsonDocument& document, const char* name) {
    if (!document || !cJSON_IsObject(document.get())) return nullptr;
    // cJSON_GetObjectItem compares names with ASCII case ignored and returns
    // the first match in document order.
    return cJSON_GetObjectItem(document.get(), name);
}

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

void JsonDeleter::operator()(cJSON* document) const {
    cJSON_Delete(document);
}

JsonDocument ParseJson(const std::string& text) {
    return JsonDocument(cJSON_ParseWithOpts(text.c_str(), nullptr, false));
}

std::string GetMemberText(const JsonDocument& document, const char* name) {
    const cJSON* member = FindMember(document, name);
    if (!cJSON_IsString(member) || member->valuestring == nullptr) return "";
    return member->valuestring;
}

std::string PrintMember(const JsonDocument& document, const char* name) {
    const cJSON* member = FindMember(document, name);
    if (!member) return "";
    char* printed = cJSON_PrintUnformatted(member);
    if (!printed) return "";
    std::string text(printed);
    cJSON_free(printed);
    return text;
}

int32_t DecimalValue(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Accumulated as a magnitude that stops growing past the 32-bit range.
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > kLimit) magnitude = kLimit;
    }
    if (negative) return static_cast<int32_t>(-magnitude);
    if (magnitude > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(magnitude);
}
