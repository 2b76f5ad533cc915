// Figures of the service spine, printed one per line:
//  - handshakes per second over loopback, one connection after another: a
//    program's (no Origin), a page of this computer's, a site's in IT's list
//    of five, and a site's nobody allowed (each judged: whose socket, the
//    lists read afresh);
//  - the time from a command frame sent to its reply received (median, 99th
//    percentile), for "TavoStartSign" without a pad, which answers TavoError;
//  - the CPU time the idle service executable uses over 10 seconds.
// Usage: bench_spine [handshakes] [commands] [idle seconds]
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/virtual_pad/virtual_pad.h"
#include "platform/platform.h"
#include "tests/support/harness.h"
#include "tests/support/raw_client.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// `origin` empty: a program's request, without an Origin header.
void Handshakes(uint16_t port, int count, const std::string& origin, const char* label) {
    std::string request = HandshakeRequest();
    if (!origin.empty())
        request.insert(request.find("Sec-WebSocket-Key"), "Origin: " + origin + "\r\n");
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        RawWsClient client(port);
        if (client.Handshake(request).find(" 101 ") == std::string::npos) {
            printf("handshake %d failed\n", i);
            return;
        }
    }
    printf("handshakes_per_second%s %.0f (%d in a row)\n", label,
           count / Seconds(Clock::now() - start), count);
}

void CommandReplies(uint16_t port, int count) {
    vpad::SetPlugged(false);
    RawWsClient client(port);
    client.Handshake();
    const std::string frame =
        ClientFrame(1, R"({"typeName":"TavoStartSign","message":{"penwidth":"3"}})");
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        client.SendBytes(frame);
        if (!client.ReceiveFrame()) {
            printf("no reply to command %d\n", i);
            return;
        }
        micros.push_back(Seconds(Clock::now() - start) * 1e6);
    }
    std::sort(micros.begin(), micros.end());
    printf("command_reply_median_us %.0f\n", micros[micros.size() / 2]);
    printf("command_reply_p99_us %.0f (%d commands)\n", micros[micros.size() * 99 / 100], count);
}

// utime + stime of a process, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    // Fields after the command name: state is field 3; utime and stime are 14, 15.
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < stat.size()) {
        size_t end = stat.find(' ', at);
        if (end == std::string::npos) end = stat.size();
        fields.push_back(stat.substr(at, end - at));
        at = end + 1;
    }
    if (fields.size() < 13) return -1;
    return (std::stod(fields[11]) + std::stod(fields[12])) / sysconf(_SC_CLK_TCK);
}

void IdleCpu(int seconds) {
#ifdef PENMORA_SERVICE_EXE
    char pattern[] = "/tmp/penmora-bench-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    const std::string exe = folder + "/penmora";
    std::filesystem::copy_file(PENMORA_SERVICE_EXE, exe);
    std::string home = "HOME=" + folder;
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        if (strncmp(*e, "HOME=", 5) != 0 && strncmp(*e, "DISPLAY=", 8) != 0) env.push_back(*e);
    env.push_back(home.data());
    env.push_back(nullptr);
    char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, env.data()) != 0) {
        printf("idle_cpu_seconds: could not start the service\n");
        return;
    }
    // Start-up is not idle time.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
        printf("idle_cpu_seconds: the service ended (another instance runs?)\n");
    } else {
        const double before = CpuSeconds(pid);
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double after = CpuSeconds(pid);
        printf("idle_cpu_seconds %.3f over %d s (target: under 0.1)\n", after - before, seconds);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    std::filesystem::remove_all(folder);
#else
    (void)seconds;
    printf("idle_cpu_seconds: the service executable is not built\n");
#endif
}

}  // namespace

int main(int argc, char** argv) {
    const int handshakes = argc > 1 ? atoi(argv[1]) : 5000;
    const int commands = argc > 2 ? atoi(argv[2]) : 2000;
    const int idle = argc > 3 ? atoi(argv[3]) : 10;
    const uint16_t port = StartTestLink();
    if (port == 0) {
        printf("could not open a loopback listener\n");
        return 1;
    }
    // IT's list in a folder of the benchmark's own.
    const std::string lists = std::filesystem::temp_directory_path() /
                              ("penmora-bench-lists-" + std::to_string(getpid()));
    std::filesystem::create_directories(lists);
    std::ofstream(lists + "/allowed-origins")
        << "# sites\nhttps://a.example\nhttps://b.example\nhttps://c.example\n"
           "https://d.example\nhttps://shop.example\n";
    platform::SetTrustSettingsFolderForTests(lists);
    Handshakes(port, handshakes, "", "");
    Handshakes(port, handshakes, "http://127.0.0.1:10002", "_loopback_page");
    Handshakes(port, handshakes, "https://shop.example", "_listed_site");
    Handshakes(port, handshakes, "https://evil.example", "_unknown_site");
    std::filesystem::remove_all(lists);
    CommandReplies(port, commands);
    IdleCpu(idle);
    return 0;
}
