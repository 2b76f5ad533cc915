// One accepted WebSocket connection, shared by its session and every sender.
// The descriptor is released only when the last holder lets go, so a number
// the system hands out again can never receive a message meant for a
// connection that has ended.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"

struct Connection {
    explicit Connection(platform::Socket s) : socket(s) {}
    ~Connection() { platform::CloseSocket(socket); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const platform::Socket socket;
    // Held for a whole frame (header and payload), so frames never interleave.
    std::mutex sendMutex;
    // Set by "TavoCloseSocket", a close frame from the page or a failed send:
    // nothing more is sent.
    std::atomic<bool> closed{false};
};

using ConnectionPtr = std::shared_ptr<Connection>;

// Sends `text` as one text frame on `connection`, unless it is closed. A send
// that fails part-way leaves the stream unusable, so the connection is then
// marked closed and shut down. True when the whole frame went out.
bool SendFrame(Connection& connection, const std::string& text);

// Marks the connection closed and shuts it down: its session wakes and ends,
// the peer sees the close, later sends are dropped.
void CloseConnection(Connection& connection);
