// Test support: the service's link running in the test process on a loopback
// port, and a real WebSocket client (python3-websockets) to talk to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Opens the client listener on 127.0.0.1 and an ephemeral port and starts the
// accept thread, once per process; returns the port.
uint16_t StartTestLink();

// A WebSocket client in a child process. Texts are UTF-8.
class WsPeer {
  public:
    explicit WsPeer(uint16_t port);
    ~WsPeer();
    WsPeer(const WsPeer&) = delete;
    WsPeer& operator=(const WsPeer&) = delete;

    bool Connected() const;
    // Sends one text frame.
    bool Send(const std::string& text);
    // The next text message received, or nothing after `timeoutMs`.
    std::optional<std::string> Receive(int timeoutMs = 5000);
    // Closes the connection (close frame).
    void Close();

  private:
    struct Impl;
    Impl* impl_;
};
