// Figures of the connections, printed one per line:
//  - a page's command-to-reply time (median, 99th percentile, the first one)
//    while another page has stopped reading and what is sent to it waits
//    (goal: under 100 ms);
//  - the threads, resident and virtual memory of the process with 2,000 idle
//    page connections open, and how long opening them took.
// The link runs in this process; the pages are socket-level clients.
// Usage: bench_connections [commands] [idle connections]
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devices/virtual_pad/virtual_pad.h"
#include "link/listener.h"
#include "tests/link/link_test_util.h"
#include "tests/support/harness.h"
#include "tests/support/raw_client.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

const std::string kStartSign =
    ClientFrame(1, R"({"typeName":"TavoStartSign","message":{"penwidth":"3"}})");

void RepliesWhileAnotherPageStalls(uint16_t port, int count) {
    vpad::SetPlugged(false);
    // The flooder's commands answer to the stalled page, the ActiveClient,
    // until its sockets are full and the answers wait.
    RawWsClient flooder(port);
    flooder.Handshake();
    StalledPage stalled(port);
    if (!stalled.Handshaken()) {
        printf("the stalled page could not connect\n");
        return;
    }
    int size = 65536;
    setsockopt(ActiveClient()->socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    // Once the flooder's session reads the close frame after its commands,
    // every one of them has been dispatched.
    std::string frames;
    for (int i = 0; i < 5000; ++i) frames += kStartSign;
    frames += ClientFrame(8, std::string("\x03\xe8", 2));
    const auto floodStart = Clock::now();
    flooder.SendBytes(frames);
    const bool dispatched = flooder.WaitClosed(30000);
    printf("stalled_flood_dispatched %s after %.0f ms (5000 commands)\n", dispatched ? "yes" : "no",
           Milliseconds(Clock::now() - floodStart));

    RawWsClient page(port);
    page.Handshake();
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        page.SendBytes(kStartSign);
        if (!page.ReceiveFrame(60000)) {
            printf("no reply to command %d\n", i);
            return;
        }
        ms.push_back(Milliseconds(Clock::now() - start));
    }
    const double first = ms.front();
    std::sort(ms.begin(), ms.end());
    printf("stalled_command_reply_first_ms %.3f\n", first);
    printf("stalled_command_reply_median_ms %.3f\n", ms[ms.size() / 2]);
    printf("stalled_command_reply_p99_ms %.3f (%d commands; goal: under 100)\n",
           ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], count);
    if (page.ReceiveFrame(200)) printf("the page got more answers than it asked for\n");
}

void IdleConnections(uint16_t port, int count) {
    if (!RaiseDescriptorLimit(static_cast<rlim_t>(count) * 2 + 512)) {
        printf("idle connections: the descriptor limit cannot be raised\n");
        return;
    }
    const size_t threadsBefore = ProcessThreads();
    const size_t residentBefore = ResidentBytes();
    std::vector<std::unique_ptr<RawWsClient>> idle;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        idle.push_back(std::make_unique<RawWsClient>(port));
        if (idle.back()->Handshake().find(" 101 ") == std::string::npos) {
            printf("handshake %d failed\n", i);
            return;
        }
    }
    const double took = Milliseconds(Clock::now() - start);
    // Connections given up at the cap end their threads shortly after.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    printf("idle_connections %d opened in %.0f ms\n", count, took);
    printf("idle_threads %zu (%zu before; goal: at most 300)\n", ProcessThreads(), threadsBefore);
    printf("idle_resident_mib %.1f (%.1f before)\n", ResidentBytes() / 1048576.0,
           residentBefore / 1048576.0);
    printf("idle_virtual_mib %.0f\n", ProcessStatusBytes("VmSize:") / 1048576.0);
}

}  // namespace

int main(int argc, char** argv) {
    const int commands = argc > 1 ? atoi(argv[1]) : 2000;
    const int idle = argc > 2 ? atoi(argv[2]) : 2000;
    const uint16_t port = StartTestLink();
    if (port == 0) {
        printf("could not open a loopback listener\n");
        return 1;
    }
    RepliesWhileAnotherPageStalls(port, commands);
    IdleConnections(port, idle);
    return 0;
}
