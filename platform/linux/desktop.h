// Linux: the graphical session shared by the status icon, the message boxes
// and the main loop. Private to platform/linux.
#pragma once

namespace platform {

// Opens the graphical session (GTK) on the calling thread, which must be the
// main thread, once. True when a display is present and could be opened;
// later calls return the first outcome.
bool StartDesktop();
// True once StartDesktop succeeded: the main loop is then the desktop loop,
// and work handed to it runs on the main thread.
bool DesktopStarted();
// True on the thread that started the desktop and runs its loop.
bool OnDesktopThread();
// True when a session bus is present, without starting one. The status icon
// needs it; nothing is autolaunched for a session that has none.
bool SessionBusPresent();
// Runs the desktop loop on the main thread; never returns.
[[noreturn]] void RunDesktopLoop();

}  // namespace platform
