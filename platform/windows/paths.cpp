// Windows: paths are UTF-8 text outside the platform layer; std::filesystem
// would read narrow text in another encoding, so the path goes to it as UTF-16.
#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

std::filesystem::path FileSystemPath(const std::string& path) {
    return std::filesystem::path(Widen(path, CP_UTF8));
}

}  // namespace platform
