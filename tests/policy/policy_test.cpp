// The socket-policy responder on a loopback port: what each kind of request
// gets back, and that silent or idle connections neither hold up answers nor
// keep descriptors.
#include "link/policy.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

// The wire bytes a policy request must get: the 89-character policy and its NUL.
const std::string kExpectedAnswer(
    "<cross-domain-policy> <allow-access-from domain=\"*\" to-ports=\"*\"/></cross-domain-policy> "
    "\0",
    90);

// One responder per test process, on an ephemeral loopback port, running for
// the life of the process as the service's does.
uint16_t ResponderPort() {
    static uint16_t port = [] {
        platform::Socket listener = platform::Listen("127.0.0.1", 0, 255);
        if (listener == platform::kInvalidSocket) return uint16_t{0};
        std::thread([listener] { ServePolicyConnections(listener); }).detach();
        return platform::LocalPort(listener);
    }();
    return port;
}

// A plain client socket, independent of the service's socket helpers.
int ConnectClient() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(ResponderPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    timeval limit{15, 0};  // only a guard against a hang; never reached when all is well
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

bool SendBytes(int fd, const std::string& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

struct Reply {
    std::string bytes;
    bool closedByResponder = false;  // the stream ended (EOF or reset) rather than timing out
};

// Everything the responder sends until it ends the connection.
Reply ReadUntilClosed(int fd) {
    Reply reply;
    char buffer[512];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            reply.bytes.append(buffer, static_cast<size_t>(n));
            continue;
        }
        reply.closedByResponder = n == 0 || errno == ECONNRESET;
        return reply;
    }
}

Reply Exchange(const std::string& request) {
    int fd = ConnectClient();
    EXPECT_GE(fd, 0);
    if (fd < 0) return {};
    EXPECT_TRUE(SendBytes(fd, request));
    Reply reply = ReadUntilClosed(fd);
    close(fd);
    return reply;
}

size_t OpenDescriptors() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

class PolicyResponder : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(ResponderPort(), 0); }
};

TEST_F(PolicyResponder, AnswersTheRequestTagWithThePolicyAndItsNul) {
    ASSERT_EQ(kExpectedAnswer.size(), PolicyAnswerSize);
    EXPECT_EQ(std::string(PolicyText, PolicyAnswerSize), kExpectedAnswer);

    Reply reply = Exchange(std::string("<policy-file-request/>\0", 23));
    EXPECT_EQ(reply.bytes, kExpectedAnswer);
    EXPECT_TRUE(reply.closedByResponder);

    // The tag anywhere in the request text counts, also without a NUL after it.
    EXPECT_EQ(Exchange("GET /crossdomain <policy-file-request/> trailing").bytes, kExpectedAnswer);
    EXPECT_EQ(Exchange(std::string(1000, 'x') + "<policy-file-request/>").bytes, kExpectedAnswer);
}

TEST_F(PolicyResponder, AnswersEachConnectionOnceHoweverManyRequests) {
    std::string request("<policy-file-request/>\0", 23);
    Reply reply = Exchange(request + request + request);
    EXPECT_EQ(reply.bytes, kExpectedAnswer);
    EXPECT_TRUE(reply.closedByResponder);
}

TEST_F(PolicyResponder, SendsNothingForAnythingButTheExactTag) {
    const std::vector<std::string> requests = {
        "<POLICY-FILE-REQUEST/>",
        "<Policy-File-Request/>",
        "<policy-file-request />",
        "<policy-file-request>",
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
        // The request text ends at its first NUL.
        std::string("abc\0<policy-file-request/>", 26),
        std::string("\0<policy-file-request/>", 23),
        // Beyond the 1024 bytes of the one receive.
        std::string(1024, 'x') + "<policy-file-request/>",
    };
    for (const std::string& request : requests) {
        Reply reply = Exchange(request);
        EXPECT_EQ(reply.bytes, "") << "request: " << request.substr(0, 40);
        EXPECT_TRUE(reply.closedByResponder);
    }
}

TEST_F(PolicyResponder, SendsNothingForATagSplitAcrossReceives) {
    int fd = ConnectClient();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendBytes(fd, "<policy-file-"));
    // The responder ends the connection after its one receive, which held only
    // the first part; the rest of the tag can no longer make it answer.
    Reply reply = ReadUntilClosed(fd);
    SendBytes(fd, std::string("request/>\0", 10));
    reply.bytes += ReadUntilClosed(fd).bytes;
    close(fd);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_TRUE(reply.closedByResponder);
}

TEST_F(PolicyResponder, SilentConnectionDoesNotHoldUpTheNext) {
    int silent = ConnectClient();
    ASSERT_GE(silent, 0);
    EXPECT_EQ(Exchange(std::string("<policy-file-request/>\0", 23)).bytes, kExpectedAnswer);
    // The answer came while the silent connection was still open, that is,
    // without waiting for it to be given up.
    char byte;
    EXPECT_EQ(recv(silent, &byte, 1, MSG_DONTWAIT), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    close(silent);
}

TEST_F(PolicyResponder, ClosesASilentConnectionByItself) {
    int silent = ConnectClient();
    ASSERT_GE(silent, 0);
    Reply reply = ReadUntilClosed(silent);
    close(silent);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_TRUE(reply.closedByResponder);
}

TEST_F(PolicyResponder, KeepsAnsweringUnderAThousandIdleConnections) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 2048 && limit.rlim_max >= 2048) {
        limit.rlim_cur = 2048;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    ASSERT_GE(limit.rlim_cur, 1400u) << "too few descriptors for a thousand connections";

    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i) {
        int fd = ConnectClient();
        ASSERT_GE(fd, 0) << "connection " << i;
        idle.push_back(fd);
    }
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(Exchange(std::string("<policy-file-request/>\0", 23)).bytes, kExpectedAnswer);
    }
    // The responder keeps only a bounded number of them.
    EXPECT_LT(OpenDescriptors(), 1000u + 600u);
    for (int fd : idle) close(fd);
}

TEST_F(PolicyResponder, DescriptorsStayFlatOverManyConnections) {
    const size_t baseline = OpenDescriptors();
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(Exchange(std::string("<policy-file-request/>\0", 23)).bytes, kExpectedAnswer);
        ASSERT_EQ(Exchange("<other/>").bytes, "");
        int hangUp = ConnectClient();  // connects and leaves without a word
        ASSERT_GE(hangUp, 0);
        close(hangUp);
    }
    // Every connection the responder accepted is closed once it is done with
    // it; the last ones may still be on their way.
    size_t now = OpenDescriptors();
    for (int wait = 0; wait < 200 && now > baseline; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        now = OpenDescriptors();
    }
    EXPECT_LE(now, baseline);
}

}  // namespace
