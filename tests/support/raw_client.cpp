// A WebSocket client at the socket level for tests and benchmarks.
#include "tests/support/raw_client.h"

#include <chrono>

#include "tests/support/system.h"

namespace {

bool WaitReadable(platform::Socket socket, long milliseconds) {
    if (milliseconds <= 0) return false;
    bool readable = false;
    return platform::WaitReadable(&socket, &readable, 1, static_cast<int>(milliseconds)) > 0;
}

}  // namespace

std::string ClientFrame(uint8_t opcode, const std::string& payload, bool masked, uint32_t key,
                        int lengthCode) {
    std::string frame;
    frame += static_cast<char>(0x80 | opcode);
    const uint64_t n = payload.size();
    const char maskBit = masked ? static_cast<char>(0x80) : 0;
    if (lengthCode == 127 || (lengthCode == 0 && n > 0xFFFF)) {
        frame += static_cast<char>(maskBit | 127);
        for (int i = 7; i >= 0; --i) frame += static_cast<char>((n >> (8 * i)) & 0xFF);
    } else if (lengthCode == 126 || (lengthCode == 0 && n > 125)) {
        frame += static_cast<char>(maskBit | 126);
        frame += static_cast<char>((n >> 8) & 0xFF);
        frame += static_cast<char>(n & 0xFF);
    } else {
        frame += static_cast<char>(maskBit | static_cast<char>(n));
    }
    if (!masked) return frame + payload;
    uint8_t k[4] = {static_cast<uint8_t>(key >> 24), static_cast<uint8_t>(key >> 16),
                    static_cast<uint8_t>(key >> 8), static_cast<uint8_t>(key)};
    frame.append(reinterpret_cast<const char*>(k), 4);
    for (size_t i = 0; i < payload.size(); ++i)
        frame += static_cast<char>(static_cast<uint8_t>(payload[i]) ^ k[i % 4]);
    return frame;
}

std::string HandshakeRequest(const std::string& key) {
    return "GET /chat HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: "
           "Upgrade\r\nSec-WebSocket-Key: " +
           key + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

RawWsClient::RawWsClient(uint16_t port) : socket_(platform::Connect("127.0.0.1", port)) {}

RawWsClient::~RawWsClient() {
    Close();
}

void RawWsClient::Close() {
    platform::CloseSocket(socket_);
    socket_ = platform::kInvalidSocket;
}

void RawWsClient::EndSending() {
    testsys::EndSending(socket_);
}

bool RawWsClient::SendBytes(const std::string& bytes) {
    return platform::SendAll(socket_, bytes.data(), bytes.size());
}

bool RawWsClient::ReadExact(size_t count, std::string* out, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pending_.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (!WaitReadable(socket_, left)) return false;
        char chunk[65536];
        long n = platform::Receive(socket_, chunk, sizeof chunk);
        if (n <= 0) return false;
        pending_.append(chunk, static_cast<size_t>(n));
    }
    *out = pending_.substr(0, count);
    pending_.erase(0, count);
    return true;
}

std::string RawWsClient::Handshake(const std::string& request, int timeoutMs) {
    if (!SendBytes(request)) return "";
    std::string response, byte;
    while (response.find("\r\n\r\n") == std::string::npos) {
        if (!ReadExact(1, &byte, timeoutMs)) return "";
        response += byte;
    }
    return response;
}

std::optional<ServerFrame> RawWsClient::ReceiveFrame(int timeoutMs) {
    ServerFrame frame;
    std::string head, extra;
    if (!ReadExact(2, &head, timeoutMs)) return std::nullopt;
    frame.first = static_cast<uint8_t>(head[0]);
    uint64_t n = static_cast<uint8_t>(head[1]) & 0x7F;
    size_t more = n == 126 ? 2 : n == 127 ? 8 : 0;
    if (more && !ReadExact(more, &extra, timeoutMs)) return std::nullopt;
    if (more) {
        n = 0;
        for (char c : extra) n = (n << 8) | static_cast<uint8_t>(c);
    }
    frame.header = head + extra;
    if (!ReadExact(static_cast<size_t>(n), &frame.payload, timeoutMs)) return std::nullopt;
    return frame;
}

bool RawWsClient::WaitClosed(int timeoutMs, std::string* received) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (received) *received = pending_;
    pending_.clear();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (!WaitReadable(socket_, left)) return false;
        char chunk[4096];
        long n = platform::Receive(socket_, chunk, sizeof chunk);
        if (n <= 0) return true;
        if (received) received->append(chunk, static_cast<size_t>(n));
    }
}
