// Windows: the per-user autostart entry, a string value under the current
// user's Run key that holds the executable's full path.
#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

int WriteAutostartEntry(const std::string& entryName, const std::string& executablePath) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                      KEY_WRITE, &key) != ERROR_SUCCESS) {
        return 1;
    }
    // An entry that starts nothing would be worse than none.
    if (executablePath.empty()) {
        RegCloseKey(key);
        return 2;
    }
    // Written wide: the value is stored as UTF-16 in any case, and the ANSI
    // call would turn the letters its code page lacks into "?". The data of
    // a string value includes its terminating NUL, so that every reader of
    // the value finds the string's end.
    const std::wstring name = Widen(entryName, CP_UTF8);
    const std::wstring path = Widen(executablePath, CP_UTF8);
    const LONG result =
        RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? 0 : 2;
}

}  // namespace platform
