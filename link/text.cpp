// Conversion between the service's 8-bit texts (code page 936) and the UTF-8
// of the wire. Both take C texts: a NUL byte ends the text, as it would for
// every caller that received it as a NUL-terminated string.
#include "link/text.h"

#include <cstring>

#include "platform/platform.h"

namespace {

std::string UpToNul(const std::string& text) {
    return std::string(text.c_str(), strnlen(text.c_str(), text.size()));
}

}  // namespace

std::string ToUtf8(const std::string& text) {
    return platform::Cp936ToUtf8(UpToNul(text));
}

std::string FromUtf8(const std::string& text) {
    return platform::Utf8ToCp936(UpToNul(text));
}
