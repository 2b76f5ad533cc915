// Test support: the service's link on a loopback port in the test process, and
// WsPeer, a real WebSocket client (python3-websockets, tests/support/
// ws_client.py) in a child process, spoken to over its stdin and stdout.
#include "tests/support/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "link/handshake.h"
#include "link/listener.h"
#include "platform/platform.h"

extern char** environ;

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
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
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
            ssize_t n = read(fromChild, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
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
        const char* p = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t n = write(toChild, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            p += n;
            left -= static_cast<size_t>(n);
        }
        return true;
    }
};

WsPeer::WsPeer(uint16_t port) : impl_(new Impl) {
    // A client that died must not take the test with it when we write to it.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string portText = std::to_string(port);
    const char* argv[] = {PENMORA_TEST_PYTHON, PENMORA_WS_CLIENT, portText.c_str(), nullptr};
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, PENMORA_TEST_PYTHON, &actions, nullptr,
                              const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    impl_->toChild = in[1];
    impl_->fromChild = out[0];
    if (spawned != 0) {
        impl_->ended = impl_->answered = true;
        return;
    }
    impl_->pid = pid;
    impl_->reader = std::thread([impl = impl_] { impl->ReadLines(); });
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->changed.wait_for(lock, std::chrono::seconds(20), [this] { return impl_->answered; });
}

WsPeer::~WsPeer() {
    // Closing stdin makes the client drop the connection and exit.
    if (impl_->toChild >= 0) close(impl_->toChild);
    if (impl_->pid > 0) {
        int status = 0;
        bool exited = false;
        for (int i = 0; i < 500 && !exited; ++i) {
            exited = waitpid(impl_->pid, &status, WNOHANG) == impl_->pid;
            if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!exited) {
            kill(impl_->pid, SIGKILL);
            waitpid(impl_->pid, &status, 0);
        }
    }
    if (impl_->reader.joinable()) impl_->reader.join();
    if (impl_->fromChild >= 0) close(impl_->fromChild);
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
