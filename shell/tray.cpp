// The status icon: the service's only visible presence, with the one menu
// item "Exit".
#include "shell/tray.h"

#include "platform/platform.h"

namespace {
constexpr const char* kTrayTooltip = "Scribtor";
}  // namespace

void CreateTrayIcon() {
    // Without a desktop the service simply runs without an icon.
    platform::CreateStatusIcon(kTrayTooltip);
}
