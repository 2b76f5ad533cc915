// Linux: run-time loading of the fingerprint reader's library. The library is
// taken by exactly the path given, relative to the current directory, and
// never looked up along the loader's search path.
#include <dlfcn.h>

#include <string>

#include "platform/platform.h"

namespace platform {

const char* const kFingerLibraryPath = "./ZAZAPIt.so";

void* LoadLibrary(const char* path) {
    if (path == nullptr || *path == '\0') return nullptr;
    // dlopen searches only for a name without a slash; give every path one so
    // that a bare file name still means the current directory.
    std::string exact(path);
    if (exact.find('/') == std::string::npos) exact = "./" + exact;
    // RTLD_LOCAL: the reader's symbols never interpose on ours or another's.
    return dlopen(exact.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(void* library, const char* name) {
    if (library == nullptr || name == nullptr) return nullptr;
    return dlsym(library, name);
}

void FreeLibrary(void* library) {
    if (library != nullptr) dlclose(library);
}

}  // namespace platform
