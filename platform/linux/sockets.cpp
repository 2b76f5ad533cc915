// Linux: IPv4 TCP sockets for the listeners, the client connections and the
// test tools. Every descriptor is close-on-exec, so children the service or
// its tests start never inherit a connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace platform {
namespace {

bool FillAddress(const char* address, uint16_t port, sockaddr_in* out) {
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    return inet_pton(AF_INET, address, &out->sin_addr) == 1;
}

bool SetTimeout(Socket socket, int option, int milliseconds) {
    if (milliseconds < 0) milliseconds = 0;
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    return setsockopt(socket, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

}  // namespace

Socket Listen(const char* address, uint16_t port, int backlog) {
    sockaddr_in addr;
    if (!FillAddress(address, port, &addr)) return kInvalidSocket;
    Socket s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return kInvalidSocket;
    // Lets a restarted service bind at once while old connections linger in
    // TIME_WAIT. On Linux this never lets two listeners share a port, so a
    // second copy still fails to bind while the first runs.
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, backlog) != 0) {
        // The caller reports why the port could not be opened.
        const int error = errno;
        close(s);
        errno = error;
        return kInvalidSocket;
    }
    return s;
}

uint16_t LocalPort(Socket socket) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

Socket Accept(Socket listener) {
    for (;;) {
        Socket s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0) {
            // A message goes out as a header and a payload in two sends; without
            // this the payload would wait for the peer's delayed acknowledgement
            // of the header.
            int one = 1;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return s;
        }
        // A connection the peer reset before we took it is not a failure of
        // the listener; try the next one.
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return kInvalidSocket;
    }
}

Socket Connect(const char* address, uint16_t port) {
    sockaddr_in addr;
    if (!FillAddress(address, port, &addr)) return kInvalidSocket;
    Socket s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return kInvalidSocket;
    int r;
    do {
        r = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        close(s);
        return kInvalidSocket;
    }
    return s;
}

long Receive(Socket socket, void* buffer, size_t size) {
    for (;;) {
        ssize_t n = recv(socket, buffer, size, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return -1;
    }
}

long Send(Socket socket, const void* data, size_t size) {
    for (;;) {
        ssize_t n = send(socket, data, size, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return -1;
    }
}

long SendNoWait(Socket socket, const void* data, size_t size) {
    for (;;) {
        ssize_t n = send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

bool SetReceiveTimeout(Socket socket, int milliseconds) {
    return SetTimeout(socket, SO_RCVTIMEO, milliseconds);
}

bool SetSendTimeout(Socket socket, int milliseconds) {
    return SetTimeout(socket, SO_SNDTIMEO, milliseconds);
}

void Shutdown(Socket socket) {
    if (socket >= 0) shutdown(socket, SHUT_RDWR);
}

void CloseSocket(Socket socket) {
    if (socket >= 0) close(socket);
}

}  // namespace platform
