// A page that stops reading holds up nobody: what is sent to it waits in its
// connection's queue, the commands and the other pages go on, memory stays
// bounded, and the connection is closed and logged once it accepts nothing
// for the stall limit or its queue outgrows the bound. Frames to one
// connection keep their order and never interleave.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "devices/virtual_pad/virtual_pad.h"
#include "link/connection.h"
#include "link/frame.h"
#include "link/listener.h"
#include "tests/link/link_test_util.h"
#include "tests/support/harness.h"
#include "tests/support/log_reader.h"
#include "tests/support/raw_client.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kError = u8"{\"typeName\":\"TavoError\",\"message\":\"开始签字失败\"}";
const std::string kStartSign = ClientFrame(1, R"({"typeName":"TavoStartSign"})");

size_t LoggedTimes(const std::string& line) {
    return Occurrences(ReadTodaysLog(OwnLogFolder()), line);
}

class Stall : public UnpluggedPadLink {
  protected:
    // The stalled page, which becomes the ActiveClient.
    void ConnectStalledPage() {
        stalledPage_ = std::make_unique<StalledPage>(port_);
        ASSERT_TRUE(stalledPage_->Handshaken());
        stalled_ = ActiveClient();
        ASSERT_TRUE(stalled_);
        // The system would let the service's end hold megabytes for the page;
        // a small send buffer makes what is sent pile up in the queue sooner.
        int size = 65536;
        ASSERT_EQ(setsockopt(stalled_->socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
    }

    // A flooding page, then the stalled page, which is the ActiveClient: the
    // flooder's commands answer to it.
    void ConnectFlooderAndStalledPage() {
        flooder_ = std::make_unique<RawWsClient>(port_);
        ASSERT_NE(flooder_->Handshake().find(" 101 "), std::string::npos);
        ConnectStalledPage();
    }

    // Sends `count` start commands from the flooder in one write.
    void Flood(int count) {
        std::string frames;
        frames.reserve(kStartSign.size() * static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) frames += kStartSign;
        ASSERT_TRUE(flooder_->SendBytes(frames));
    }

    // Ends the flooder with a close frame. Its commands run in order, so once
    // the service closes it, every command sent before has been dispatched.
    void EndFlood() {
        ASSERT_TRUE(flooder_->SendBytes(ClientFrame(8, std::string("\x03\xe8", 2))));
        ASSERT_TRUE(flooder_->WaitClosed(300000));
    }

    std::unique_ptr<RawWsClient> flooder_;
    std::unique_ptr<StalledPage> stalledPage_;
    ConnectionPtr stalled_;
};

TEST_F(Stall, AStalledPageHoldsUpNoOtherPage) {
    // Long enough that the stalled page stays open throughout, however slow
    // the build.
    SetSendLimitsForTests(600000, size_t{16} << 20);
    ConnectFlooderAndStalledPage();
    // Commands until the stalled page's socket is full and many answers wait.
    Flood(10000);
    EndFlood();
    ASSERT_GT(stalled_->QueuedBytes(), 5000 * TextFrame(kError).size());

    // A new page is answered at once, not after the stall limit.
    RawWsClient page(port_);
    const auto start = Clock::now();
    ASSERT_NE(page.Handshake().find(" 101 "), std::string::npos);
    ASSERT_TRUE(page.SendBytes(kStartSign));
    const auto reply = page.ReceiveFrame(10000);
    const auto took = Clock::now() - start;
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, kError);
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_FALSE(page.ReceiveFrame(200));

    // The stalled page was never given up: its answers still wait.
    EXPECT_FALSE(stalled_->closed.load());
    EXPECT_GT(stalled_->QueuedBytes(), 0u);
}

TEST_F(Stall, SixtyThousandAnswersToAStalledPageKeepMemoryBounded) {
    SetSendLimitsForTests(600000, size_t{16} << 20);
    ConnectFlooderAndStalledPage();
    for (int i = 0; i < 6; ++i) Flood(10000);
    EndFlood();
    // The answers are queued (the socket takes a small part of them), the
    // connection is still open, and the process stays small.
    const size_t frameSize = TextFrame(kError).size();
    EXPECT_FALSE(stalled_->closed.load());
    EXPECT_GT(stalled_->QueuedBytes(), 50000 * frameSize);
    EXPECT_LE(stalled_->QueuedBytes(), 60000 * frameSize);
    const size_t memory = MemoryInUse();
    EXPECT_LT(memory, size_t{64} << 20);
    printf("memory in use %zu KiB with %zu bytes queued\n", memory >> 10, stalled_->QueuedBytes());
}

TEST_F(Stall, ManySendersToOneConnectionKeepOrderAndWholeFrames) {
    // Room for everything the senders may queue before the page reads it.
    SetSendLimitsForTests(15000, size_t{1} << 30);
    RawWsClient client(port_);
    ASSERT_NE(client.Handshake().find(" 101 "), std::string::npos);
    ConnectionPtr connection = ActiveClient();
    ASSERT_TRUE(connection);
    constexpr int kThreads = 8, kEach = 300;
    // Sizes of every length class, some large enough to take many writes.
    auto text = [](int thread, int i) {
        const size_t fill = static_cast<size_t>(i * 7919 % 90000);
        return std::to_string(thread) + ":" + std::to_string(i) + ":" +
               std::string(fill, static_cast<char>('a' + (thread + i) % 26));
    };
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) SendFrame(*connection, text(t, i));
        });
    int next[kThreads] = {};
    for (int n = 0; n < kThreads * kEach; ++n) {
        auto frame = client.ReceiveFrame();
        ASSERT_TRUE(frame) << n;
        ASSERT_EQ(frame->first, 0x81);
        const int t = std::stoi(frame->payload);
        ASSERT_TRUE(t >= 0 && t < kThreads) << frame->payload.substr(0, 20);
        ASSERT_EQ(frame->payload, text(t, next[t])) << n;
        ++next[t];
    }
    for (auto& s : senders) s.join();
    for (int count : next) EXPECT_EQ(count, kEach);
    EXPECT_FALSE(client.ReceiveFrame(200));
}

TEST_F(Stall, APageThatAcceptsNothingForTheStallLimitIsClosedAndLogged) {
    const std::string line = "page connection closed: it accepted no data for 1000 ms";
    const size_t before = LoggedTimes(line);
    SetSendLimitsForTests(1000, size_t{16} << 20);
    ConnectStalledPage();
    ConnectionPtr connection = stalled_;
    const std::string big(128 << 10, 'x');
    const auto start = Clock::now();
    for (int i = 0; i < 8; ++i) SendTextMessage(big);
    // Sending only queues: it does not wait for the stall limit.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    ASSERT_TRUE(WaitFor([&] { return connection->closed.load(); }, 20000));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_TRUE(WaitFor([&] { return LoggedTimes(line) == before + 1; }, 5000));
    // Its queue is freed (by the writer, which marks the connection closed
    // and logs it first, so on a busy machine the test may look sooner); with
    // no other page open it stays the ActiveClient, and what is sent now is
    // dropped.
    EXPECT_TRUE(WaitFor([&] { return connection->QueuedBytes() == 0; }, 5000))
        << connection->QueuedBytes() << " bytes still queued";
    EXPECT_EQ(ActiveClient(), connection);
    SendTextMessage(big);
    EXPECT_EQ(connection->QueuedBytes(), 0u);
}

TEST_F(Stall, APageThatReadsSlowlyIsNotClosed) {
    // Well above the pauses of a loopback connection whose reader lags (the
    // peer's window opens in steps), well below the time the sending takes.
    SetSendLimitsForTests(2000, size_t{16} << 20);
    RawWsClient client(port_);
    ASSERT_NE(client.Handshake().find(" 101 "), std::string::npos);
    ConnectionPtr connection = ActiveClient();
    ASSERT_TRUE(connection);
    // A waiting send wakes each time a good part of the send buffer is free
    // again; with a small buffer that is often, whatever the system's sizes.
    int size = 65536;
    ASSERT_EQ(setsockopt(connection->socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
    // More than the sockets can hold, read a little at a time: sending takes
    // far longer than the stall limit, but the page never stops taking bytes.
    constexpr int kFrames = 12;
    const auto start = Clock::now();
    std::thread sender([] {
        for (int i = 0; i < kFrames; ++i) SendTextMessage(std::string(1 << 20, 'a' + i));
    });
    std::string received;
    char chunk[32768];
    const auto deadline = start + std::chrono::seconds(60);
    const size_t total = kFrames * TextFrame(std::string(1 << 20, 'a')).size();
    while (received.size() < total && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const long n = platform::Receive(client.Socket(), chunk, sizeof chunk);
        if (n <= 0) break;
        received.append(chunk, static_cast<size_t>(n));
    }
    sender.join();
    EXPECT_GT(Clock::now() - start, std::chrono::milliseconds(2500));
    ASSERT_EQ(received.size(), total);
    for (int i = 0; i < kFrames; ++i) {
        const std::string frame = TextFrame(std::string(1 << 20, 'a' + i));
        ASSERT_EQ(received.compare(i * frame.size(), frame.size(), frame), 0) << i;
    }
    EXPECT_FALSE(connection->closed.load());
}

TEST_F(Stall, AnOverfullQueueClosesTheConnectionAndFreesIt) {
    const std::string line = "page connection closed: more than 1048576 bytes waited to be sent";
    const size_t before = LoggedTimes(line);
    SetSendLimitsForTests(600000, size_t{1} << 20);
    ConnectStalledPage();
    ConnectionPtr connection = stalled_;
    const std::string part(64 << 10, 'y');
    // The sockets take a few of these; the rest pile up past the bound.
    for (int i = 0; i < 400 && !connection->closed.load(); ++i) {
        SendTextMessage(part);
        EXPECT_LE(connection->QueuedBytes(), size_t{1} << 20);
        if (i % 16 == 15) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(connection->closed.load());
    EXPECT_EQ(connection->QueuedBytes(), 0u);
    EXPECT_EQ(LoggedTimes(line), before + 1);
    // The peer sees the end of the connection, after what the sockets held.
    std::vector<char> chunk(1 << 16);
    long n = 1;
    platform::SetReceiveTimeout(stalledPage_->Socket(), 10000);
    for (size_t total = 0; n > 0 && total < (size_t{64} << 20); total += static_cast<size_t>(n))
        n = platform::Receive(stalledPage_->Socket(), chunk.data(), chunk.size());
    EXPECT_LE(n, 0);
}

}  // namespace
