// Windows: the single-instance lock, a named mutex called exactly after the
// executable's file name (letter case as the module path spells it), with no
// namespace prefix. It is created owned and never released or closed: the
// system removes it when the process ends, however it ends.
#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

bool TakeInstanceLock(const std::string& name) {
    // The name as the wide module path spells it, letters outside the ANSI
    // code page included.
    CreateMutexW(nullptr, TRUE, Widen(name, CP_UTF8).c_str());
    // Only a name another process holds, or one we may not use, refuses the
    // start; any other failure lets the service run rather than not at all.
    const DWORD error = GetLastError();
    return error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED;
}

}  // namespace platform
