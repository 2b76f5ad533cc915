// Fuzz target: the receive path of one page connection. The input is the byte
// stream a page sends after its handshake; it is written into one end of a
// socket pair, which is then closed, and ClientSession serves the other end as
// it serves a page: stream reassembly, DecodeFrame, the text cut at the last
// "}", the JSON parsing and the dispatch of each command to the virtual pad.
// No listener runs, so there is no ActiveClient and the service's messages
// are dropped. The target must run in a folder without the reader library, so
// that a fingerprint command logs its absence and starts no capture.
//
// After each input the pad session, the capture and the command state go
// back to their start-up state, and the input must have left no pad handle
// open and no pen-input thread reading.
//
// An input costs what its own commands cost and little more: the pen-input
// threads of its signing sessions run on threads the target keeps parked
// between sessions (making and ending a thread for each session used to cost
// most of an input's time), the virtual pad's reads return within a few
// microseconds, so closing a session never waits out a read, and log lines
// are made in full but checked in memory instead of being appended to a file
// (an input logs every frame it sends, and opening and closing the file for
// each line cost ten times what the rest of the input did).
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "commands/dispatch.h"
#include "commands/session.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "finger/capture.h"
#include "image/canvas.h"
#include "link/connection.h"
#include "link/listener.h"
#include "pad/pen_input.h"
#include "pad/session.h"
#include "platform/platform.h"
#include "shell/log.h"

namespace {

// Eight receive buffers' worth, well inside what a socket pair buffers, so the
// whole input is written before the session starts; and few enough commands
// that an input runs in well under a second.
constexpr size_t kMaxInput = 8 * 1024;

// How long a read of the virtual pad waits at most.
constexpr int kLongestReadWaitUs = 20;

// Threads that run the pen-input thread's body and then wait for the next
// session's. Never destroyed: they outlive every input.
struct ParkedThreads {
    std::mutex mutex;
    std::condition_variable woken;
    void (*body)() = nullptr;  // handed over, not yet taken
    unsigned idle = 0;
};
ParkedThreads& Parked = *new ParkedThreads;

void ParkedThread(void (*body)()) {
    for (;;) {
        body();
        std::unique_lock<std::mutex> lock(Parked.mutex);
        ++Parked.idle;
        Parked.woken.wait(lock, [] { return Parked.body != nullptr; });
        body = Parked.body;
        Parked.body = nullptr;
    }
}

// A parked thread takes `body`; without one (the first session, or one that
// begins while the previous thread is still on its way back), a new thread
// joins them.
bool StartOnParkedThread(void (*body)()) {
    {
        std::lock_guard<std::mutex> lock(Parked.mutex);
        if (Parked.idle > 0 && Parked.body == nullptr) {
            --Parked.idle;
            Parked.body = body;
            Parked.woken.notify_one();
            return true;
        }
    }
    try {
        std::thread(ParkedThread, body).detach();
        return true;
    } catch (...) {
        return false;
    }
}

// Every log line ends in CR LF and stores each line feed inside it as CR LF,
// whatever bytes a page sent: a line that breaks this would split or join
// lines for whoever reads the log.
void CheckLogLine(const std::string& line) {
    if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) abort();
    for (size_t at = line.find('\n'); at != std::string::npos; at = line.find('\n', at + 1))
        if (at == 0 || line[at - 1] != '\r') abort();
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (access(platform::kFingerLibraryPath, F_OK) == 0) {
        fprintf(stderr, "run this from a folder without %s\n", platform::kFingerLibraryPath);
        exit(2);
    }
    SetLogSinkForTests(CheckLogLine);
    SetPenThreadStarterForTests(StartOnParkedThread);
    vpad::SetLongestReadWait(kLongestReadWaitUs);
    CreateCanvas();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) size = kMaxInput;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) abort();
    if (!WriteAll(pair[0], data, size)) abort();
    close(pair[0]);
    // Inputs of even length speak for a trusted page, the others for a site
    // nobody allowed, whose every command is refused (no desktop here to ask).
    auto connection = std::make_shared<Connection>(pair[1]);
    platform::PeerIdentity peer;
    peer.address = "127.0.0.1";
    peer.loopback = true;
    peer.owner = platform::PeerOwner::ThisUser;
    JudgeConnection(*connection, peer,
                    size % 2 == 0 ? "GET / HTTP/1.1\r\nOrigin: http://127.0.0.1:10002\r\n\r\n"
                                  : "GET / HTTP/1.1\r\nOrigin: https://fuzz.example\r\n\r\n");
    if (connection->trusted.load() != (size % 2 == 0)) abort();
    ClientSession(connection);

    ResetPadForTests();
    ResetFingerCaptureForTests();
    ResetCommandsForTests();
    const vpad::Usage usage = vpad::GetUsage();
    if (usage.openHandles != 0 || usage.readersNow != 0) abort();
    vpad::Reset();
    return 0;
}
