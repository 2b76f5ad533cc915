// Registration of the service to start at the user's logon: the autostart
// entry "Penmora.exe" names whichever executable started last.
#include "shell/autostart.h"

#include "commands/messages.h"
#include "platform/platform.h"
#include "shell/log.h"

namespace {
// The entry's name is fixed, whatever the executable's own file name is, so a
// renamed copy replaces the entry instead of adding a second one.
constexpr const char* kAutostartEntryName = "Penmora.exe";
constexpr int kEntryNotWritten = 2;
}  // namespace

void RegisterAutostart() {
    // A missing autostart folder that cannot be made is not reported, like
    // a per-user key that cannot be opened; only a failed write is logged.
    if (platform::WriteAutostartEntry(kAutostartEntryName, platform::ExecutablePath()) ==
        kEntryNotWritten) {
        WriteLog("error", msg::kLogAutostartFailed);
    }
}
