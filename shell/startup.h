// Start-up of the service and its main loop.
#pragma once

#include <functional>

// Whether a start writes the autostart entry (the Run value on Windows).
enum class Autostart { Register, Skip };

// Runs the service: the current folder (the executable's, when only that one
// holds the reader's library), single instance, autostart, the hidden window
// and the status icon, the listeners on 10001 and 843 with their threads, the
// Canvas, then the main loop. Returns 0 when another instance runs or the
// hidden window's class cannot be registered; otherwise does not return.
// `beforeMainLoop`, if given, runs on the main thread just before the main
// loop (the demo starts its control endpoint there). The demo passes
// Autostart::Skip: the entry's name is the service's, and a demo written
// there would start at logon in the service's place.
int RunService(const std::function<void()>& beforeMainLoop = {},
               Autostart autostart = Autostart::Register);
