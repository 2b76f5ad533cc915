// The listening sockets, the accept thread and the handshake of each
// connection, and the ActiveClient.
#include "link/listener.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "commands/session.h"
#include "link/frame.h"
#include "link/handshake.h"
#include "link/policy.h"

namespace {

constexpr int kBacklog = 255;
// A peer has this long to send its request after connecting.
constexpr int kHandshakeTimeoutMs = 5000;
// Messages to a page that stopped reading give up after this long.
constexpr int kSendTimeoutMs = 15000;

std::atomic<platform::Socket> ClientListener{platform::kInvalidSocket};
std::atomic<platform::Socket> PolicyListener{platform::kInvalidSocket};

// Never destroyed: detached threads may still send while the process exits.
std::mutex& ActiveClientMutex = *new std::mutex;
ConnectionPtr& ActiveClientValue = *new ConnectionPtr;

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

// One connection from accept to the end of its session.
void ServeConnection(platform::Socket socket) {
    platform::SetReceiveTimeout(socket, kHandshakeTimeoutMs);
    char request[1024] = {};
    long received = platform::Receive(socket, request, sizeof request);
    const std::string response = AnswerHandshakeRequest(request, received);
    if (response.empty()) {
        platform::CloseSocket(socket);
        return;
    }
    platform::SetReceiveTimeout(socket, 0);
    platform::SetSendTimeout(socket, kSendTimeoutMs);
    auto connection = std::make_shared<Connection>(socket);
    {
        // Active before the page can read the answer, so once a page holds its
        // 101 every device message goes to it; the send lock keeps any such
        // message behind the answer.
        std::lock_guard<std::mutex> lock(connection->sendMutex);
        SetActiveClient(connection);
        platform::SendAll(socket, response.data(), response.size());
    }
    ClientSession(std::move(connection));
}

}  // namespace

bool OpenListenerOn(ListenerKind kind, const char* address, uint16_t port) {
    platform::Socket s = platform::Listen(address, port, kBacklog);
    (kind == ListenerKind::Policy ? PolicyListener : ClientListener).store(s);
    return s != platform::kInvalidSocket;
}

bool OpenListener(uint16_t port) {
    return OpenListenerOn(port == PolicyPort ? ListenerKind::Policy : ListenerKind::Client,
                          "0.0.0.0", port);
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
    for (;;) {
        const platform::Socket socket = platform::Accept(listener);
        if (socket == platform::kInvalidSocket) {
            // Out of descriptors or memory: pause instead of spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (!platform::StartDetachedThread([socket] { ServeConnection(socket); }))
            platform::CloseSocket(socket);
    }
}

ConnectionPtr ActiveClient() {
    std::lock_guard<std::mutex> lock(ActiveClientMutex);
    return ActiveClientValue;
}

void ResetActiveClientForTests() {
    SetActiveClient(nullptr);
}
