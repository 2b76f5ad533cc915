// Windows: 8-bit paths are in the ANSI code page, as the C library's file
// functions and the "A" functions of the system read them. std::filesystem
// takes narrow text byte for byte instead, so the path goes to it as UTF-16.
#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

std::filesystem::path FileSystemPath(const std::string& path) {
    return std::filesystem::path(Widen(path, CP_ACP));
}

}  // namespace platform
