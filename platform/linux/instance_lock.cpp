// Linux: the single-instance lock. It is a Unix socket bound to a name in the
// abstract namespace: such a name belongs to exactly one socket at a time and
// the kernel frees it when the process dies, however it dies. The name holds
// the user id, so each user's session has its own instance, and the
// executable's file name byte for byte, letter case included.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace platform {
namespace {

// 64-bit FNV-1a, to shorten file names the socket address cannot hold whole.
uint64_t Fnv1a(const std::string& text) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ull;
    return hash;
}

}  // namespace

bool TakeInstanceLock(const std::string& name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    char prefix[64];
    snprintf(prefix, sizeof prefix, "penmora-instance/%u/", static_cast<unsigned>(getuid()));
    std::string key = prefix + name;
    // sun_path[0] stays NUL: the abstract namespace.
    const size_t room = sizeof address.sun_path - 1;
    if (key.size() > room) {
        char digest[48];
        snprintf(digest, sizeof digest, "#%016llx-%zu",
                 static_cast<unsigned long long>(Fnv1a(name)), name.size());
        key = key.substr(0, room - strlen(digest)) + digest;
    }
    memcpy(address.sun_path + 1, key.data(), key.size());
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + key.size());

    // Only a name another process holds, or one we may not use, refuses the
    // start; any other failure lets the service run rather than not at all.
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return true;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        const int error = errno;
        close(s);
        return error != EADDRINUSE && error != EACCES;
    }
    // Kept open, never closed: the name is ours until the process ends.
    return true;
}

}  // namespace platform
