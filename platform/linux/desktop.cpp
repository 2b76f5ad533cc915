// Linux: the graphical session. GTK is opened once on the main thread at
// start-up, and the main thread then runs its loop, which serves the status
// icon's menu and the message boxes that other threads hand to it.
#include "platform/linux/desktop.h"

#include <gtk/gtk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

namespace platform {
namespace {

std::atomic<bool> DesktopReady{false};
bool DesktopTried = false;  // main thread only
// Written once before DesktopReady is set, read only after it is seen set.
std::thread::id DesktopThread;

bool NonEmpty(const char* value) {
    return value != nullptr && value[0] != '\0';
}

}  // namespace

bool StartDesktop() {
    if (DesktopTried) return DesktopReady.load();
    DesktopTried = true;
    if (!NonEmpty(getenv("DISPLAY")) && !NonEmpty(getenv("WAYLAND_DISPLAY"))) return false;
    // The process locale stays "C": the service's number parsing and text
    // conversion must not change with the user's desktop language.
    gtk_disable_setlocale();
    if (!gtk_init_check(nullptr, nullptr)) return false;
    DesktopThread = std::this_thread::get_id();
    DesktopReady.store(true);
    return true;
}

bool DesktopStarted() {
    return DesktopReady.load();
}

bool OnDesktopThread() {
    return DesktopReady.load() && std::this_thread::get_id() == DesktopThread;
}

bool SessionBusPresent() {
    if (NonEmpty(getenv("DBUS_SESSION_BUS_ADDRESS"))) return true;
    // The bus of a systemd user session, which GLib finds by itself.
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (!NonEmpty(runtime)) return false;
    struct stat info {};
    std::string socketPath = std::string(runtime) + "/bus";
    return stat(socketPath.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

void RunDesktopLoop() {
    gtk_main();
    // Nothing quits the loop; should it end all the same, end as "Exit" does.
    _exit(0);
}

}  // namespace platform
