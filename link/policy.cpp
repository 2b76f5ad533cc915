// The socket-policy responder: pages that reach the service through a plugin
// socket ask on port 843 for a cross-domain policy before they connect.
//
// One thread serves every connection: it waits on the listener and on all open
// connections together, reads the single request of each one as soon as it
// arrives, and closes each connection right after that receive, so neither a
// silent client nor a flood of idle ones can hold up a real request or keep
// descriptors for the life of the process.
#include "link/policy.h"

#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "link/listener.h"

const char PolicyText[] =
    "<cross-domain-policy> <allow-access-from domain=\"*\" to-ports=\"*\"/></cross-domain-policy> ";
static_assert(sizeof PolicyText == PolicyAnswerSize, "the answer is the text and its NUL");

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kPolicyRequestTag = "<policy-file-request/>";
constexpr size_t kRequestBufferSize = 1024;
// A client that has sent nothing by then is not going to ask.
constexpr auto kSilenceLimit = std::chrono::seconds(3);
// The most connections kept waiting for their request at one time. When all
// are taken, the one that has been silent longest makes room for the newest,
// so idle connections can never lock out a client that is about to ask.
constexpr size_t kMaxOpenConnections = 256;
// When accepting fails (out of descriptors, for instance), the listener stays
// readable; this pause keeps the thread from spinning on it.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);

struct PolicyConnection {
    platform::Socket socket;
    Clock::time_point deadline;
};

// The single receive of a connection: the request is the bytes received up to
// the first NUL, and it is answered when it holds the tag anywhere, exactly so.
void AnswerPolicyRequest(platform::Socket connection) {
    char request[kRequestBufferSize] = {};
    long received = platform::Receive(connection, request, sizeof request);
    if (received <= 0) return;
    std::string_view text(request, strnlen(request, static_cast<size_t>(received)));
    if (text.find(kPolicyRequestTag) != std::string_view::npos) {
        platform::SendAll(connection, PolicyText, PolicyAnswerSize);
    }
}

int MillisecondsUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now) return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(ms) + 1;  // round up: never wake before the deadline
}

}  // namespace

void ServePolicyConnections(platform::Socket listener) {
    if (listener == platform::kInvalidSocket) return;
    std::vector<PolicyConnection> open;  // in order of arrival
    open.reserve(kMaxOpenConnections);
    platform::Socket sockets[kMaxOpenConnections + 1];
    bool readable[kMaxOpenConnections + 1];
    Clock::time_point acceptResumes{};

    for (;;) {
        Clock::time_point now = Clock::now();
        size_t kept = 0;
        for (const PolicyConnection& connection : open) {
            if (connection.deadline <= now) {
                platform::CloseSocket(connection.socket);
            } else {
                open[kept++] = connection;
            }
        }
        open.resize(kept);

        // The listener is watched in slot 0 unless accepting has just failed.
        bool watchListener = acceptResumes <= now;
        sockets[0] = watchListener ? listener : platform::kInvalidSocket;
        int timeout = watchListener ? -1 : MillisecondsUntil(acceptResumes, now);
        for (size_t i = 0; i < open.size(); ++i) {
            sockets[i + 1] = open[i].socket;
            int untilDeadline = MillisecondsUntil(open[i].deadline, now);
            if (timeout < 0 || untilDeadline < timeout) timeout = untilDeadline;
        }

        int ready = platform::WaitReadable(sockets, readable, open.size() + 1, timeout);
        if (ready < 0) {
            platform::WaitReadable(nullptr, nullptr, 0,
                                   static_cast<int>(kAcceptRetryPause.count()));
            continue;
        }
        if (ready == 0) continue;

        kept = 0;
        for (size_t i = 0; i < open.size(); ++i) {
            if (readable[i + 1]) {
                AnswerPolicyRequest(open[i].socket);
                platform::CloseSocket(open[i].socket);
            } else {
                open[kept++] = open[i];
            }
        }
        open.resize(kept);

        if (watchListener && readable[0]) {
            if (open.size() == kMaxOpenConnections) {
                platform::CloseSocket(open.front().socket);
                open.erase(open.begin());
            }
            platform::Socket connection = platform::Accept(listener);
            if (connection == platform::kInvalidSocket) {
                acceptResumes = Clock::now() + kAcceptRetryPause;
            } else {
                // 90 bytes always fit a fresh connection's send buffer; the
                // limit only guards against a system that thinks otherwise.
                platform::SetSendTimeout(connection, 1000);
                open.push_back(PolicyConnection{connection, Clock::now() + kSilenceLimit});
            }
        }
    }
}

void AnswerPolicyRequests() {
    ServePolicyConnections(PolicyListenerSocket());
    // No listener (the port is taken, by another program or by the instance
    // of another user of this machine, or needs privileges): nothing to
    // serve. Waiting on nothing without a limit blocks for ever; should a
    // system's wait ever come back all the same, the pause keeps this loop
    // from spinning a processor for as long as the service runs.
    for (;;) {
        if (platform::WaitReadable(nullptr, nullptr, 0, -1) < 0)
            std::this_thread::sleep_for(kAcceptRetryPause);
    }
}
