// A WebSocket client at the socket level, for the tests and benchmarks that
// need to send what a well-behaved client never would: broken handshakes,
// unmasked or truncated frames, bytes that are not UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

// The bytes of one client frame (FIN set) with the given opcode. Masked frames
// use `key`; the length field takes the shortest form unless `lengthCode`
// (126 or 127) asks for a longer one.
std::string ClientFrame(uint8_t opcode, const std::string& payload, bool masked = true,
                        uint32_t key = 0x37FA213D, int lengthCode = 0);

// The standard request with this key (RFC 6455 section 1.3's sample key by
// default).
std::string HandshakeRequest(const std::string& key = "dGhlIHNhbXBsZSBub25jZQ==");

struct ServerFrame {
    uint8_t first = 0;  // FIN, RSV and opcode byte
    std::string header;
    std::string payload;
};

class RawWsClient {
  public:
    explicit RawWsClient(uint16_t port);
    ~RawWsClient();
    RawWsClient(const RawWsClient&) = delete;
    RawWsClient& operator=(const RawWsClient&) = delete;

    bool Connected() const { return socket_ != platform::kInvalidSocket; }
    platform::Socket Socket() const { return socket_; }
    bool SendBytes(const std::string& bytes);
    // Sends the request and reads the answer up to its blank line; "" when the
    // service closed the connection or said nothing within `timeoutMs`.
    std::string Handshake(const std::string& request = HandshakeRequest(), int timeoutMs = 10000);
    // The next frame from the service; nothing when none came in `timeoutMs`
    // or the connection ended.
    std::optional<ServerFrame> ReceiveFrame(int timeoutMs = 10000);
    // True when the service ended the connection (end of stream or reset)
    // within `timeoutMs`; the bytes that arrived meanwhile go to `received`.
    bool WaitClosed(int timeoutMs = 10000, std::string* received = nullptr);
    // Ends the stream to the service, as a page that goes away without a
    // close frame; what the service sends still arrives.
    void EndSending();
    void Close();

  private:
    bool ReadExact(size_t count, std::string* out, int timeoutMs);
    platform::Socket socket_;
    std::string pending_;
};
