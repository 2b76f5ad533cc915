// The listener and its connections, served in the test process on a loopback
// port: handshakes good and bad, the ActiveClient, the close command, and
// descriptors that are neither leaked nor reused while a message could still
// reach them.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "devices/virtual_pad/virtual_pad.h"
#include "link/frame.h"
#include "link/listener.h"
#include "tests/link/unplugged_pad_link.h"
#include "tests/support/harness.h"
#include "tests/support/log_reader.h"
#include "tests/support/raw_client.h"
#include "tests/support/system.h"

namespace {

const std::string kError = u8"{\"typeName\":\"TavoError\",\"message\":\"开始签字失败\"}";

std::string Command(const std::string& name, const std::string& extra = "") {
    return "{\"typeName\":\"" + name + "\"" + extra + "}";
}

class Link : public UnpluggedPadLink {};

// A handshaken socket-level client.
std::unique_ptr<RawWsClient> Handshaken(uint16_t port) {
    auto client = std::make_unique<RawWsClient>(port);
    EXPECT_NE(client->Handshake().find("101 Switching Protocols"), std::string::npos);
    return client;
}

TEST_F(Link, RefusesRequestsWithoutTheKeyHeaderWithoutAReply) {
    const std::string requests[] = {
        "garbage\r\n\r\n",
        std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),
        "GET / HTTP/1.1\r\nsec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
        "GET / HTTP/1.1\r\nSEC-WEBSOCKET-KEY: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
        // The key header without the blank gives no accept value.
        "GET / HTTP/1.1\r\nSec-WebSocket-Key:dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
        // The header after a NUL byte is not part of the request text.
        std::string("GET / HTTP/1.1\r\n\0Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n", 63),
    };
    for (const std::string& request : requests) {
        RawWsClient client(port_);
        ASSERT_TRUE(client.Connected());
        ASSERT_TRUE(client.SendBytes(request));
        std::string received;
        EXPECT_TRUE(client.WaitClosed(10000, &received)) << request;
        EXPECT_EQ(received, "") << request;
    }
    // The listener serves on.
    WsPeer peer(port_);
    EXPECT_TRUE(peer.Connected());
}

TEST_F(Link, AnswersTheStandardRequestExactly) {
    RawWsClient client(port_);
    EXPECT_EQ(client.Handshake(),
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
              "Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
}

TEST_F(Link, ASilentConnectionHoldsUpNobody) {
    RawWsClient silent(port_);
    ASSERT_TRUE(silent.Connected());
    WsPeer peer(port_);
    EXPECT_TRUE(peer.Connected());
    ASSERT_TRUE(peer.Send(Command("TavoStartSign")));
    EXPECT_EQ(peer.Receive(), kError);
    // The silent connection is given up after a while, without a reply.
    std::string received;
    EXPECT_TRUE(silent.WaitClosed(20000, &received));
    EXPECT_EQ(received, "");
}

TEST_F(Link, DiscardsBytesAfterTheRequestInTheSameReceive) {
    RawWsClient client(port_);
    const std::string early = Command("TavoStartSign", ",\"early\":\"marker-early-7f3a\"");
    const std::string late = Command("TavoStartSign", ",\"late\":\"marker-late-7f3a\"");
    ASSERT_NE(client.Handshake(HandshakeRequest() + ClientFrame(1, early)).find(" 101 "),
              std::string::npos);
    ASSERT_TRUE(client.SendBytes(ClientFrame(1, late)));
    auto reply = client.ReceiveFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, kError);
    // The reply comes after the command was logged; the early frame never was.
    const std::string log = ReadTodaysLog(OwnLogFolder());
    EXPECT_NE(log.find("marker-late-7f3a"), std::string::npos);
    EXPECT_EQ(log.find("marker-early-7f3a"), std::string::npos);
}

TEST_F(Link, DeviceMessagesGoToTheNewestConnection) {
    WsPeer older(port_);
    WsPeer newer(port_);
    ASSERT_TRUE(older.Connected() && newer.Connected());
    // The older connection's commands still act, their answers go to the newer.
    ASSERT_TRUE(older.Send(Command("TavoStartSign")));
    EXPECT_EQ(newer.Receive(), kError);
    ASSERT_TRUE(newer.Send(Command("TavoStartSign")));
    EXPECT_EQ(newer.Receive(), kError);
    EXPECT_EQ(older.Receive(300), std::nullopt);
}

TEST_F(Link, CloseCommandEndsTheNewestConnectionAndItsNumberCarriesNothing) {
    WsPeer sender(port_);
    auto newest = Handshaken(port_);
    ASSERT_TRUE(sender.Connected());
    ASSERT_TRUE(sender.Send(Command("TavoCloseSocket")));
    std::string received;
    EXPECT_TRUE(newest->WaitClosed(10000, &received));
    EXPECT_EQ(received, "");
    newest->Close();

    // A connection made now, still in its handshake, may get any free number;
    // the device messages must not reach it. The sender's connection, the
    // newest still open, takes them.
    std::vector<std::unique_ptr<RawWsClient>> strangers;
    for (int i = 0; i < 4; ++i) strangers.push_back(std::make_unique<RawWsClient>(port_));
    ASSERT_TRUE(sender.Send(Command("TavoStartSign")));
    EXPECT_EQ(sender.Receive(), kError);
    for (auto& stranger : strangers) EXPECT_FALSE(stranger->ReceiveFrame(100));

    // A new handshake makes a new ActiveClient.
    WsPeer next(port_);
    ASSERT_TRUE(next.Connected());
    ASSERT_TRUE(sender.Send(Command("TavoStartSign")));
    EXPECT_EQ(next.Receive(), kError);
}

TEST_F(Link, AnEndedSessionClosesItsConnectionUnlessItIsActive) {
    auto closing = Handshaken(port_);
    auto tooLarge = Handshaken(port_);
    auto active = Handshaken(port_);
    ASSERT_TRUE(closing->SendBytes(ClientFrame(8, std::string("\x03\xe8", 2))));
    EXPECT_TRUE(closing->WaitClosed());
    // A frame that does not fit the receive buffer ends the session.
    ASSERT_TRUE(
        tooLarge->SendBytes(ClientFrame(1, std::string(2000, ' ') + Command("TavoStartSign"))));
    EXPECT_TRUE(tooLarge->WaitClosed());
    // The active connection serves on.
    ASSERT_TRUE(active->SendBytes(ClientFrame(1, Command("TavoStartSign"))));
    auto reply = active->ReceiveFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, kError);
}

TEST_F(Link, AnActiveConnectionWhoseSessionEndedStaysOpenForDeviceMessages) {
    auto active = Handshaken(port_);
    ConnectionPtr connection = ActiveClient();
    ASSERT_TRUE(connection);
    // An empty frame ends the session without a word.
    ASSERT_TRUE(active->SendBytes(ClientFrame(1, "")));
    // Its session lets go of it; the ActiveClient and this test still hold it.
    for (int i = 0; i < 400 && connection.use_count() > 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_EQ(connection.use_count(), 2);
    // Device messages still reach it.
    SendTextMessage("{\"typeName\":\"TavoOK\"}");
    auto message = active->ReceiveFrame();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->payload, "{\"typeName\":\"TavoOK\"}");
}

TEST_F(Link, ACloseFrameEndsEvenTheActiveConnection) {
    auto page = Handshaken(port_);
    ConnectionPtr connection = ActiveClient();
    ASSERT_TRUE(connection);
    // The page need not wait for a close reply that never comes: the
    // connection ends, without any frame.
    ASSERT_TRUE(page->SendBytes(ClientFrame(8, std::string("\x03\xe8", 2))));
    std::string received;
    EXPECT_TRUE(page->WaitClosed(10000, &received));
    EXPECT_EQ(received, "");
    // With no other connection open it is still the ActiveClient and keeps
    // its descriptor; messages for it are dropped.
    EXPECT_EQ(ActiveClient(), connection);
    EXPECT_TRUE(connection->closed.load());
}

TEST_F(Link, ConcurrentMessagesToTheActiveClientNeverInterleave) {
    auto client = Handshaken(port_);
    ASSERT_TRUE(ActiveClient());
    constexpr int kThreads = 4, kEach = 30;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([t] {
            const std::string text(70000 + t, static_cast<char>('a' + t));
            for (int i = 0; i < kEach; ++i) SendTextMessage(text);
        });
    int counts[kThreads] = {};
    for (int i = 0; i < kThreads * kEach; ++i) {
        auto frame = client->ReceiveFrame();
        ASSERT_TRUE(frame);
        ASSERT_EQ(frame->first, 0x81);
        const int t = static_cast<int>(frame->payload.size()) - 70000;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        ASSERT_EQ(frame->payload, std::string(70000 + t, static_cast<char>('a' + t)));
        ++counts[t];
    }
    for (auto& s : senders) s.join();
    for (int c : counts) EXPECT_EQ(c, kEach);
}

TEST_F(Link, TenThousandConnectionsLeaveTheDescriptorCountFlat) {
    {
        auto warm = Handshaken(port_);  // the first ActiveClient
    }
    const size_t before = testsys::OpenHandles();
    for (int i = 0; i < 10000; ++i) {
        RawWsClient client(port_);
        ASSERT_TRUE(client.Connected()) << i;
        if (i % 2 == 0) {
            ASSERT_NE(client.Handshake().find(" 101 "), std::string::npos) << i;
        } else {
            ASSERT_TRUE(client.SendBytes("GET / HTTP/1.1\r\n\r\n"));
        }
    }
    // Sessions end on their own threads, shortly after their peers went.
    size_t after = testsys::OpenHandles();
    for (int i = 0; i < 200 && after > before + 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        after = testsys::OpenHandles();
    }
    // One more at most: the last ActiveClient, which stays open.
    EXPECT_LE(after, before + 1);
}

}  // namespace
