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

// A text without a byte above 0x7F reads the same in both encodings. Nearly
// every text the service sends or receives is such a text, and it is passed
// on as it is: opening a converter costs far more than the rest of a message.
bool IsAscii(const std::string& text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

}  // namespace

std::string ToUtf8(const std::string& text) {
    std::string cut = UpToNul(text);
    return IsAscii(cut) ? cut : platform::Cp936ToUtf8(cut);
}

std::string FromUtf8(const std::string& text) {
    std::string cut = UpToNul(text);
    return IsAscii(cut) ? cut : platform::Utf8ToCp936(cut);
}
