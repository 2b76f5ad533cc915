// The same on every system: a whole buffer sent through platform::Send.
#include "platform/platform.h"

namespace platform {

bool SendAll(Socket socket, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    // An empty send still goes out as one call, as the frame code expects.
    if (size == 0) return Send(socket, p, 0) == 0;
    while (size > 0) {
        long n = Send(socket, p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace platform
