// Test support: the service's link on a loopback port in the test process, and
// WsPeer, a real WebSocket client (python3-websockets, tests/support/
// ws_client.py) in a child process, spoken to over its stdin and stdout.
#include "tests/support/harness.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "link/handshake.h"
#include "link/listener.h"
#include "platform/platform.h"
#include "tests/support/system.h"

uint16_t StartTestLink() {
    static std::once_flag once;
    static uint16_t port = 0;
    std::call_once(once, [] {
        if (!OpenListenerOn(ListenerKind::Client, "127.0.0.1", 0)) return;
        port = platform::LocalPort(ClientListenerSocket());
        platform::StartDetachedThread([] { AcceptClients(); });
    });
    return port;
}

namespace {

std::string Base64Decode(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        int v = value(c);
        if (v < 0) continue;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

}  // namespace

struct WsPeer::Impl {
    explicit Impl(uint16_t port)
        : client({PENMORA_TEST_PYTHON, PENMORA_WS_CLIENT, std::to_string(port)}) {}
    testsys::HostChild client;
    std::thread reader;

    std::mutex mutex;
    std::condition_variable changed;
    bool answered = false;  // "OK" or "ERR" came
    bool connected = false;
    bool ended = false;  // the connection or the client ended
    std::deque<std::string> messages;

    void ReadLines() {
        std::string pending;
        char chunk[4096];
        for (;;) {
            const long n = client.Read(chunk, sizeof chunk);
            if (n <= 0) break;
            pending.append(chunk, static_cast<size_t>(n));
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                Handle(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        answered = true;
        ended = true;
        changed.notify_all();
    }

    void Handle(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        if (line == "OK") {
            answered = connected = true;
        } else if (line.rfind("ERR", 0) == 0) {
            answered = true;
            ended = true;
        } else if (line.rfind("R ", 0) == 0) {
            messages.push_back(Base64Decode(line.substr(2)));
        } else if (line == "X") {
            ended = true;
        }
        changed.notify_all();
    }

    std::mutex writeMutex;  // one command line at a time, whatever its length

    bool Write(const std::string& line) {
        std::lock_guard<std::mutex> lock(writeMutex);
        return client.Write(line.data(), line.size());
    }
};

WsPeer::WsPeer(uint16_t port) : impl_(new Impl(port)) {
    if (!impl_->client.Started()) {
        impl_->ended = impl_->answered = true;
        return;
    }
    impl_->reader = std::thread([impl = impl_] { impl->ReadLines(); });
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->changed.wait_for(lock, std::chrono::seconds(20), [this] { return impl_->answered; });
}

WsPeer::~WsPeer() {
    // Ending its input makes the client drop the connection and exit.
    impl_->client.Finish(5000);
    if (impl_->reader.joinable()) impl_->reader.join();
    delete impl_;
}

bool WsPeer::Connected() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->connected;
}

bool WsPeer::Send(const std::string& text) {
    if (!Connected()) return false;
    return impl_->Write("S " + Base64EncodePadded(text.data(), text.size()) + "\n");
}

std::optional<std::string> WsPeer::Receive(int timeoutMs) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return !impl_->messages.empty() || impl_->ended; });
    if (impl_->messages.empty()) return std::nullopt;
    std::string message = std::move(impl_->messages.front());
    impl_->messages.pop_front();
    return message;
}

void WsPeer::Close() {
    if (Connected()) impl_->Write("C\n");
}
