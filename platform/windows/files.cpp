// Windows: file opens and removals by path, each path widened from UTF-8 to
// UTF-16 for the system, and the system's code for the last failed call
// (GetLastError: the C runtime's errno folds access denied, 5, and a sharing
// violation, 32, into one value).
#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

std::FILE* OpenFile(const std::string& path, const char* mode) {
    const std::wstring widePath = Widen(path, CP_UTF8);
    const std::wstring wideMode = Widen(mode, CP_UTF8);
    if (widePath.empty() || wideMode.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    // The runtime opens with CreateFileW and leaves its last error as it was
    // when that fails.
    return _wfopen(widePath.c_str(), wideMode.c_str());
}

bool RemoveFile(const std::string& path) {
    const std::wstring widePath = Widen(path, CP_UTF8);
    return !widePath.empty() && DeleteFileW(widePath.c_str()) != 0;
}

int LastSystemError() {
    return static_cast<int>(GetLastError());
}

}  // namespace platform
