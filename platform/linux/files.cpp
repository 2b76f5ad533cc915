// Linux: file opens and removals by path, and the system's code for the last
// failed call (errno).
#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace platform {

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

bool RemoveFile(const std::string& path) {
    return std::remove(path.c_str()) == 0;
}

int LastSystemError() {
    return errno;
}

}  // namespace platform
