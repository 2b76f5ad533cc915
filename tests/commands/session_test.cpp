// Client sessions and command dispatch, end to end over loopback: real
// clients send good and bad input, the virtual pad shows what was dispatched.
// A command's effect on the pad is observed before the next is judged;
// commands of one connection run in order, so when a valid command's effect
// shows, every frame sent before it has been handled.
#include "pad/session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <thread>

#include "commands/dispatch.h"
#include "commands/params.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "pad/device.h"
#include "tests/support/harness.h"
#include "tests/support/log_reader.h"
#include "tests/support/raw_client.h"

namespace {

const std::string kError = u8"{\"typeName\":\"TavoError\",\"message\":\"开始签字失败\"}";

size_t SignCommands() {
    size_t count = 0;
    for (const auto& report : vpad::FeatureReports())
        if (report.bytes.size() > 1 && report.bytes[1] == SignCommand) ++count;
    return count;
}

// Waits (bounded) until the pad has received `count` sign commands.
bool WaitForSignCommands(size_t count) {
    for (int i = 0; i < 800 && SignCommands() < count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return SignCommands() == count;
}

std::string StartSign(const std::string& penWidth) {
    return "{\"typeName\":\"TavoStartSign\",\"message\":{\"penwidth\":\"" + penWidth + "\"}}";
}

class Session : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = StartTestLink();
        ASSERT_NE(port_, 0);
        vpad::Reset();
        ResetPadForTests();
        ResetCommandsForTests();
    }
    void TearDown() override { ResetPadForTests(); }

    // Sends a valid start with a distinct pen width and waits for its effect.
    void Sentinel(RawWsClient& client, size_t expectedSignCommands, int32_t penWidth = 77) {
        ASSERT_TRUE(client.SendBytes(ClientFrame(1, StartSign(std::to_string(penWidth)))));
        ASSERT_TRUE(WaitForSignCommands(expectedSignCommands));
        EXPECT_EQ(PenWidth.load(), penWidth);
    }

    std::unique_ptr<RawWsClient> Connect() {
        auto client = std::make_unique<RawWsClient>(port_);
        EXPECT_NE(client->Handshake().find(" 101 "), std::string::npos);
        return client;
    }
    uint16_t port_ = 0;
};

TEST_F(Session, StartSignWithoutAPadAnswersTavoErrorAndLogsIt) {
    vpad::SetPlugged(false);
    WsPeer peer(port_);
    ASSERT_TRUE(peer.Connected());
    const std::string command =
        StartSign("3").substr(0, StartSign("3").size() - 1) + ",\"tag\":\"session-no-pad-41c2\"}";
    ASSERT_TRUE(peer.Send(command));
    EXPECT_EQ(peer.Receive(), kError);
    const std::string log = ReadTodaysLog(OwnLogFolder());
    const size_t at = log.find(command + "\r\n");
    ASSERT_NE(at, std::string::npos);
    // "recv message: : HH:MM:SS " precedes the text.
    ASSERT_GE(at, 25u);
    const std::string head = log.substr(at - 25, 25);
    EXPECT_EQ(head.substr(0, 16), "recv message: : ");
    EXPECT_EQ(head[18], ':');
    EXPECT_EQ(head[21], ':');
    EXPECT_EQ(head[24], ' ');
}

TEST_F(Session, ReadsPenWidthFromMaskedAndUnmaskedFrames) {
    auto client = Connect();
    ASSERT_TRUE(client->SendBytes(ClientFrame(1, StartSign("3px"), false)));
    ASSERT_TRUE(WaitForSignCommands(1));
    EXPECT_EQ(PenWidth.load(), 3);
    ASSERT_TRUE(client->SendBytes(ClientFrame(1, StartSign(" +12"), true)));
    ASSERT_TRUE(WaitForSignCommands(2));
    EXPECT_EQ(PenWidth.load(), 12);
}

TEST_F(Session, ClampsPenWidthsBeyondThirtyTwoBits) {
    auto client = Connect();
    ASSERT_TRUE(client->SendBytes(ClientFrame(1, StartSign("99999999999"))));
    ASSERT_TRUE(WaitForSignCommands(1));
    EXPECT_EQ(PenWidth.load(), std::numeric_limits<int32_t>::max());
    ASSERT_TRUE(client->SendBytes(ClientFrame(1, StartSign("-99999999999999999999"))));
    ASSERT_TRUE(WaitForSignCommands(2));
    EXPECT_EQ(PenWidth.load(), std::numeric_limits<int32_t>::min());
}

TEST_F(Session, MembersOfTheWrongTypeGiveZeroOrNothing) {
    auto client = Connect();
    // A number, not a string: the command runs with pen width 0.
    ASSERT_TRUE(client->SendBytes(
        ClientFrame(1, R"({"typeName":"TavoStartSign","message":{"penwidth":99999999999}})")));
    ASSERT_TRUE(WaitForSignCommands(1));
    EXPECT_EQ(PenWidth.load(), 0);
    // "message" that is not an object, or missing.
    ASSERT_TRUE(client->SendBytes(ClientFrame(1, StartSign("5"))));
    ASSERT_TRUE(WaitForSignCommands(2));
    ASSERT_TRUE(client->SendBytes(ClientFrame(1, R"({"typeName":"TavoStartSign","message":"3"})")));
    ASSERT_TRUE(WaitForSignCommands(3));
    EXPECT_EQ(PenWidth.load(), 0);
    // A typeName that is not a string dispatches nothing.
    for (const char* text :
         {R"({"typeName":["TavoStartSign"]})", R"({"typeName":1})",
          R"({"typeName":null,"message":{"penwidth":"9"}})", R"({"typeName":{"TavoStartSign":1}})"})
        ASSERT_TRUE(client->SendBytes(ClientFrame(1, text)));
    Sentinel(*client, 4);
}

TEST_F(Session, CommandNamesAreExactMemberNamesAreNot) {
    auto client = Connect();
    for (const char* text :
         {R"({"typeName":"tavostartsign"})", R"({"typeName":"TAVOSTARTSIGN"})",
          R"({"typeName":"TavoStartSign "})", R"({"typeName":""})", R"({"typeName":"Tavo"})"})
        ASSERT_TRUE(client->SendBytes(ClientFrame(1, text)));
    Sentinel(*client, 1);
    ASSERT_TRUE(client->SendBytes(
        ClientFrame(1, R"({"TYPENAME":"TavoStartSign","Message":{"PENWIDTH":"4"}})")));
    ASSERT_TRUE(WaitForSignCommands(2));
    EXPECT_EQ(PenWidth.load(), 4);
}

TEST_F(Session, TextThatIsNotJsonIsLoggedAndIgnored) {
    auto client = Connect();
    for (const char* text : {"not json at all", "not json } marker-notjson-8d1e", "{",
                             "{\"typeName\":\"TavoStartSign\"", "}{", "[1,2,3]"})
        ASSERT_TRUE(client->SendBytes(ClientFrame(1, text)));
    Sentinel(*client, 1);
    // Logged as cut after its last "}".
    const std::string log = ReadTodaysLog(OwnLogFolder());
    EXPECT_NE(log.find(" not json }\r\n"), std::string::npos);
    EXPECT_EQ(log.find("marker-notjson-8d1e"), std::string::npos);
}

TEST_F(Session, TwoObjectsInOneFrameActOnTheFirst) {
    auto client = Connect();
    ASSERT_TRUE(client->SendBytes(
        ClientFrame(1, StartSign("5") + StartSign("9") + R"({"typeName":"TavoCloseSocket"})")));
    ASSERT_TRUE(WaitForSignCommands(1));
    EXPECT_EQ(PenWidth.load(), 5);
    // The close command in the same frame was not acted on.
    Sentinel(*client, 2);
}

TEST_F(Session, ANulByteEndsTheText) {
    auto client = Connect();
    const std::string payload = StartSign("6").substr(0, StartSign("6").size() - 1) +
                                ",\"m\":\"marker-nul-5b0c\"}" + std::string(1, '\0') +
                                StartSign("8");
    ASSERT_TRUE(client->SendBytes(ClientFrame(1, payload)));
    ASSERT_TRUE(WaitForSignCommands(1));
    EXPECT_EQ(PenWidth.load(), 6);
    // Cut at the NUL: a text without "}" is logged empty and does nothing.
    ASSERT_TRUE(
        client->SendBytes(ClientFrame(1, std::string("{\"typeName\":\"Tavo\0StartSign\"}", 29))));
    Sentinel(*client, 2);
    const std::string log = ReadTodaysLog(OwnLogFolder());
    EXPECT_NE(log.find("\"marker-nul-5b0c\"}\r\n"), std::string::npos);
}

TEST_F(Session, InvalidUtf8BecomesReplacementCharacters) {
    auto client = Connect();
    ASSERT_TRUE(client->SendBytes(ClientFrame(
        1,
        "{\"typeName\":\"TavoStartSign\",\"m\":\"bad-\xff\xfe\xc3-utf8-2e9a\",\"message\":{"
        "\"penwidth\":\"7\"}}")));
    ASSERT_TRUE(WaitForSignCommands(1));
    EXPECT_EQ(PenWidth.load(), 7);
    EXPECT_NE(ReadTodaysLog(OwnLogFolder()).find("bad-" + std::string(3, '?') + "-utf8-2e9a"),
              std::string::npos);
}

TEST_F(Session, FramesSplitOrJoinedInTheStreamAreEachHandledWhole) {
    auto client = Connect();
    // One frame in three pieces, however the receives cut it.
    const std::string frame = ClientFrame(1, StartSign("2"), true);
    ASSERT_TRUE(client->SendBytes(frame.substr(0, 1)));
    ASSERT_TRUE(client->SendBytes(frame.substr(1, 20)));
    ASSERT_TRUE(client->SendBytes(frame.substr(21)));
    ASSERT_TRUE(WaitForSignCommands(1));
    EXPECT_EQ(PenWidth.load(), 2);
    // Three frames in one send, the last one's tail in a later send.
    const std::string third = ClientFrame(1, StartSign("4"), false);
    ASSERT_TRUE(client->SendBytes(ClientFrame(1, StartSign("3")) +
                                  ClientFrame(1, R"({"typeName":"TavoCloseSign"})") +
                                  third.substr(0, 10)));
    ASSERT_TRUE(client->SendBytes(third.substr(10)));
    ASSERT_TRUE(WaitForSignCommands(3));
    EXPECT_EQ(PenWidth.load(), 4);
}

TEST_F(Session, AStreamThatEndsInsideAFrameDispatchesNothingOfIt) {
    auto client = Connect();
    auto newer = Connect();
    std::string frame = ClientFrame(1, StartSign("2") + std::string(20, ' '), true);
    frame.resize(frame.size() - 20);
    ASSERT_TRUE(client->SendBytes(frame));
    platform::Shutdown(client->Socket());
    EXPECT_TRUE(client->WaitClosed());
    Sentinel(*newer, 1);
}

TEST_F(Session, AFrameLongerThanTheBufferEndsTheSession) {
    auto client = Connect();
    auto newer = Connect();
    ASSERT_TRUE(client->SendBytes(ClientFrame(1, StartSign("3") + std::string(1100, ' '))));
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_EQ(SignCommands(), 0u);
    Sentinel(*newer, 1);
}

TEST_F(Session, ACloseFrameIsLoggedAsDisconnected) {
    auto client = Connect();
    auto newer = Connect();
    ASSERT_TRUE(client->SendBytes(ClientFrame(8, std::string("\x03\xe8", 2))));
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_NE(ReadTodaysLog(OwnLogFolder()).find("recv message: : "), std::string::npos);
    EXPECT_NE(ReadTodaysLog(OwnLogFolder()).find(" Disconnected\r\n"), std::string::npos);
}

TEST_F(Session, FingerParametersAndCaptureMode) {
    auto client = Connect();
    ASSERT_TRUE(client->SendBytes(ClientFrame(
        1, R"({"typeName":"TavoStartSignFinger","message":{"quality":"250","penwidth":"2"}})")));
    ASSERT_TRUE(WaitForSignCommands(1));
    EXPECT_EQ(PenWidth.load(), 2);
    EXPECT_EQ(FingerQuality.load(), 250);
    EXPECT_EQ(CaptureMode.load(), 1);
    // A plain start after it runs without a fingerprint; the quality stays.
    Sentinel(*client, 2);
    EXPECT_EQ(CaptureMode.load(), 0);
    EXPECT_EQ(FingerQuality.load(), 250);
}

TEST_F(Session, CommandsOfManyConnectionsAtOnce) {
    constexpr int kClients = 6, kEach = 10;
    std::vector<std::unique_ptr<RawWsClient>> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(Connect());
    std::vector<std::thread> senders;
    for (auto& client : clients)
        senders.emplace_back([&client] {
            for (int i = 0; i < kEach; ++i) {
                client->SendBytes(ClientFrame(1, StartSign("1")));
                client->SendBytes(ClientFrame(1, R"({"typeName":"TavoCloseSign"})"));
            }
        });
    for (auto& s : senders) s.join();
    EXPECT_TRUE(WaitForSignCommands(kClients * kEach));
}

}  // namespace
