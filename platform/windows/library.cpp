// Windows: run-time loading of the fingerprint reader's library. The library
// is taken from exactly the path given, relative to the current directory,
// and never looked up along the system's search path for libraries.
#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

const char* const kFingerLibraryPath = ".//ZAZAPIt.dll";

void* LoadLibrary(const char* path) {
    if (path == nullptr || *path == '\0') return nullptr;
    std::wstring wide = Widen(path, CP_UTF8);
    // A relative path would still be searched for along the library path;
    // its full form names the one file in the current directory.
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(wide.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    return reinterpret_cast<void*>(LoadLibraryW(full));
}

void* FindSymbol(void* library, const char* name) {
    if (library == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void FreeLibrary(void* library) {
    if (library != nullptr) ::FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace platform
