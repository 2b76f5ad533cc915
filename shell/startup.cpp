// Start-up of the service, in its fixed order, and the hand-over to the main
// loop. The process ends only from the main loop ("Exit", SIGTERM, SIGINT),
// at once and without clean-up.
#include "shell/startup.h"

#include "image/canvas.h"
#include "link/listener.h"
#include "link/policy.h"
#include "platform/platform.h"
#include "shell/autostart.h"
#include "shell/tray.h"

namespace {

// The executable's file name exactly as its path spells it.
std::string ExecutableFileName() {
    const std::string path = platform::ExecutablePath();
    const size_t last = path.find_last_of(platform::kPathSeparator);
    return last == std::string::npos ? path : path.substr(last + 1);
}

}  // namespace

int RunService(const std::function<void()>& beforeMainLoop, Autostart autostart) {
    platform::EndProcessOnSignals();
    if (!platform::TakeInstanceLock(ExecutableFileName())) return 0;
    if (autostart == Autostart::Register) RegisterAutostart();
    // Without the window that owns the icon the service does not start; the
    // autostart entry is written all the same.
    if (!CreateServiceWindow()) return 0;
    CreateTrayIcon();
    // A listener that cannot be opened (the port is taken) leaves its thread
    // waiting; the service runs on without that port.
    OpenListener(ClientPort);
    platform::StartDetachedThread([] { AcceptClients(); });
    OpenListener(PolicyPort);
    platform::StartDetachedThread([] { AnswerPolicyRequests(); });
    CreateCanvas();
    if (beforeMainLoop) beforeMainLoop();
    platform::RunMainLoop();
}
