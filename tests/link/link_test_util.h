// Helpers of the link tests on POSIX systems: what the test process holds
// (descriptors, threads, resident memory), waiting for a condition, and a page
// that stops reading.
#pragma once

#include <arpa/inet.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PENMORA_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PENMORA_SANITIZED 1
#endif
#endif
#if PENMORA_SANITIZED
// The sanitizer runtime's count of heap bytes in use (GCC ships no header).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "devices/virtual_pad/virtual_pad.h"
#include "platform/platform.h"
#include "tests/support/harness.h"
#include "tests/link/unplugged_pad_link.h"
#include "tests/support/raw_client.h"

inline size_t CountEntries(const char* folder) {
    size_t count = 0;
    if (DIR* dir = opendir(folder)) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

inline size_t OpenDescriptors() {
    return CountEntries("/proc/self/fd");
}

inline size_t ProcessThreads() {
    return CountEntries("/proc/self/task") - 2;  // without "." and ".."
}

// A line "<name> <number> kB" of /proc/self/status, in bytes.
inline size_t ProcessStatusBytes(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(name, 0) == 0) return std::stoul(line.substr(name.size())) * 1024;
    return 0;
}

// The resident set of the test process, in bytes.
inline size_t ResidentBytes() {
    return ProcessStatusBytes("VmRSS:");
}

// The memory the process holds for its own use: its resident set, or under a
// sanitizer, whose shadow memory and quarantine of freed blocks swell the
// resident set many times, the heap blocks in use.
inline size_t MemoryInUse() {
#if PENMORA_SANITIZED
    return __sanitizer_get_current_allocated_bytes();
#else
    return ResidentBytes();
#endif
}

// How many times `part` occurs in `text`.
inline size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Polls `done` every 10 ms for up to `timeoutMs`; true once it holds.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Lets this process open `count` descriptors, as far as the hard limit allows.
inline bool RaiseDescriptorLimit(rlim_t count) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= count) return true;
    if (limit.rlim_max < count) return false;
    limit.rlim_cur = count;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// A page that completes its handshake and then never reads again, with a
// receive buffer of 2 KB, so that what the service sends it soon piles up.
class StalledPage {
  public:
    explicit StalledPage(uint16_t port) {
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int size = 2048;
        setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
        const std::string request = HandshakeRequest();
        if (!platform::SendAll(socket_, request.data(), request.size())) return;
        // The answer, byte by byte, so that nothing after it is taken.
        std::string answer;
        char byte;
        platform::SetReceiveTimeout(socket_, 10000);
        while (answer.find("\r\n\r\n") == std::string::npos &&
               platform::Receive(socket_, &byte, 1) == 1)
            answer += byte;
        handshaken_ = answer.find(" 101 ") != std::string::npos;
    }
    ~StalledPage() { platform::CloseSocket(socket_); }
    StalledPage(const StalledPage&) = delete;
    StalledPage& operator=(const StalledPage&) = delete;

    bool Handshaken() const { return handshaken_; }
    platform::Socket Socket() const { return socket_; }

  private:
    platform::Socket socket_ = platform::kInvalidSocket;
    bool handshaken_ = false;
};
