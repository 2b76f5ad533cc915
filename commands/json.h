// The JSON of the commands, over cJSON: parse once, look members up by name
// with ASCII letter case ignored, print a member back unformatted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct cJSON;

struct JsonDeleter {
    void operator()(cJSON* document) const;
};
// Null when the text is not JSON; every lookup on it finds nothing.
using JsonDocument = std::unique_ptr<cJSON, JsonDeleter>;

// Parses the first JSON value of `text`; whatever follows it is ignored.
JsonDocument ParseJson(const std::string& text);

// The text of the top-level object's first member named `name` (ASCII case
// ignored) when its value is a JSON string; "" otherwise.
std::string GetMemberText(const JsonDocument& document, const char* name);

// The value of that member printed as JSON without white space; "" when the
// top level is not an object or has no such member.
std::string PrintMember(const JsonDocument& document, const char* name);

// The decimal value of a parameter text: leading white space skipped, an
// optional sign, digits up to the first other character; 0 without digits;
// values beyond 32 bits give the nearest limit.
int32_t DecimalValue(const std::string& text);
