// The only interface between Penmora and the operating system. Each function
// here has one implementation per system under platform/<system>/; the rest of
// the code never asks which system it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// Paths cross this interface as UTF-8 text on every system (on Linux: the
// bytes of the file system, UTF-8 in practice). On Windows each one is widened
// to UTF-16 at the system call, so no path passes through the ANSI code page,
// whose letters a user's folder name may lack.

// ---- Executable ------------------------------------------------------------
// Full path of the running executable, as the system spells it; "" if unknown.
std::string ExecutablePath();
// The separator between folders in the paths that ExecutablePath returns, and
// the system's name as the service reports it.
#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
constexpr const char* kSystemName = "windows";
#else
constexpr char kPathSeparator = '/';
constexpr const char* kSystemName = "linux";
#endif

// A path as a std::filesystem path that names the same file (std::filesystem
// does not read narrow text as UTF-8 on Windows).
std::filesystem::path FileSystemPath(const std::string& path);

// ---- Files -----------------------------------------------------------------
// fopen for a path: `mode` as fopen takes it. nullptr on failure, with the
// system's code for it in LastSystemError.
std::FILE* OpenFile(const std::string& path, const char* mode);
// Deletes a file. True when it is gone.
bool RemoveFile(const std::string& path);
// The system's own code for the last failed call of the calling thread:
// GetLastError on Windows, errno elsewhere. Read it before any other call.
int LastSystemError();

// ---- Single instance -------------------------------------------------------
// Takes the process-wide lock called `name` (the executable's file name). True
// when this process now holds it; false when another process holds it or the
// name is not accessible. The lock is held until the process ends, however it
// ends.
bool TakeInstanceLock(const std::string& name);

// ---- Threads and process ---------------------------------------------------
// Starts `body` on a new detached thread. False when no thread could be made.
bool StartDetachedThread(std::function<void()> body);
// Ends the process at once with `code`, without clean-up of any kind.
[[noreturn]] void ExitProcess(int code);
// Makes what the main loop serves before anything is shown, where the system
// has it: on Windows the hidden window called `name` that owns the status
// icon and receives its callbacks. False only when that cannot be made at all
// (its window class cannot be registered); start-up then ends. Called once on
// the main thread, before CreateStatusIcon.
bool CreateServiceWindow(const std::string& name);
// Runs the main loop on the calling (main) thread until the process is ended:
// "Exit" in the status icon's menu, SIGTERM or SIGINT (on Windows Ctrl-C,
// Ctrl-Break or closing the console) end it with exit code 0.
[[noreturn]] void RunMainLoop();
// From now on SIGTERM and SIGINT (on Windows the console's Ctrl-C, Ctrl-Break
// and close events) end the process at once with exit code 0, on whatever
// thread they arrive, and a write to a closed connection never raises a
// signal. Called first at start-up, before any thread exists.
void EndProcessOnSignals();

// ---- Time and diagnostics --------------------------------------------------
struct LocalTime {
    int year, month, day, hour, minute, second;
};
LocalTime GetLocalTime();
// The debugger echo of the log: a diagnostic channel, or nothing.
void DebugOutput(const std::string& text);

// ---- Text ------------------------------------------------------------------
// Converts between code page 936 (GBK) and UTF-8. Characters the target cannot
// hold and invalid input sequences become replacement characters ("?" in GBK,
// U+FFFD in UTF-8, or what else the system's own converter puts there); the
// conversion never fails.
std::string Cp936ToUtf8(const std::string& text);
std::string Utf8ToCp936(const std::string& text);

// ---- Sockets (IPv4 TCP) ----------------------------------------------------
// A socket handle. Winsock's handles are pointer-sized; a signed integer of
// that size holds every one of them, with -1 for none on every system.
#if defined(_WIN32)
using Socket = intptr_t;
#else
using Socket = int;
#endif
constexpr Socket kInvalidSocket = -1;
// A listening socket on `address` ("0.0.0.0" for every interface, "127.0.0.1"
// for loopback) and `port` (0: any free port). kInvalidSocket on failure, with
// the system's code for it in LastSystemError.
Socket Listen(const char* address, uint16_t port, int backlog);
// The local port a socket is bound to; 0 on failure.
uint16_t LocalPort(Socket socket);
// Waits for the next connection; kInvalidSocket on failure.
Socket Accept(Socket listener);
// Connects to address:port (tests and tools); kInvalidSocket on failure.
Socket Connect(const char* address, uint16_t port);
// A receive of up to `size` bytes: the count, 0 at the end of the stream, -1 on
// error or when the receive timeout passed.
long Receive(Socket socket, void* buffer, size_t size);
// One send call; never raises SIGPIPE. The count sent, or -1.
long Send(Socket socket, const void* data, size_t size);
// Sends all bytes unless the connection fails. True when all were sent.
bool SendAll(Socket socket, const void* data, size_t size);
// One send call that never waits for the peer: the count sent, 0 when the
// socket can take nothing now, -1 on failure. Never raises SIGPIPE.
long SendNoWait(Socket socket, const void* data, size_t size);
// Receive timeout in milliseconds (0: none).
bool SetReceiveTimeout(Socket socket, int milliseconds);
// Send timeout in milliseconds (0: none): a peer that stops reading cannot
// hold a sender forever.
bool SetSendTimeout(Socket socket, int milliseconds);
// Ends both directions of a connection without releasing the descriptor, so a
// thread blocked in Receive on it wakes up.
void Shutdown(Socket socket);
void CloseSocket(Socket socket);
// Waits until at least one of the `count` sockets can be read without
// blocking (data, the end of the stream, an error, or a connection to accept)
// or `milliseconds` pass (-1: no limit); sets readable[i] for each socket.
// The number of readable sockets, 0 when the time passed, -1 on failure.
int WaitReadable(const Socket* sockets, bool* readable, size_t count, int milliseconds);

// ---- Who is at the other end --------------------------------------------
// The OS user that owns the peer's end of a connection, as far as the system
// tells.
enum class PeerOwner { ThisUser, OtherUser, Unknown };
struct PeerIdentity {
    std::string address;    // the peer's address as text ("127.0.0.1")
    bool loopback = false;  // the peer is on this computer (127.0.0.0/8)
    // Only for a peer on this computer: whose socket it is.
    PeerOwner owner = PeerOwner::Unknown;
    std::string ownerName;  // the owner's user name (or number), for the log
};
// Who is at the other end of an accepted connection.
PeerIdentity IdentifyPeer(Socket socket);

// ---- Trust settings ------------------------------------------------------
// IT's lists and the person's remembered answers, as entries of text, each
// with where it came from (a file and line, a registry value) for the log.
struct TrustEntry {
    std::string text;
    std::string source;
};
struct TrustSettings {
    std::vector<TrustEntry> origins;   // sites IT allows
    std::vector<TrustEntry> hosts;     // remote hosts IT admits
    std::vector<std::string> allowed;  // sites the person at the desk allowed
    std::vector<std::string> blocked;  // and blocked
};
// Reads them afresh (Linux: /etc/penmora/allowed-origins and allowed-hosts,
// the answers under $XDG_CONFIG_HOME/penmora/; Windows: the AllowedOrigins
// and AllowedHosts values under HKLM and HKCU\SOFTWARE\Policies\Penmora, the
// answers under HKCU). An entry of a list may still be malformed; a missing
// list is an empty one.
TrustSettings ReadTrustSettings();
// A text that changes whenever what ReadTrustSettings would read changes
// (the files' or the registry keys' times and sizes), so that a caller can
// keep what it read until then.
std::string TrustSettingsStamp();
// Remembers the person's answer for a site, for this user. False when it
// could not be stored.
bool RememberSiteAnswer(const std::string& origin, bool allowed);
// Tests: read IT's lists from this folder instead of the system's (its files
// named as on Linux: allowed-origins, allowed-hosts); "" returns to the
// system's.
void SetTrustSettingsFolderForTests(const std::string& folder);

// ---- The person at the desk ----------------------------------------------
enum class SiteAnswer { Allow, Block, NoAnswer };
// Asks whether a site may use the devices, in a dialog on top with Allow and
// Block, `utf8Text` its question. NoAnswer when nobody answered within
// `timeoutMs` or no desktop is there to ask on. The calling thread waits;
// several may ask at once.
SiteAnswer AskAboutSite(const std::string& utf8Text, int timeoutMs);

// ---- Dynamic libraries -----------------------------------------------------
// The fingerprint reader's library, relative to the current directory.
extern const char* const kFingerLibraryPath;
// The calling convention of that library's entry points: the system's own
// (stdcall on 32-bit Windows, where the convention is part of the ABI).
#if defined(_WIN32)
#define PLATFORM_LIBRARY_CALL __stdcall
#else
#define PLATFORM_LIBRARY_CALL
#endif
// Loads a library by exactly this path, with no search; nullptr on failure.
void* LoadLibrary(const char* path);
void* FindSymbol(void* library, const char* name);
void FreeLibrary(void* library);

// ---- Desktop ---------------------------------------------------------------
// A modal message box with an OK button holding `utf8Text`, when a desktop is
// present; standard error otherwise. Returns when the box was dismissed.
void ShowMessageBox(const std::string& utf8Text);
// Writes the per-user autostart entry that starts `executablePath` at logon.
// Returns 0 when written, 1 when the autostart folder cannot be opened or
// made, 2 when the entry cannot be written.
int WriteAutostartEntry(const std::string& entryName, const std::string& executablePath);
// Shows the status icon with `tooltip` and a menu whose one item "Exit" ends
// the process with exit code 0. False when no desktop is available; the
// service then runs without an icon.
bool CreateStatusIcon(const std::string& tooltip);

}  // namespace platform
