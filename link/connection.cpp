// The outgoing queue of a connection and its writer thread.
//
// Senders append under the queue lock. The sender that finds nobody writing
// becomes the writer: outside the lock it takes one entry at a time off the
// front and sends it with calls that never wait. When the socket is full, the
// rest of the entry goes back to the front and a writer thread takes over; it
// sends with calls that wait, and ends when it finds the queue empty, so an
// idle connection costs no thread. The socket's send timeout is the stall
// limit: a send call that moves no byte for that long fails, and the
// connection is closed.
#include "link/connection.h"

#include <chrono>

#include "link/frame.h"
#include "shell/log.h"

namespace {

std::atomic<int> StallLimitMs{15000};
std::atomic<size_t> MaxQueuedBytes{size_t{16} << 20};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Closes `connection` and logs why, unless it was closed already.
void CloseWithLog(Connection& connection, const std::string& why) {
    if (!connection.closed.exchange(true)) WriteLog("error", "page connection closed: " + why);
    CloseConnection(connection);
}

}  // namespace

Connection::Connection(platform::Socket s)
    : socket(s), stallMs(StallLimitMs.load()), lastActivityMs(NowMs()) {
    platform::SetSendTimeout(socket, stallMs);
}

void Connection::NoteActivity() {
    lastActivityMs.store(NowMs());
}

size_t Connection::QueuedBytes() {
    std::lock_guard<std::mutex> lock(queueMutex);
    return queuedBytes;
}

void Connection::Flush(Connection& connection, bool wait) {
    for (;;) {
        std::string bytes;
        {
            std::lock_guard<std::mutex> lock(connection.queueMutex);
            if (connection.queue.empty() || connection.closed.load()) {
                connection.writing = false;
                return;
            }
            bytes = std::move(connection.queue.front());
            connection.queue.pop_front();
            connection.queuedBytes -= bytes.size();
        }
        const size_t sent = Write(connection, bytes, wait);
        if (sent == bytes.size()) continue;
        {
            std::lock_guard<std::mutex> lock(connection.queueMutex);
            if (connection.closed.load()) {
                connection.writing = false;
                return;
            }
            // The socket is full: the rest waits at the front for the writer
            // thread.
            bytes.erase(0, sent);
            connection.queuedBytes += bytes.size();
            connection.queue.push_front(std::move(bytes));
        }
        Launch(connection);
        return;
    }
}

void Connection::Launch(Connection& connection) {
    const std::shared_ptr<Connection> self = connection.weak_from_this().lock();
    if (self && platform::StartDetachedThread([self] { Flush(*self, true); })) return;
    {
        std::lock_guard<std::mutex> lock(connection.queueMutex);
        connection.writing = false;
    }
    CloseWithLog(connection, "no thread could be started to send to it");
}

size_t Connection::Write(Connection& connection, const std::string& bytes, bool wait) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const char* data = bytes.data() + sent;
        const size_t left = bytes.size() - sent;
        const int64_t start = NowMs();
        const long n = wait ? platform::Send(connection.socket, data, left)
                            : platform::SendNoWait(connection.socket, data, left);
        if (n > 0) {
            connection.NoteActivity();
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n == 0 && !wait) break;
        // Part of a frame may be on the wire: nothing sent after it could be
        // read correctly, so the connection is finished. A call that failed
        // only after the send timeout had passed met a peer that stopped
        // reading; a quicker failure is a connection the peer ended, or one
        // closed here, and needs no word.
        if (wait && NowMs() - start >= connection.stallMs * 9 / 10)
            CloseWithLog(connection,
                         "it accepted no data for " + std::to_string(connection.stallMs) + " ms");
        else
            CloseConnection(connection);
        break;
    }
    return sent;
}

bool QueueBytes(Connection& connection, std::string bytes, bool startWriter) {
    const size_t limit = MaxQueuedBytes.load();
    bool overfull = false;
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(connection.queueMutex);
        if (connection.closed.load()) return false;
        overfull = connection.queuedBytes + bytes.size() > limit;
        if (!overfull) {
            connection.queuedBytes += bytes.size();
            connection.queue.push_back(std::move(bytes));
            start = startWriter && !connection.writing;
            if (start) connection.writing = true;
        }
    }
    if (overfull) {
        // The peer has not taken what waits already: it is given up.
        CloseWithLog(connection,
                     "more than " + std::to_string(limit) + " bytes waited to be sent to it");
        return false;
    }
    if (start) Connection::Flush(connection, false);
    return true;
}

void StartWriter(Connection& connection) {
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(connection.queueMutex);
        start = !connection.writing && !connection.queue.empty() && !connection.closed.load();
        if (start) connection.writing = true;
    }
    if (start) Connection::Flush(connection, false);
}

bool SendFrame(Connection& connection, const std::string& text) {
    return QueueBytes(connection, TextFrame(text));
}

void CloseConnection(Connection& connection) {
    connection.closed.store(true);
    platform::Shutdown(connection.socket);
    std::deque<std::string> dropped;
    {
        std::lock_guard<std::mutex> lock(connection.queueMutex);
        dropped.swap(connection.queue);
        connection.queuedBytes = 0;
    }
    // `dropped` is freed here, outside the lock.
}

void SetSendLimitsForTests(int stallMs, size_t maxQueuedBytes) {
    StallLimitMs.store(stallMs);
    MaxQueuedBytes.store(maxQueuedBytes);
}
