// Windows: waiting on many sockets at once with select(), so that one thread
// can serve many short connections without any of them holding up the others.
#include <memory>

#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

int WaitReadable(const Socket* sockets, bool* readable, size_t count, int milliseconds) {
    if (count > FD_SETSIZE) return -1;
    timeval limit{};
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    timeval* wait = milliseconds < 0 ? nullptr : &limit;
    if (count == 0) {
        // select() refuses empty sets; there is nothing to wait for but time.
        if (milliseconds < 0) return -1;
        Sleep(static_cast<DWORD>(milliseconds));
        return 0;
    }
    // Sets of FD_SETSIZE sockets are large; keep them off the stack.
    auto read = std::make_unique<fd_set>();
    auto failed = std::make_unique<fd_set>();
    FD_ZERO(read.get());
    FD_ZERO(failed.get());
    for (size_t i = 0; i < count; ++i) {
        FD_SET(static_cast<SOCKET>(sockets[i]), read.get());
        FD_SET(static_cast<SOCKET>(sockets[i]), failed.get());
    }
    // The first argument is ignored by Winsock.
    const int ready = select(0, read.get(), nullptr, failed.get(), wait);
    if (ready == SOCKET_ERROR) return -1;
    int found = 0;
    for (size_t i = 0; i < count; ++i) {
        readable[i] = FD_ISSET(static_cast<SOCKET>(sockets[i]), read.get()) ||
                      FD_ISSET(static_cast<SOCKET>(sockets[i]), failed.get());
        if (readable[i]) ++found;
    }
    return found;
}

}  // namespace platform
