// Linux: paths are bytes, the same for the C library and std::filesystem.
#include "platform/platform.h"

namespace platform {

std::filesystem::path FileSystemPath(const std::string& path) {
    return std::filesystem::path(path);
}

}  // namespace platform
