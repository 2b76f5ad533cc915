// Linux: conversion between code page 936 (GBK) and UTF-8 through iconv.
#include <iconv.h>

#include <cerrno>

#include "platform/platform.h"

namespace platform {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// A converter that a thread opens at its first conversion in that direction
// and keeps until it ends: opening one loads its tables, which costs far more
// than converting a message. A converter holds state, so it is never shared
// between threads.
class ThreadConverter {
  public:
    ThreadConverter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~ThreadConverter() {
        if (cd_ != kNoConverter) iconv_close(cd_);
    }
    ThreadConverter(const ThreadConverter&) = delete;
    ThreadConverter& operator=(const ThreadConverter&) = delete;

    // The converter in its initial state, or kNoConverter.
    iconv_t Get() const {
        if (cd_ != kNoConverter) iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        return cd_;
    }

  private:
    const iconv_t cd_;
};

// Converts with iconv; an invalid or unconvertible sequence becomes
// `replacement` and the conversion continues after it.
std::string Convert(const std::string& text, iconv_t cd, const std::string& replacement,
                    size_t invalidStep) {
    if (cd == kNoConverter) return text;
    std::string out;
    out.reserve(text.size() * 3 / 2 + 4);
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char chunk[1024];
    while (inLeft > 0) {
        char* o = chunk;
        size_t oLeft = sizeof chunk;
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(chunk, static_cast<size_t>(o - chunk));
        if (r != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ (invalid or unconvertible) or EINVAL (cut short at the end).
        out += replacement;
        size_t skip = invalidStep < inLeft ? invalidStep : inLeft;
        in += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // Flush any shift state.
    char* o = chunk;
    size_t oLeft = sizeof chunk;
    iconv(cd, nullptr, nullptr, &o, &oLeft);
    out.append(chunk, static_cast<size_t>(o - chunk));
    return out;
}

}  // namespace

std::string Cp936ToUtf8(const std::string& text) {
    thread_local const ThreadConverter fromGbk("UTF-8", "GBK");
    return Convert(text, fromGbk.Get(), "\xEF\xBF\xBD", 1);
}

std::string Utf8ToCp936(const std::string& text) {
    // Each well-formed UTF-8 character is converted on its own, so that an
    // invalid byte or a character GBK lacks becomes one "?" and nothing else
    // is lost.
    thread_local const ThreadConverter toGbk("GBK", "UTF-8");
    const iconv_t cd = toGbk.Get();
    if (cd == kNoConverter) return text;
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        size_t len = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool wellFormed = len != 0 && i + len <= text.size();
        for (size_t k = 1; wellFormed && k < len; ++k)
            wellFormed = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!wellFormed) {
            out += '?';
            ++i;
            continue;
        }
        char* in = const_cast<char*>(text.data() + i);
        size_t inLeft = len;
        char buf[8];
        char* o = buf;
        size_t oLeft = sizeof buf;
        if (iconv(cd, &in, &inLeft, &o, &oLeft) == static_cast<size_t>(-1)) {
            out += '?';
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        } else {
            out.append(buf, static_cast<size_t>(o - buf));
        }
        i += len;
    }
    return out;
}

}  // namespace platform
