// The outgoing queue of a connection and its writer thread.
//
// Senders only append under the queue lock. The first sender that finds no
// writer running starts one; the writer takes one entry at a time off the
// front, sends it whole outside the lock, and ends when it finds the queue
// empty, so an idle connection costs no thread. The socket's send timeout is
// the stall limit: a send call that moves no byte for that long fails, and the
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

void Connection::Launch(Connection& connection) {
    const std::shared_ptr<Connection> self = connection.weak_from_this().lock();
    if (self && platform::StartDetachedThread([self] { Drain(self); })) return;
    {
        std::lock_guard<std::mutex> lock(connection.queueMutex);
        connection.writing = false;
    }
    CloseWithLog(connection, "no thread could be started to send to it");
}

void Connection::Drain(const std::shared_ptr<Connection>& connection) {
    for (;;) {
        std::string bytes;
        {
            std::lock_guard<std::mutex> lock(connection->queueMutex);
            if (connection->queue.empty() || connection->closed.load()) {
                connection->writing = false;
                return;
            }
            bytes = std::move(connection->queue.front());
            connection->queue.pop_front();
            connection->queuedBytes -= bytes.size();
        }
        if (!Write(*connection, bytes)) {
            std::lock_guard<std::mutex> lock(connection->queueMutex);
            connection->writing = false;
            return;
        }
    }
}

bool Connection::Write(Connection& connection, const std::string& bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const int64_t start = NowMs();
        const long n = platform::Send(connection.socket, p, left);
        if (n > 0) {
            connection.NoteActivity();
            p += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        // Part of a frame may be on the wire: nothing sent after it could be
        // read correctly, so the connection is finished. A call that failed
        // only after the send timeout had passed met a peer that stopped
        // reading; a quicker failure is a connection the peer ended, or one
        // closed here, and needs no word.
        if (NowMs() - start >= connection.stallMs * 9 / 10)
            CloseWithLog(connection,
                         "it accepted no data for " + std::to_string(connection.stallMs) + " ms");
        else
            CloseConnection(connection);
        return false;
    }
    return true;
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
    if (start) Connection::Launch(connection);
    return true;
}

void StartWriter(Connection& connection) {
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(connection.queueMutex);
        start = !connection.writing && !connection.queue.empty() && !connection.closed.load();
        if (start) connection.writing = true;
    }
    if (start) Connection::Launch(connection);
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
