// The policy port under load: how long one request takes from connect to the
// end of the answer, alone and behind a thousand idle connections, and how
// many descriptors the responder holds meanwhile.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "link/policy.h"
#include "platform/platform.h"

namespace {

uint16_t ResponderPort() {
    static uint16_t port = [] {
        platform::Socket listener = platform::Listen("127.0.0.1", 0, 255);
        if (listener == platform::kInvalidSocket) return uint16_t{0};
        std::thread([listener] { ServePolicyConnections(listener); }).detach();
        return platform::LocalPort(listener);
    }();
    return port;
}

int Connect() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(ResponderPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One whole exchange; the count of answer bytes.
size_t AskOnce() {
    static const std::string request("<policy-file-request/>", 23);
    int fd = Connect();
    if (fd < 0) return 0;
    size_t received = 0;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buffer[256];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) received += size_t(n);
    }
    close(fd);
    return received;
}

double OpenDescriptors() {
    double count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

void BM_PolicyAnswer(benchmark::State& state) {
    if (ResponderPort() == 0) {
        state.SkipWithError("no loopback listener");
        return;
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 4096 && limit.rlim_max >= 4096) {
        limit.rlim_cur = 4096;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<int> idle;
    for (int64_t i = 0; i < state.range(0); ++i) {
        int fd = Connect();
        if (fd >= 0) idle.push_back(fd);
    }
    double before = OpenDescriptors();
    for (auto _ : state) {
        if (AskOnce() != PolicyAnswerSize) {
            state.SkipWithError("wrong answer");
            break;
        }
    }
    state.counters["idle_clients"] = double(idle.size());
    // Descriptors of the whole process: the idle clients' own ends, plus the
    // ends the responder still holds for them.
    state.counters["fds_held"] = before;
    state.SetItemsProcessed(state.iterations());
    for (int fd : idle) close(fd);
}
BENCHMARK(BM_PolicyAnswer)->Arg(0)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
