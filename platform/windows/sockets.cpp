// Windows: IPv4 TCP sockets over Winsock for the listeners, the client
// connections and the test tools. Winsock is started once, by the first call
// that makes a socket, asking for version 1.1: every call made here is one of
// that version's.
#include <climits>
#include <mutex>

#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {
namespace {

bool WinsockStarted() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data{};
        // Never cleaned up: the sockets live until the process ends.
        started = WSAStartup(MAKEWORD(1, 1), &data) == 0 && LOBYTE(data.wVersion) == 1 &&
                  HIBYTE(data.wVersion) == 1;
    });
    return started;
}

SOCKET Native(Socket socket) {
    return static_cast<SOCKET>(socket);
}

Socket Ours(SOCKET socket) {
    return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(socket);
}

bool FillAddress(const char* address, uint16_t port, sockaddr_in* out) {
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    // inet_addr cannot tell 255.255.255.255 from a malformed text; no listener
    // or peer of ours has that address.
    const unsigned long value = inet_addr(address);
    if (value == INADDR_NONE) return false;
    out->sin_addr.s_addr = value;
    return true;
}

int ClampedSize(size_t size) {
    return size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

bool SetTimeout(Socket socket, int option, int milliseconds) {
    // Winsock takes the timeout as a DWORD of milliseconds; 0 means none.
    DWORD value = milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds);
    return setsockopt(Native(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

}  // namespace

Socket Listen(const char* address, uint16_t port, int backlog) {
    sockaddr_in addr;
    if (!WinsockStarted() || !FillAddress(address, port, &addr)) return kInvalidSocket;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    // No SO_REUSEADDR: on Windows it would let a second listener take the
    // port. Exclusive use keeps another program from binding over ours; a
    // system without the option still binds as usual.
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(s, backlog) != 0) {
        // The caller reports why the port could not be opened.
        const int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        return kInvalidSocket;
    }
    return Ours(s);
}

uint16_t LocalPort(Socket socket) {
    sockaddr_in addr{};
    int len = sizeof addr;
    if (getsockname(Native(socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

Socket Accept(Socket listener) {
    for (;;) {
        SOCKET s = accept(Native(listener), nullptr, nullptr);
        if (s != INVALID_SOCKET) {
            // A message goes out as a header and a payload in two sends;
            // without this the payload would wait for the peer's delayed
            // acknowledgement of the header.
            BOOL one = TRUE;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                       sizeof one);
            return Ours(s);
        }
        // A connection the peer reset before we took it is not a failure of
        // the listener; try the next one.
        const int error = WSAGetLastError();
        if (error == WSAEINTR || error == WSAECONNRESET) continue;
        return kInvalidSocket;
    }
}

Socket Connect(const char* address, uint16_t port) {
    sockaddr_in addr;
    if (!WinsockStarted() || !FillAddress(address, port, &addr)) return kInvalidSocket;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        closesocket(s);
        return kInvalidSocket;
    }
    return Ours(s);
}

// Waits until `socket` can be read, up to its receive timeout. False when the
// timeout passed or the wait failed.
static bool WaitUntilReadable(SOCKET socket) {
    DWORD timeoutMs = 0;
    int length = sizeof timeoutMs;
    getsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeoutMs), &length);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, timeoutMs == 0 ? nullptr : &limit) == 1;
}

long Receive(Socket socket, void* buffer, size_t size) {
    for (;;) {
        int n = recv(Native(socket), static_cast<char*>(buffer), ClampedSize(size), 0);
        if (n >= 0) return n;
        const int error = WSAGetLastError();
        if (error == WSAEINTR) continue;
        // SendNoWait had the socket non-blocking for a moment: wait as a
        // blocking receive would have.
        if (error == WSAEWOULDBLOCK && WaitUntilReadable(Native(socket))) continue;
        return -1;
    }
}

long SendNoWait(Socket socket, const void* data, size_t size) {
    // Winsock has no flag that keeps one send from waiting, so the socket is
    // non-blocking for this call only. Sends on one connection come one at a
    // time; a receive that starts meanwhile waits in Receive.
    u_long on = 1, off = 0;
    if (ioctlsocket(Native(socket), FIONBIO, &on) != 0) return -1;
    const int n = send(Native(socket), static_cast<const char*>(data), ClampedSize(size), 0);
    const int error = n < 0 ? WSAGetLastError() : 0;
    ioctlsocket(Native(socket), FIONBIO, &off);
    if (n >= 0) return n;
    return error == WSAEWOULDBLOCK ? 0 : -1;
}

long Send(Socket socket, const void* data, size_t size) {
    for (;;) {
        // Windows raises no signal for a write to a closed connection.
        int n = send(Native(socket), static_cast<const char*>(data), ClampedSize(size), 0);
        if (n >= 0) return n;
        if (WSAGetLastError() == WSAEINTR) continue;
        return -1;
    }
}

bool SetReceiveTimeout(Socket socket, int milliseconds) {
    return SetTimeout(socket, SO_RCVTIMEO, milliseconds);
}

bool SetSendTimeout(Socket socket, int milliseconds) {
    return SetTimeout(socket, SO_SNDTIMEO, milliseconds);
}

void Shutdown(Socket socket) {
    if (socket == kInvalidSocket) return;
    shutdown(Native(socket), SD_BOTH);
    // A receive already blocked on the socket is not always woken by the
    // shutdown alone; cancelling the socket's pending operations wakes it with
    // an error, and the socket itself stays open for its owner to close.
    CancelIoEx(reinterpret_cast<HANDLE>(Native(socket)), nullptr);
}

void CloseSocket(Socket socket) {
    if (socket != kInvalidSocket) closesocket(Native(socket));
}

}  // namespace platform
