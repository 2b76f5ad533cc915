// The Win32 side of tests/support/system.h. The host's tools are Unix
// programs: a broker on the host (tests/wine/host_broker.py, its loopback port
// in PENMORA_HOST_BROKER) starts each one with a loopback connection to the
// test as its standard handles, and sends a program's exit code down the
// connection after its output.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tests/support/system.h"

namespace testsys {

namespace {

void StartWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

// Wine's own exports, present only under Wine.
using ToUnixName = char*(CDECL*)(const wchar_t*);

template <typename F>
F WineExport(const char* name) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(kernel, name)))
                  : nullptr;
}

std::wstring Wide(const std::string& text, UINT codePage = CP_ACP) {
    if (text.empty()) return L"";
    const int n =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const std::wstring& text, UINT codePage = CP_ACP) {
    if (text.empty()) return "";
    const int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n,
                        nullptr, nullptr);
    return narrow;
}

bool IsAbsoluteWindowsPath(const std::string& text) {
    return text.size() >= 3 &&
           ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z')) &&
           text[1] == ':' && (text[2] == '\\' || text[2] == '/');
}

// One argument quoted so that the command-line parser gives it back whole.
std::wstring Quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < argument.size() && argument[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == argument.size()) {
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        if (argument[i] == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        quoted += argument[i];
    }
    return quoted + L"\"";
}

std::wstring CommandLine(const std::vector<std::string>& argv, UINT codePage) {
    std::wstring line;
    for (const std::string& argument : argv) {
        if (!line.empty()) line += L' ';
        line += Quoted(Wide(argument, codePage));
    }
    return line;
}

// Asks the host's broker to start `argv` in this process's current folder:
// in mode 'C' the returned connection
// is the program's standard input, output and error; in mode 'R' its output
// then the exit marker come down it. INVALID_SOCKET when there is no broker.
SOCKET StartHostProgram(char mode, std::vector<std::string> argv) {
    const char* port = getenv("PENMORA_HOST_BROKER");
    if (argv.empty() || !port || !*port) return INVALID_SOCKET;
    StartWinsock();
    SOCKET stream =
        WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (stream == INVALID_SOCKET) return stream;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(atoi(port)));
    // The host reads its arguments as UTF-8; paths of this process become
    // host paths.
    std::string request(1, mode);
    char folder[MAX_PATH + 1];
    const DWORD length = GetCurrentDirectoryA(sizeof folder, folder);
    request += (length > 0 && length <= MAX_PATH ? HostPath(folder) : std::string("/")) + '\0';
    for (std::string& argument : argv) {
        if (IsAbsoluteWindowsPath(argument)) argument = HostPath(argument);
        request += Narrow(Wide(argument), CP_UTF8) + '\0';
    }
    request += '\0';
    bool ok = connect(stream, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    for (size_t sent = 0; ok && sent < request.size();) {
        const int n = send(stream, request.data() + sent, static_cast<int>(request.size() - sent), 0);
        ok = n > 0;
        sent += ok ? static_cast<size_t>(n) : 0;
    }
    if (!ok) {
        closesocket(stream);
        return INVALID_SOCKET;
    }
    return stream;
}

// The marker line the broker sends after the program's output: "\n" marker
// exit code "\n".
const char* const kExitMarker = "\n@penmora-host-exit@";

}  // namespace

int ProcessId() {
    return static_cast<int>(GetCurrentProcessId());
}

std::string OwnExecutablePath() {
    wchar_t path[32768];
    const DWORD n = GetModuleFileNameW(nullptr, path, 32768);
    return n > 0 && n < 32768 ? Narrow(std::wstring(path, n)) : "";
}

size_t OpenHandles() {
    // Handles are small multiples of four, the lowest free one given first:
    // counted by asking after each one up to well past the last in use.
    size_t count = 0;
    uintptr_t lastValid = 0;
    for (uintptr_t value = 4; value < lastValid + 4096; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            lastValid = value;
        }
    }
    return count;
}

bool AllowOpenHandles(size_t) {
    return true;  // no limit below the sixteen million handles of a process
}

void SetEnvironment(const std::string& name, const char* value) {
    _putenv_s(name.c_str(), value ? value : "");
}

bool ConnectionWasReset() {
    return WSAGetLastError() == WSAECONNRESET;
}

void EndSending(intptr_t socket) {
    shutdown(static_cast<SOCKET>(socket), SD_SEND);
}

std::string MakeTempFolder(const std::string& prefix) {
    char base[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH) return "";
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = std::string(base, n) + prefix + "-" +
                                 std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(serial++) + "-" + std::to_string(GetTickCount());
        if (CreateDirectoryA(path.c_str(), nullptr)) return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return "";
    }
    return "";
}

bool LinkFile(const std::string& target, const std::string& link) {
    if (CreateHardLinkA(link.c_str(), target.c_str(), nullptr)) return true;
    // Another file system: a symbolic link made by the host, which Wine follows.
    return RunHost({"/bin/ln", "-s", target, link}).status == 0;
}

std::string HostPath(const std::string& path) {
    auto toUnix = WineExport<ToUnixName>("wine_get_unix_file_name");
    if (!toUnix) return path;
    char* unixPath = toUnix(Wide(path).c_str());
    if (!unixPath) return path;
    std::string result = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}

RunResult RunHost(const std::vector<std::string>& argv) {
    RunResult result;
    const SOCKET stream = StartHostProgram('R', argv);
    if (stream == INVALID_SOCKET) return result;
    char chunk[4096];
    int n;
    while ((n = recv(stream, chunk, sizeof chunk, 0)) > 0)
        result.output.append(chunk, static_cast<size_t>(n));
    closesocket(stream);
    const size_t marker = result.output.rfind(kExitMarker);
    if (marker == std::string::npos) return result;
    result.status = std::atoi(result.output.c_str() + marker + strlen(kExitMarker));
    result.output.resize(marker);
    return result;
}

struct HostChild::Impl {
    SOCKET stream = INVALID_SOCKET;
    bool started = false;
    std::atomic<bool> inputClosed{false};
};

HostChild::HostChild(const std::vector<std::string>& argv) : impl_(new Impl) {
    impl_->stream = StartHostProgram('C', argv);
    impl_->started = impl_->stream != INVALID_SOCKET;
}

HostChild::~HostChild() {
    Finish(5000);
    if (impl_->stream != INVALID_SOCKET) closesocket(impl_->stream);
}

bool HostChild::Started() const {
    return impl_->started;
}

long HostChild::Read(char* buffer, size_t size) {
    if (!impl_->started) return -1;
    const int n = recv(impl_->stream, buffer, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
    return n < 0 ? -1 : n;
}

bool HostChild::Write(const char* data, size_t size) {
    if (!impl_->started) return false;
    while (size > 0) {
        const int n =
            send(impl_->stream, data, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void HostChild::CloseInput() {
    if (impl_->started && !impl_->inputClosed.exchange(true)) shutdown(impl_->stream, SD_SEND);
}

void HostChild::Finish(int) {
    // Without a process handle the child cannot be waited for or ended here:
    // it ends when its input does, and its output's end shows that it did.
    CloseInput();
}

std::vector<std::string> Environment() {
    std::vector<std::string> variables;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* p = block; *p; p += strlen(p) + 1)
            if (*p != '=') variables.push_back(p);  // "=C:=C:\..." entries are the shell's
        FreeEnvironmentStringsA(block);
    }
    return variables;
}

struct Child::Impl {
    PROCESS_INFORMATION process{};
    std::optional<int> status;
};

Child::Child(const std::string& path, const std::vector<std::string>& environment,
             const std::string& directory)
    : impl_(new Impl) {
    std::string block;
    for (const std::string& variable : environment) block += variable + '\0';
    block += '\0';
    std::wstring line = CommandLine({path}, CP_ACP);
    std::string commandLine = Narrow(line);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, block.data(),
                        directory.c_str(), &startup, &impl_->process))
        impl_->process = PROCESS_INFORMATION{};
    if (impl_->process.hThread) CloseHandle(impl_->process.hThread);
}

Child::~Child() {
    if (impl_->process.hProcess && !impl_->status) Kill();
    if (impl_->process.hProcess) CloseHandle(impl_->process.hProcess);
}

bool Child::Started() const {
    return impl_->process.hProcess != nullptr;
}

std::optional<int> Child::WaitExit(int timeoutMs) {
    if (impl_->status || !impl_->process.hProcess) return impl_->status;
    if (WaitForSingleObject(impl_->process.hProcess,
                            timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) !=
        WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    if (GetExitCodeProcess(impl_->process.hProcess, &code)) impl_->status = static_cast<int>(code);
    return impl_->status;
}

void Child::Kill() {
    if (!impl_->process.hProcess || impl_->status) return;
    TerminateProcess(impl_->process.hProcess, 255);
    WaitExit(-1);
}

long Child::Id() const {
    return static_cast<long>(impl_->process.dwProcessId);
}

}  // namespace testsys
