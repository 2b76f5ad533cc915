// Windows: who is at the other end of a connection. A peer on this computer
// owns a socket whose ends are ours swapped; the system's table of TCP
// connections names the process that owns it (GetExtendedTcpTable), and that
// process's token names its user, compared with ours.
#include <vector>

#include "platform/platform.h"
#include "platform/windows/win32.h"
// After win32.h, which brings in the socket headers in their order.
#include <iphlpapi.h>

namespace platform {
namespace {

// The process that owns the connection from `local` to `remote`; 0 when the
// table has no such row.
DWORD OwningProcess(const sockaddr_in& local, const sockaddr_in& remote) {
    std::vector<unsigned char> table;
    DWORD size = 0;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    // The table can grow between the two calls.
    for (int tries = 0; tries < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++tries) {
        table.resize(size + 4096);
        size = static_cast<DWORD>(table.size());
        result = GetExtendedTcpTable(table.data(), &size, FALSE, AF_INET,
                                     TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    }
    if (result != NO_ERROR) return 0;
    const auto* rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
    for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = rows->table[i];
        if (row.dwLocalAddr == local.sin_addr.s_addr &&
            static_cast<u_short>(row.dwLocalPort) == local.sin_port &&
            row.dwRemoteAddr == remote.sin_addr.s_addr &&
            static_cast<u_short>(row.dwRemotePort) == remote.sin_port)
            return row.dwOwningPid;
    }
    return 0;
}

// The user of a process's token, as a SID in `sid`. False when the process
// cannot be opened: another user's process, for a user without
// administrator's rights.
bool ProcessUser(HANDLE process, std::vector<unsigned char>* sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size ? size : 1);
    const bool ok = size && GetTokenInformation(token, TokenUser, user.data(), size, &size);
    CloseHandle(token);
    if (!ok) return false;
    PSID id = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    sid->assign(static_cast<unsigned char*>(id),
                static_cast<unsigned char*>(id) + GetLengthSid(id));
    return true;
}

std::string AccountName(std::vector<unsigned char>& sid) {
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid.data(), name, &nameSize, domain, &domainSize, &use))
        return "";
    return Narrow(std::wstring(domain) + L"\\" + name, CP_UTF8);
}

// Wine shows Windows only its own processes: the programs of the rest of the
// system (the browser, the tests' clients) own sockets its table cannot
// place, though they run as the same system user as Wine itself.
bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

PeerIdentity IdentifyPeer(Socket socket) {
    PeerIdentity identity;
    sockaddr_in local{}, peer{};
    int localLength = sizeof local, peerLength = sizeof peer;
    const SOCKET s = static_cast<SOCKET>(socket);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
        peer.sin_family != AF_INET) {
        identity.address = "unknown";
        return identity;
    }
    identity.address = inet_ntoa(peer.sin_addr);
    identity.loopback = (ntohl(peer.sin_addr.s_addr) >> 24) == 127;
    if (!identity.loopback) return identity;
    // The peer's socket: its local end is our remote one.
    const DWORD pid = OwningProcess(peer, local);
    if (pid == 0) {
        if (UnderWine()) {
            identity.owner = PeerOwner::ThisUser;
            identity.ownerName = "a program outside Wine";
        }
        return identity;
    }
    std::vector<unsigned char> mine, theirs;
    if (!ProcessUser(GetCurrentProcess(), &mine)) return identity;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        // Our own user's processes can always be opened so far; one that
        // cannot is another user's.
        identity.owner = PeerOwner::OtherUser;
        identity.ownerName = "process " + std::to_string(pid);
        return identity;
    }
    const bool known = ProcessUser(process, &theirs);
    CloseHandle(process);
    if (!known) {
        identity.owner = PeerOwner::OtherUser;
        identity.ownerName = "process " + std::to_string(pid);
        return identity;
    }
    identity.owner =
        EqualSid(mine.data(), theirs.data()) ? PeerOwner::ThisUser : PeerOwner::OtherUser;
    identity.ownerName = AccountName(theirs);
    if (identity.ownerName.empty()) identity.ownerName = "process " + std::to_string(pid);
    return identity;
}

}  // namespace platform
