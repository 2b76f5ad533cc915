// The listening sockets, the accept thread and the handshake of each
// connection, and the ActiveClient: the newest connection, or once it has
// closed, the newest one still open.
#include "link/listener.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands/session.h"
#include "link/frame.h"
#include "link/handshake.h"
#include "link/policy.h"
#include "shell/log.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBacklog = 255;
// A peer has this long to send its request after connecting.
constexpr int kHandshakeTimeoutMs = 5000;
// Connections waiting for their request. The accept thread serves them all;
// when one more comes, the oldest is given up, so a crowd of silent peers
// cannot keep a page out.
constexpr size_t kMaxHandshakes = 16;
// Page connections open at once, after their handshake.
constexpr size_t kMaxConnections = 256;

std::atomic<platform::Socket> ClientListener{platform::kInvalidSocket};
std::atomic<platform::Socket> PolicyListener{platform::kInvalidSocket};

// Never destroyed: detached threads may still send while the process exits.
std::mutex& ActiveClientMutex = *new std::mutex;
ConnectionPtr& ActiveClientValue = *new ConnectionPtr;

// The page connections that completed their handshake and are not closed.
// Held weakly: a connection ends when its session and the ActiveClient let go.
std::mutex& OpenMutex = *new std::mutex;
std::vector<std::weak_ptr<Connection>>& OpenConnections =
    *new std::vector<std::weak_ptr<Connection>>;

// The open connection that completed its handshake last, or null. Called
// with ActiveClientMutex held, which is always taken before OpenMutex.
ConnectionPtr NewestOpenConnection() {
    std::lock_guard<std::mutex> lock(OpenMutex);
    for (auto entry = OpenConnections.rbegin(); entry != OpenConnections.rend(); ++entry) {
        ConnectionPtr connection = entry->lock();
        if (connection && !connection->closed.load() && connection->trusted.load())
            return connection;
    }
    return nullptr;
}

void SetActiveClient(const ConnectionPtr& connection) {
    ConnectionPtr previous;
    {
        std::lock_guard<std::mutex> lock(ActiveClientMutex);
        previous = std::move(ActiveClientValue);
        ActiveClientValue = connection;
    }
    // `previous` lets go here, outside the lock: when its session has ended,
    // this releases its descriptor.
}

// Counts `connection` among the open ones. At the cap, the open connection
// idle longest that is not the ActiveClient is closed to make room; one that
// is not trusted goes before any that is, so strangers crowding in cannot
// push a trusted page out.
void Admit(const ConnectionPtr& connection) {
    const ConnectionPtr active = ActiveClient();
    const auto rank = [](const ConnectionPtr& c) { return c->trusted.load() ? 1 : 0; };
    ConnectionPtr idlest;
    {
        std::lock_guard<std::mutex> lock(OpenMutex);
        std::vector<std::weak_ptr<Connection>>& open = OpenConnections;
        size_t kept = 0, idlestAt = 0;
        for (size_t i = 0; i < open.size(); ++i) {
            const ConnectionPtr entry = open[i].lock();
            if (!entry || entry->closed.load()) continue;
            if (entry != active && (!idlest || rank(entry) < rank(idlest) ||
                                    (rank(entry) == rank(idlest) &&
                                     entry->LastActivityMs() < idlest->LastActivityMs()))) {
                idlest = entry;
                idlestAt = kept;
            }
            if (kept != i) open[kept] = std::move(open[i]);
            ++kept;
        }
        open.resize(kept);
        if (kept < kMaxConnections)
            idlest.reset();
        else if (idlest)
            open.erase(open.begin() + static_cast<std::ptrdiff_t>(idlestAt));
        open.push_back(connection);
    }
    if (idlest && !idlest->closed.exchange(true)) {
        WriteLog("error", "page connection closed: " + std::to_string(kMaxConnections) +
                              " connections were open and it had been idle longest");
        CloseConnection(*idlest);
    }
}

// The lists as they are now: read again only when the settings' stamp says
// they changed. Their problems are logged once, when they first appear, not
// on every connection.
TrustLists CurrentTrustLists() {
    static std::mutex& cacheMutex = *new std::mutex;
    static std::string& stamp = *new std::string;
    static TrustLists& cached = *new TrustLists;
    static std::string& logged = *new std::string;
    const std::string now = platform::TrustSettingsStamp();
    std::lock_guard<std::mutex> lock(cacheMutex);
    if (now == stamp && !stamp.empty()) return cached;
    cached = ParseTrustSettings(platform::ReadTrustSettings());
    stamp = now;
    std::string problems;
    for (const std::string& problem : cached.problems) problems += problem + "\n";
    if (problems != logged) {
        for (const std::string& problem : cached.problems)
            WriteLog("error", "trust list entry skipped: " + problem);
        logged = problems;
    }
    return cached;
}

// A connection whose request arrived: answered and served, or refused when
// `response` is empty. `request` is what the first receive brought.
void CompleteHandshake(platform::Socket socket, std::string response, const std::string& request) {
    if (response.empty()) {
        // No key header, or one without the blank after its colon, from
        // which no accept value can be made: refused without a reply.
        platform::CloseSocket(socket);
        return;
    }
    auto connection = std::make_shared<Connection>(socket);
    JudgeConnection(*connection, platform::IdentifyPeer(socket), request);
    // The answer waits in the queue until the connection is the ActiveClient,
    // so once a page holds its 101 every device message goes to it, and any
    // such message queues behind the answer. A connection that is not
    // trusted gets its answer all the same, so that its page can be told
    // why it may do nothing, but never receives a device message.
    QueueBytes(*connection, std::move(response), false);
    Admit(connection);
    if (connection->trusted.load()) SetActiveClient(connection);
    StartWriter(*connection);
    if (!platform::StartDetachedThread([connection] { ClientSession(connection); }))
        CloseConnection(*connection);
}

struct Handshake {
    platform::Socket socket;
    Clock::time_point deadline;
};

// Reads the request of a connection that has something to read, in one
// receive as it arrived, and completes its handshake.
void ReceiveRequest(platform::Socket socket) {
    char request[1024] = {};
    const long received = platform::Receive(socket, request, sizeof request);
    const size_t length = received > 0 ? strnlen(request, static_cast<size_t>(received)) : 0;
    CompleteHandshake(socket, AnswerHandshakeRequest(request, received),
                      std::string(request, length));
}

}  // namespace

bool OpenListenerOn(ListenerKind kind, const char* address, uint16_t port) {
    platform::Socket s = platform::Listen(address, port, kBacklog);
    if (s == platform::kInvalidSocket) {
        // The service runs on without the port; the log says why pages
        // cannot reach it (another program or another user's instance holds
        // it, or it needs privileges).
        const int code = platform::LastSystemError();
        WriteLog("error", "port " + std::to_string(port) + " could not be opened: system error " +
                              std::to_string(code));
    }
    (kind == ListenerKind::Policy ? PolicyListener : ClientListener).store(s);
    return s != platform::kInvalidSocket;
}

bool OpenListener(uint16_t port) {
    // Loopback only, unless IT admits hosts of the network.
    const char* address = CurrentTrustLists().hosts.empty() ? "127.0.0.1" : "0.0.0.0";
    return OpenListenerOn(port == PolicyPort ? ListenerKind::Policy : ListenerKind::Client, address,
                          port);
}

void JudgeConnection(Connection& connection, const platform::PeerIdentity& peer,
                     const std::string& request) {
    PeerFacts& facts = connection.facts;
    facts.address = peer.address;
    facts.loopback = peer.loopback;
    facts.owner = peer.owner;
    facts.ownerName = peer.ownerName;
    facts.originHeader = ReadOriginHeader(request, &facts.origin);
    connection.judgement = Judge(facts, CurrentTrustLists());
    connection.trusted.store(connection.judgement.verdict == Verdict::Trusted);
}

void RejudgeConnection(const ConnectionPtr& connection) {
    const Judgement judgement = Judge(connection->facts, CurrentTrustLists());
    connection->judgement = judgement;
    if (judgement.verdict == Verdict::Trusted) TrustConnection(connection);
}

void TrustConnection(const ConnectionPtr& connection) {
    connection->judgement.verdict = Verdict::Trusted;
    connection->judgement.reason = TrustReason::None;
    ConnectionPtr previous;
    std::lock_guard<std::mutex> lock(ActiveClientMutex);
    connection->trusted.store(true);
    // As if trusted from its handshake: the receiving connection is the
    // newest trusted one still open.
    if (ConnectionPtr newest = NewestOpenConnection()) {
        previous = std::move(ActiveClientValue);
        ActiveClientValue = std::move(newest);
    }
}

platform::Socket ClientListenerSocket() {
    return ClientListener.load();
}
platform::Socket PolicyListenerSocket() {
    return PolicyListener.load();
}

void AcceptClients() {
    const platform::Socket listener = ClientListener.load();
    // Without its port the service runs on; there is nothing to accept.
    if (listener == platform::kInvalidSocket) return;
    // Oldest first.
    std::vector<Handshake> waiting;
    std::vector<platform::Socket> sockets;
    std::unique_ptr<bool[]> readable(new bool[kMaxHandshakes + 1]);
    for (;;) {
        sockets.assign(1, listener);
        int timeoutMs = -1;
        const Clock::time_point now = Clock::now();
        for (const Handshake& handshake : waiting) {
            sockets.push_back(handshake.socket);
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(handshake.deadline - now)
                    .count();
            const int ms = left < 0 ? 0 : static_cast<int>(left) + 1;
            if (timeoutMs < 0 || ms < timeoutMs) timeoutMs = ms;
        }
        if (platform::WaitReadable(sockets.data(), readable.get(), sockets.size(), timeoutMs) < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        // Requests that arrived, then requests that never came in time.
        const Clock::time_point after = Clock::now();
        size_t kept = 0;
        for (size_t i = 0; i < waiting.size(); ++i) {
            if (readable[i + 1]) {
                ReceiveRequest(waiting[i].socket);
            } else if (after >= waiting[i].deadline) {
                platform::CloseSocket(waiting[i].socket);
            } else {
                waiting[kept++] = waiting[i];
            }
        }
        waiting.resize(kept);
        if (!readable[0]) continue;
        const platform::Socket socket = platform::Accept(listener);
        if (socket == platform::kInvalidSocket) {
            // Out of descriptors or memory: pause instead of spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (waiting.size() == kMaxHandshakes) {
            platform::CloseSocket(waiting.front().socket);
            waiting.erase(waiting.begin());
        }
        waiting.push_back(
            Handshake{socket, Clock::now() + std::chrono::milliseconds(kHandshakeTimeoutMs)});
    }
}

ConnectionPtr ActiveClient() {
    // Declared before the lock, so a closed connection given up here lets go
    // of its descriptor outside it.
    ConnectionPtr previous;
    std::lock_guard<std::mutex> lock(ActiveClientMutex);
    // A page that has gone can take nothing: the newest one still open takes
    // its place. With none open, the closed one stays, and what is sent to it
    // is dropped until the next handshake.
    if (ActiveClientValue && ActiveClientValue->closed.load()) {
        if (ConnectionPtr next = NewestOpenConnection()) {
            previous = std::move(ActiveClientValue);
            ActiveClientValue = std::move(next);
        }
    }
    return ActiveClientValue;
}

void ResetActiveClientForTests() {
    SetActiveClient(nullptr);
}
