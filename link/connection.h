// One accepted WebSocket connection, shared by its session and every sender.
// The descriptor is released only when the last holder lets go, so a number
// the system hands out again can never receive a message meant for a
// connection that has ended.
//
// Sending never waits on the peer: a send appends the whole frame to the
// connection's outgoing queue, and a writer thread of the connection, running
// only while the queue holds something, hands it to the socket in order. A
// peer that stops reading therefore holds up nobody but itself; once its
// queue grows past a bound, or it accepts nothing for the stall limit, the
// connection is closed and its queue freed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"

// Always owned by a std::shared_ptr (std::make_shared): the writer holds the
// connection while it sends.
struct Connection : std::enable_shared_from_this<Connection> {
    // Gives `s` the stall limit as its send timeout.
    explicit Connection(platform::Socket s);
    ~Connection() { platform::CloseSocket(socket); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Records a byte received from or accepted by the peer, now.
    void NoteActivity();
    // Steady-clock milliseconds of the last activity (or of the creation).
    int64_t LastActivityMs() const { return lastActivityMs.load(); }
    // Bytes waiting in the queue, the frame being written not included.
    size_t QueuedBytes();

    const platform::Socket socket;
    // Set by "TavoCloseSocket", a close frame from the page, a failed or
    // stalled send, an overfull queue or the connection cap: nothing more is
    // sent.
    std::atomic<bool> closed{false};

  private:
    friend bool QueueBytes(Connection&, std::string, bool);
    friend void StartWriter(Connection&);
    friend void CloseConnection(Connection&);
    // Starts a writer thread; the caller has set `writing`.
    static void Launch(Connection& connection);
    // The writer: sends the queue until it is empty or the connection fails.
    static void Drain(const std::shared_ptr<Connection>& connection);
    // Sends all of `bytes`; on failure closes the connection.
    static bool Write(Connection& connection, const std::string& bytes);

    // The send timeout given to the socket, in milliseconds.
    const int stallMs;

    std::atomic<int64_t> lastActivityMs;
    std::mutex queueMutex;
    // Whole frames (or the handshake answer), in the order they were sent.
    std::deque<std::string> queue;
    size_t queuedBytes = 0;
    // A writer thread runs; it ends when it finds the queue empty.
    bool writing = false;
};

using ConnectionPtr = std::shared_ptr<Connection>;

// Queues `text` as one text frame on `connection`, unless it is closed, and
// returns at once. Frames go out whole and in the order they were queued.
// True when the frame was queued.
bool SendFrame(Connection& connection, const std::string& text);

// Queues raw bytes (the handshake answer). With `startWriter` false they wait
// until StartWriter or the next send, so the caller can finish setting the
// connection up before anything reaches the peer. True when queued.
bool QueueBytes(Connection& connection, std::string bytes, bool startWriter = true);
// Starts the writer when bytes wait and none runs.
void StartWriter(Connection& connection);

// Marks the connection closed, shuts it down and frees its queue: its session
// and its writer wake and end, the peer sees the close, later sends are
// dropped.
void CloseConnection(Connection& connection);

// The stall limit (a connection that accepts no byte for this long is closed;
// 15 s) and the queue bound (a connection with more than this many bytes
// waiting is closed; 16 MiB). The stall limit applies to connections made
// after the call. Tests shorten them.
void SetSendLimitsForTests(int stallMs, size_t maxQueuedBytes);
