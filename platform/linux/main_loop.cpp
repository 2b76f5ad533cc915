// Linux: the main loop, and the signals that end the process. SIGTERM and
// SIGINT end it at once with exit code 0, without clean-up, as "Exit" does.
#include <signal.h>
#include <unistd.h>

#include "platform/linux/desktop.h"
#include "platform/platform.h"

namespace platform {
namespace {

void EndAtOnce(int) {
    _exit(0);
}

}  // namespace

void EndProcessOnSignals() {
    struct sigaction action {};
    action.sa_handler = EndAtOnce;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool CreateServiceWindow(const std::string&) {
    // The desktop loop needs no window of its own: the status icon opens the
    // desktop when it is made.
    return true;
}

void RunMainLoop() {
    EndProcessOnSignals();
    // With a desktop the main thread serves the status icon and the message
    // boxes; the signal handlers still end the process at once.
    if (DesktopStarted()) RunDesktopLoop();
    // Nothing runs on the main thread; the signal handlers end the process.
    for (;;) pause();
}

}  // namespace platform
