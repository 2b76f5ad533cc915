// Windows: conversion between code page 936 (GBK) and UTF-8 through the
// system's converters, by way of UTF-16.
//
// The service's own texts are stored in code page 936, so the conversion
// names 936 rather than the system's ANSI code page: on a Windows whose ANSI
// code page is another one, CP_ACP would turn every Chinese message into
// garbage.
#include <climits>

#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {
namespace {

constexpr UINT kChineseCodePage = 936;

}  // namespace

std::wstring Widen(const std::string& text, UINT codePage) {
    if (text.empty() || text.size() > INT_MAX) return std::wstring();
    const int inLength = static_cast<int>(text.size());
    // Flags 0: an invalid sequence becomes the converter's replacement
    // character instead of failing the call.
    const int length = MultiByteToWideChar(codePage, 0, text.data(), inLength, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), inLength, wide.data(), length);
    return wide;
}

std::string Narrow(const std::wstring& text, UINT codePage) {
    if (text.empty() || text.size() > INT_MAX) return std::string();
    const int inLength = static_cast<int>(text.size());
    // Flags 0 and no default character of our own: what the target cannot
    // hold becomes the code page's default character ("?"), and UTF-8 takes
    // no default character at all.
    const int length =
        WideCharToMultiByte(codePage, 0, text.data(), inLength, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string narrow(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), inLength, narrow.data(), length, nullptr,
                        nullptr);
    return narrow;
}

std::string Cp936ToUtf8(const std::string& text) {
    return Narrow(Widen(text, kChineseCodePage), CP_UTF8);
}

std::string Utf8ToCp936(const std::string& text) {
    return Narrow(Widen(text, CP_UTF8), kChineseCodePage);
}

}  // namespace platform
