// Linux: waiting on many sockets at once, so that one thread can serve many
// short connections without any of them holding up the others.
#include <poll.h>

#include <cerrno>
#include <vector>

#include "platform/platform.h"

namespace platform {

int WaitReadable(const Socket* sockets, bool* readable, size_t count, int milliseconds) {
    std::vector<pollfd> entries(count);
    for (size_t i = 0; i < count; ++i) entries[i] = pollfd{sockets[i], POLLIN, 0};
    int ready;
    do {
        ready = poll(entries.data(), entries.size(), milliseconds < 0 ? -1 : milliseconds);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -1;
    int found = 0;
    for (size_t i = 0; i < count; ++i) {
        readable[i] = entries[i].revents != 0;
        if (readable[i]) ++found;
    }
    return found;
}

}  // namespace platform
