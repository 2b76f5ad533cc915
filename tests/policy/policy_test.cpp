// The socket-policy responder on a loopback port: what each kind of request
// gets back, and that silent or idle connections neither hold up answers nor
// keep descriptors.
#include "link/policy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/system.h"

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

using platform::Socket;

Socket ConnectClient() {
    Socket s = platform::Connect("127.0.0.1", ResponderPort());
    // Only a guard against a hang; never reached when all is well.
    if (s != platform::kInvalidSocket) platform::SetReceiveTimeout(s, 15000);
    return s;
}

bool SendBytes(Socket s, const std::string& bytes) {
    return platform::Send(s, bytes.data(), bytes.size()) == static_cast<long>(bytes.size());
}

struct Reply {
    std::string bytes;
    bool closedByResponder = false;  // the stream ended (EOF or reset) rather than timing out
};

// Everything the responder sends until it ends the connection.
Reply ReadUntilClosed(Socket s) {
    Reply reply;
    char buffer[512];
    for (;;) {
        const long n = platform::Receive(s, buffer, sizeof buffer);
        if (n > 0) {
            reply.bytes.append(buffer, static_cast<size_t>(n));
            continue;
        }
        reply.closedByResponder = n == 0 || testsys::ConnectionWasReset();
        return reply;
    }
}

Reply Exchange(const std::string& request) {
    Socket s = ConnectClient();
    EXPECT_NE(s, platform::kInvalidSocket);
    if (s == platform::kInvalidSocket) return {};
    EXPECT_TRUE(SendBytes(s, request));
    Reply reply = ReadUntilClosed(s);
    platform::CloseSocket(s);
    return reply;
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
    Socket fd = ConnectClient();
    ASSERT_NE(fd, platform::kInvalidSocket);
    ASSERT_TRUE(SendBytes(fd, "<policy-file-"));
    // The responder ends the connection after its one receive, which held only
    // the first part; the rest of the tag can no longer make it answer.
    Reply reply = ReadUntilClosed(fd);
    SendBytes(fd, std::string("request/>\0", 10));
    reply.bytes += ReadUntilClosed(fd).bytes;
    platform::CloseSocket(fd);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_TRUE(reply.closedByResponder);
}

TEST_F(PolicyResponder, SilentConnectionDoesNotHoldUpTheNext) {
    Socket silent = ConnectClient();
    ASSERT_NE(silent, platform::kInvalidSocket);
    EXPECT_EQ(Exchange(std::string("<policy-file-request/>\0", 23)).bytes, kExpectedAnswer);
    // The answer came while the silent connection was still open, that is,
    // without waiting for it to be given up: neither bytes nor its end yet.
    bool readable = true;
    EXPECT_EQ(platform::WaitReadable(&silent, &readable, 1, 0), 0);
    EXPECT_FALSE(readable);
    platform::CloseSocket(silent);
}

TEST_F(PolicyResponder, ClosesASilentConnectionByItself) {
    Socket silent = ConnectClient();
    ASSERT_NE(silent, platform::kInvalidSocket);
    Reply reply = ReadUntilClosed(silent);
    platform::CloseSocket(silent);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_TRUE(reply.closedByResponder);
}

TEST_F(PolicyResponder, KeepsAnsweringUnderAThousandIdleConnections) {
    ASSERT_TRUE(testsys::AllowOpenHandles(2048))
        << "too few descriptors for a thousand connections";

    std::vector<Socket> idle;
    for (int i = 0; i < 1000; ++i) {
        Socket s = ConnectClient();
        ASSERT_NE(s, platform::kInvalidSocket) << "connection " << i;
        idle.push_back(s);
    }
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(Exchange(std::string("<policy-file-request/>\0", 23)).bytes, kExpectedAnswer);
    }
    // The responder keeps only a bounded number of them.
    EXPECT_LT(testsys::OpenHandles(), 1000u + 600u);
    for (Socket s : idle) platform::CloseSocket(s);
}

TEST_F(PolicyResponder, DescriptorsStayFlatOverManyConnections) {
    // One of each first: what the system makes once, on first use, for the
    // sockets of a process (Winsock's own handles) is not counted.
    ASSERT_EQ(Exchange(std::string("<policy-file-request/>\0", 23)).bytes, kExpectedAnswer);
    ASSERT_EQ(Exchange("<other/>").bytes, "");
    const size_t baseline = testsys::OpenHandles();
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(Exchange(std::string("<policy-file-request/>\0", 23)).bytes, kExpectedAnswer);
        ASSERT_EQ(Exchange("<other/>").bytes, "");
        Socket hangUp = ConnectClient();  // connects and leaves without a word
        ASSERT_NE(hangUp, platform::kInvalidSocket);
        platform::CloseSocket(hangUp);
    }
    // Every connection the responder accepted is closed once it is done with
    // it; the last ones may still be on their way.
    size_t now = testsys::OpenHandles();
    for (int wait = 0; wait < 200 && now > baseline; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        now = testsys::OpenHandles();
    }
    EXPECT_LE(now, baseline);
}

}  // namespace
