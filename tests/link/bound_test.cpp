// Connections are bounded: at most 256 page connections stay open (one more
// closes the one idle longest that is not the ActiveClient), at most 16 wait
// for their request (one more gives up the oldest), so thousands of idle
// connections cost a bounded number of threads, the newest page always gets
// in, and everything returns to its idle count once they close.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devices/virtual_pad/virtual_pad.h"
#include "link/listener.h"
#include "tests/link/link_test_util.h"
#include "tests/link/signing_link.h"
#include "tests/support/harness.h"
#include "tests/support/log_reader.h"
#include "tests/support/raw_client.h"

namespace {

constexpr int kCap = 256;
const std::string kEvicted =
    "page connection closed: 256 connections were open and it had been idle longest";

std::unique_ptr<RawWsClient> Handshaken(uint16_t port) {
    auto client = std::make_unique<RawWsClient>(port);
    EXPECT_NE(client->Handshake().find(" 101 "), std::string::npos);
    return client;
}

class Bound : public SigningLink {
  protected:
    void SetUp() override {
        ASSERT_TRUE(RaiseDescriptorLimit(8192));
        SigningLink::SetUp();
    }
};

// The signature of a real page: a stroke and OK give the PNG, then TavoOK.
void SignEndToEnd(uint16_t port) {
    WsPeer page(port);
    ASSERT_TRUE(page.Connected());
    ASSERT_TRUE(page.Send(R"({"typeName":"TavoStartSign","message":{"penwidth":"5"}})"));
    ASSERT_TRUE(SignOnThePad());
    const auto image = page.Receive(20000);
    ExpectSignatureAndOk(image, page.Receive(20000));
    page.Close();
}

TEST_F(Bound, TwoThousandIdleConnectionsCostBoundedThreadsAndTheNextPageStillSigns) {
    {
        auto warm = Handshaken(port_);  // the first ActiveClient
    }
    // Its session ends once its peer went; then only the ActiveClient and
    // this test hold it.
    {
        const ConnectionPtr warm = ActiveClient();
        ASSERT_TRUE(WaitFor([&] { return warm.use_count() <= 2; }, 5000));
    }
    const size_t idleDescriptors = OpenDescriptors();
    const size_t idleThreads = ProcessThreads();

    std::vector<std::unique_ptr<RawWsClient>> idle;
    size_t peak = 0;
    for (int i = 0; i < 2000; ++i) {
        idle.push_back(Handshaken(port_));
        ASSERT_TRUE(idle.back()->Connected()) << i;
        if (i % 50 == 0) peak = std::max(peak, ProcessThreads());
    }
    EXPECT_TRUE(WaitFor([] { return ProcessThreads() <= 300; }, 10000)) << ProcessThreads();
    printf("threads: %zu idle, %zu peak sampled, %zu with 2000 idle connections\n", idleThreads,
           peak, ProcessThreads());
    // The oldest were given up, the newest are open.
    EXPECT_TRUE(idle.front()->WaitClosed(5000));
    EXPECT_FALSE(idle.back()->WaitClosed(100));

    SignEndToEnd(port_);

    idle.clear();
    // Sessions end on their own threads, shortly after their peers went; the
    // last ActiveClient stays open, as the warm-up connection did.
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() <= idleDescriptors; }, 10000))
        << OpenDescriptors() << " descriptors, " << idleDescriptors << " when idle";
    EXPECT_TRUE(WaitFor([&] { return ProcessThreads() <= idleThreads; }, 10000))
        << ProcessThreads() << " threads, " << idleThreads << " when idle";
}

TEST_F(Bound, AtTheCapTheConnectionIdleLongestThatIsNotActiveIsClosed) {
    const std::string log = OwnLogFolder();
    const size_t evictedBefore = Occurrences(ReadTodaysLog(log), kEvicted);
    std::vector<std::unique_ptr<RawWsClient>> pages;
    for (int i = 0; i < kCap; ++i) pages.push_back(Handshaken(port_));
    // Every page but the newest (the ActiveClient) speaks, oldest first, with
    // a command that does nothing; the ActiveClient is now idle longest.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string run =
        std::to_string(getpid()) + "-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int i = 0; i < kCap - 1; ++i) {
        const std::string marker = "touch-" + run + "-" + std::to_string(i) + "\"";
        ASSERT_TRUE(pages[static_cast<size_t>(i)]->SendBytes(
            ClientFrame(1, "{\"typeName\":\"Nothing\",\"marker\":\"" + marker + "}")));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Each page's command is logged once it was received.
    ASSERT_TRUE(WaitFor(
        [&] { return Occurrences(ReadTodaysLog(log), "touch-" + run + "-") == kCap - 1; }, 20000));

    // One more: the ActiveClient is kept, the first page goes.
    auto next = Handshaken(port_);
    EXPECT_TRUE(pages[0]->WaitClosed(5000));
    EXPECT_FALSE(pages[kCap - 1]->WaitClosed(200));
    EXPECT_FALSE(pages[1]->WaitClosed(10));
    // One more again: the former ActiveClient is now idle longest.
    auto last = Handshaken(port_);
    EXPECT_TRUE(pages[kCap - 1]->WaitClosed(5000));
    EXPECT_FALSE(pages[1]->WaitClosed(200));
    EXPECT_FALSE(next->WaitClosed(10));
    EXPECT_TRUE(WaitFor(
        [&] { return Occurrences(ReadTodaysLog(log), kEvicted) == evictedBefore + 2; }, 5000));
}

TEST_F(Bound, AConnectionClosedAtTheCapNeverTakesTheDeviceMessages) {
    vpad::SetPlugged(false);  // every start command answers TavoError
    const std::string startSign = ClientFrame(1, R"({"typeName":"TavoStartSign"})");
    std::vector<std::unique_ptr<RawWsClient>> pages;
    for (int i = 0; i < kCap; ++i) pages.push_back(Handshaken(port_));
    // Every page but the second speaks, so the second is idle longest. Each
    // answer goes to the newest page, once the command was received.
    for (size_t i = 0; i < pages.size(); ++i) {
        if (i == 1) continue;
        ASSERT_TRUE(pages[i]->SendBytes(startSign));
        ASSERT_TRUE(pages.back()->ReceiveFrame(5000)) << i;
    }
    // One more closes the second page.
    pages.push_back(Handshaken(port_));
    ASSERT_TRUE(pages[1]->WaitClosed(5000));
    // Every page newer than the second goes, newest first: the newest open
    // one is then the first, older than the closed second.
    for (size_t i = pages.size() - 1; i >= 2; --i) {
        ASSERT_TRUE(pages[i]->SendBytes(ClientFrame(8, std::string("\x03\xe8", 2))));
        ASSERT_TRUE(pages[i]->WaitClosed(5000)) << i;
    }
    ASSERT_TRUE(pages[0]->SendBytes(startSign));
    const auto reply = pages[0]->ReceiveFrame(5000);
    ASSERT_TRUE(reply) << "the first page, the only one open, got nothing";
    EXPECT_EQ(reply->payload.rfind("{\"typeName\":\"TavoError\"", 0), 0u);
}

TEST_F(Bound, ACrowdOfSilentConnectionsKeepsNoPageOut) {
    std::vector<std::unique_ptr<RawWsClient>> silent;
    for (int i = 0; i < 40; ++i) {
        silent.push_back(std::make_unique<RawWsClient>(port_));
        ASSERT_TRUE(silent.back()->Connected());
    }
    // Only the newest 16 wait for their request; the oldest are given up at
    // once, not after the handshake time limit.
    EXPECT_TRUE(silent.front()->WaitClosed(2000));
    const auto start = std::chrono::steady_clock::now();
    auto page = Handshaken(port_);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    vpad::SetPlugged(false);
    ASSERT_TRUE(page->SendBytes(ClientFrame(1, R"({"typeName":"TavoStartSign"})")));
    const auto reply = page->ReceiveFrame(5000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload.rfind("{\"typeName\":\"TavoError\"", 0), 0u);
}

}  // namespace

namespace {

// Strangers crowding the cap push out strangers, never a trusted page: a
// site nobody allowed opens connection after connection while the clerk's
// two pages sit idle.
TEST_F(Bound, AtTheCapStrangersGoBeforeAnyTrustedPage) {
    const std::string request =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Origin: https://evil.example\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\n\r\n";
    auto idleClerk = Handshaken(port_);
    auto activeClerk = Handshaken(port_);
    std::vector<std::unique_ptr<RawWsClient>> strangers;
    for (int i = 0; i < kCap + 40; ++i) {
        strangers.push_back(std::make_unique<RawWsClient>(port_));
        ASSERT_NE(strangers.back()->Handshake(request).find(" 101 "), std::string::npos) << i;
    }
    // The oldest strangers went; both of the clerk's pages are open, and the
    // newer one still takes the device messages.
    EXPECT_TRUE(strangers.front()->WaitClosed(5000));
    EXPECT_FALSE(idleClerk->WaitClosed(200));
    EXPECT_FALSE(activeClerk->WaitClosed(10));
    vpad::SetPlugged(false);
    ASSERT_TRUE(idleClerk->SendBytes(ClientFrame(1, R"({"typeName":"TavoStartSign"})")));
    const auto answer = activeClerk->ReceiveFrame(5000);
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->payload.find("TavoError"), std::string::npos);
}

}  // namespace
