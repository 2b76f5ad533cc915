// Windows: the one place that includes the system's headers, private to
// platform/windows. The macros of windows.h stay out of every other folder;
// here the one that collides with a name of ours (LoadLibrary) is removed.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Windows 7 and later: the oldest desktop the service is built for.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
// select() takes sets of up to this many sockets: the policy responder waits on
// its listener and every connection it holds open.
#ifndef FD_SETSIZE
#define FD_SETSIZE 1024
#endif

// winsock2.h must come before windows.h, which would otherwise bring in the
// old winsock.h; shellapi.h needs windows.h before it.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>
// clang-format on

#undef LoadLibrary

#include <string>

namespace platform {

// Text conversions between an 8-bit code page and UTF-16 through the system's
// converters with flags 0: what the target cannot hold becomes the
// converter's replacement character. Shared by the files of this folder.
std::wstring Widen(const std::string& text, UINT codePage);
std::string Narrow(const std::wstring& text, UINT codePage);

// The hidden window that owns the status icon; nullptr until it is made.
// Main thread only.
HWND ServiceWindowHandle();
// Re-adds the status icon after the shell restarted, and removes it before the
// process ends; both do nothing while there is no icon. Main thread only.
void AddStatusIconAgain();
void DeleteStatusIcon();
// Called by the window procedure for the status icon's callback message.
void OnStatusIconMessage(HWND window, LPARAM event);

}  // namespace platform
