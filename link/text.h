// Conversion between the service's 8-bit texts (code page 936) and UTF-8.
#pragma once

#include <string>

std::string ToUtf8(const std::string& text);    // code page 936 -> UTF-8
std::string FromUtf8(const std::string& text);  // UTF-8 -> code page 936
