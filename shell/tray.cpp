// The status icon: the service's only visible presence, with the one menu
// item "Exit".
#include "shell/tray.h"

#include "platform/platform.h"

namespace {
// The hidden window that owns the icon is called as the icon's tip reads.
constexpr const char* kTrayTooltip = "Scribtor";
}  // namespace

bool CreateServiceWindow() {
    return platform::CreateServiceWindow(kTrayTooltip);
}

void CreateTrayIcon() {
    // Without a desktop the service simply runs without an icon.
    platform::CreateStatusIcon(kTrayTooltip);
}
