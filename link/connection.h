// One accepted WebSocket connection, shared by its session and every sender.
// The descriptor is released only when the last holder lets go, so a number
// the system hands out again can never receive a message meant for a
// connection that has ended.
//
// Sending never waits on the peer: a send appends the whole frame to the
// connection's outgoing queue and hands the socket what it takes at once; when
// the socket is full, a writer thread of the connection, running only while
// the queue holds something, waits for the peer and sends the rest in order.
// A peer that stops reading therefore holds up nobody but itself; once its
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

#include "link/trust.h"
#include "platform/platform.h"

// Always owned by a std::shared_ptr (std::make_shared): the writer thread
// holds the connection while it sends.
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
    // Bytes waiting in the queue, the entry being written not included.
    size_t QueuedBytes();

    const platform::Socket socket;
    // Who is at the other end and the verdict on it, set at the handshake,
    // before the session starts. Only the session's thread changes them
    // later (when the person at the desk answers for the site).
    PeerFacts facts;
    Judgement judgement;
    // The verdict is Trusted: the connection may take the device messages
    // and its commands act. Read by every thread that picks the receiving
    // connection.
    std::atomic<bool> trusted{false};
    // A refusal of this connection has been logged (session thread only).
    bool refusalLogged = false;

    // Set by "TavoCloseSocket", a close frame from the page, a failed or
    // stalled send, an overfull queue or the connection cap: nothing more is
    // sent.
    std::atomic<bool> closed{false};

  private:
    friend bool QueueBytes(Connection&, std::string, bool);
    friend void StartWriter(Connection&);
    friend void CloseConnection(Connection&);
    // Sends the queue front to back; the caller has set `writing`, which is
    // cleared once the queue is empty or the connection failed. With `wait`
    // false, only what the socket takes at once: when it is full, a writer
    // thread takes over.
    static void Flush(Connection& connection, bool wait);
    // Starts the writer thread, Flush with `wait`.
    static void Launch(Connection& connection);
    // Sends `bytes`, waiting for the peer or not; the count sent. On failure
    // the connection is closed.
    static size_t Write(Connection& connection, const std::string& bytes, bool wait);

    // The send timeout given to the socket, in milliseconds.
    const int stallMs;

    std::atomic<int64_t> lastActivityMs;
    std::mutex queueMutex;
    // Whole frames (or the handshake answer), in the order they were sent;
    // the front one may be partly sent already.
    std::deque<std::string> queue;
    size_t queuedBytes = 0;
    // Someone is writing: a sender handing the socket what it takes, or the
    // writer thread. Only the writer takes entries off the queue.
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
