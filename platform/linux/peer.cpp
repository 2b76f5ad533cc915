// Linux: who is at the other end of a connection. A peer on this computer
// owns a socket of its own whose ends are ours swapped; the kernel's socket
// diagnostics name that socket's owner, the same way ss -e does. Where the
// diagnostics are missing (a kernel without them), /proc/net/tcp says the
// same, more slowly.
#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/platform.h"

namespace platform {
namespace {

// The owner of the TCP socket whose local end is `local` and remote end
// `remote`, through the socket diagnostics. False when they cannot tell.
// Each thread that asks keeps its socket to the kernel: the accept thread
// asks once per connection.
struct DiagnosticsSocket {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    DiagnosticsSocket() {
        timeval tv{1, 0};
        if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~DiagnosticsSocket() {
        if (fd >= 0) close(fd);
    }
};

bool OwnerByDiagnostics(const sockaddr_in& local, const sockaddr_in& remote, uid_t* uid) {
    thread_local DiagnosticsSocket diagnostics;
    const int s = diagnostics.fd;
    if (s < 0) return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = local.sin_port;
    message.request.id.idiag_dport = remote.sin_port;
    message.request.id.idiag_src[0] = local.sin_addr.s_addr;
    message.request.id.idiag_dst[0] = remote.sin_addr.s_addr;
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    bool found = false;
    if (sendto(s, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) == static_cast<ssize_t>(sizeof message)) {
        alignas(nlmsghdr) char buffer[8192];
        const ssize_t n = recv(s, buffer, sizeof buffer, 0);
        if (n > 0) {
            const auto* header = reinterpret_cast<const nlmsghdr*>(buffer);
            size_t left = static_cast<size_t>(n);
            for (; NLMSG_OK(header, left); header = NLMSG_NEXT(header, left)) {
                if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                    header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                    continue;
                const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
                if (diag->id.idiag_sport != local.sin_port ||
                    diag->id.idiag_dport != remote.sin_port ||
                    diag->id.idiag_src[0] != local.sin_addr.s_addr ||
                    diag->id.idiag_dst[0] != remote.sin_addr.s_addr)
                    continue;
                *uid = diag->idiag_uid;
                found = true;
                break;
            }
        }
    }
    return found;
}

// The same through /proc/net/tcp, whose addresses are the raw 32-bit values
// and whose ports are in host order, both in hexadecimal.
bool OwnerByProcTable(const sockaddr_in& local, const sockaddr_in& remote, uid_t* uid) {
    char wanted[64];
    snprintf(wanted, sizeof wanted, "%08X:%04X %08X:%04X", local.sin_addr.s_addr,
             ntohs(local.sin_port), remote.sin_addr.s_addr, ntohs(remote.sin_port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
        const size_t colon = line.find(": ");
        if (colon == std::string::npos || line.compare(colon + 2, strlen(wanted), wanted) != 0)
            continue;
        // sl local remote st tx:rx tr:when retrnsmt uid
        unsigned long value = 0;
        char state[8], queues[40], timer[40], retransmits[16];
        if (sscanf(line.c_str() + colon + 2 + strlen(wanted), " %7s %39s %39s %15s %lu", state,
                   queues, timer, retransmits, &value) == 5) {
            *uid = static_cast<uid_t>(value);
            return true;
        }
    }
    return false;
}

std::string UserName(uid_t uid) {
    passwd entry{};
    passwd* result = nullptr;
    char buffer[1024];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &result) == 0 && result)
        return result->pw_name;
    return "uid " + std::to_string(uid);
}

}  // namespace

PeerIdentity IdentifyPeer(Socket socket) {
    PeerIdentity identity;
    sockaddr_in local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
        peer.sin_family != AF_INET) {
        identity.address = "unknown";
        return identity;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    identity.address = text;
    identity.loopback = (ntohl(peer.sin_addr.s_addr) >> 24) == 127;
    if (!identity.loopback) return identity;
    // The peer's socket: its local end is our remote one.
    uid_t uid;
    if (OwnerByDiagnostics(peer, local, &uid) || OwnerByProcTable(peer, local, &uid)) {
        const uid_t self = geteuid();
        identity.owner = uid == self ? PeerOwner::ThisUser : PeerOwner::OtherUser;
        // Looking a name up reads the user database: this user's once.
        static const std::string& selfName = *new std::string(UserName(self));
        identity.ownerName = uid == self ? selfName : UserName(uid);
    }
    return identity;
}

}  // namespace platform
