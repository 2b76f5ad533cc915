// Windows: waiting on many sockets at once with select(), so that one thread
// can serve many short connections without any of them holding up the others.
#include <memory>

#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

int WaitReadable(const Socket* sockets, bool* readable, size_t count, int milliseconds) {
    if (count > FD_SETSIZE) return -1;
    // Sets of FD_SETSIZE sockets are large; keep them off the stack.
    auto read = std::make_unique<fd_set>();
    auto failed = std::make_unique<fd_set>();
    FD_ZERO(read.get());
    FD_ZERO(failed.get());
    // No socket (kInvalidSocket) is left out and never readable, as poll()
    // leaves out a negative descriptor; select() would refuse the whole set.
    for (size_t i = 0; i < count; ++i) {
        readable[i] = false;
        if (sockets[i] == kInvalidSocket) continue;
        FD_SET(static_cast<SOCKET>(sockets[i]), read.get());
        FD_SET(static_cast<SOCKET>(sockets[i]), failed.get());
    }
    if (read->fd_count == 0) {
        // select() refuses empty sets; there is nothing to wait for but time.
        // With no limit that is for ever: the caller has nothing left to
        // serve, and returning at once would make its loop spin a processor.
        if (milliseconds < 0) {
            for (;;) Sleep(INFINITE);
        }
        Sleep(static_cast<DWORD>(milliseconds));
        return 0;
    }
    timeval limit{};
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    // The first argument is ignored by Winsock.
    const int ready =
        select(0, read.get(), nullptr, failed.get(), milliseconds < 0 ? nullptr : &limit);
    if (ready == SOCKET_ERROR) return -1;
    int found = 0;
    for (size_t i = 0; i < count; ++i) {
        if (sockets[i] == kInvalidSocket) continue;
        readable[i] = FD_ISSET(static_cast<SOCKET>(sockets[i]), read.get()) ||
                      FD_ISSET(static_cast<SOCKET>(sockets[i]), failed.get());
        if (readable[i]) ++found;
    }
    return found;
}

}  // namespace platform
