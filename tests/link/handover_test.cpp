// Which page takes the device messages once pages close: the newest page that
// is still connected. A page that came and went (a check whether the service
// runs, a reloaded tab) leaves the waiting page its signature, however the
// pages end (a close frame, the end of their stream, "TavoCloseSocket") and in
// whatever order; a closed connection never receives again.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "link/listener.h"
#include "tests/link/signing_link.h"
#include "tests/link/unplugged_pad_link.h"
#include "tests/support/harness.h"
#include "tests/support/raw_client.h"

namespace {

const std::string kError = u8"{\"typeName\":\"TavoError\",\"message\":\"开始签字失败\"}";
const std::string kStartSign = R"({"typeName":"TavoStartSign","message":{"penwidth":"3"}})";
const std::string kCloseSocket = R"({"typeName":"TavoCloseSocket"})";

std::unique_ptr<RawWsClient> Handshaken(uint16_t port) {
    auto client = std::make_unique<RawWsClient>(port);
    EXPECT_NE(client->Handshake().find(" 101 "), std::string::npos);
    return client;
}

// How a page ends its connection.
enum class Ending { CloseFrame, EndOfStream };

// Ends `page`'s connection and waits until the service has closed its side,
// so that the service knows the page is gone before the test goes on.
void End(RawWsClient& page, Ending ending) {
    if (ending == Ending::CloseFrame)
        ASSERT_TRUE(page.SendBytes(ClientFrame(8, std::string("\x03\xe8", 2))));
    else
        page.EndSending();
    std::string received;
    ASSERT_TRUE(page.WaitClosed(10000, &received));
    EXPECT_EQ(received, "");
}

// A start command from `sender`; the unplugged pad's answer must reach
// `receiver`, and only it.
void ExpectAnswerAt(RawWsClient& sender, RawWsClient& receiver, const std::string& why) {
    ASSERT_TRUE(sender.SendBytes(ClientFrame(1, kStartSign))) << why;
    const auto reply = receiver.ReceiveFrame(5000);
    ASSERT_TRUE(reply) << why << ": nothing arrived";
    EXPECT_EQ(reply->payload, kError) << why;
}

class Handover : public UnpluggedPadLink {};
class SigningHandover : public SigningLink {};

TEST_F(SigningHandover, APageThatCameAndWentLeavesTheWaitingPageItsSignature) {
    WsPeer waiting(port_);
    ASSERT_TRUE(waiting.Connected());
    // Two short visits, as a check whether the service runs would make: one
    // ends with a close frame, one just ends its stream.
    auto probe = Handshaken(port_);
    End(*probe, Ending::CloseFrame);
    auto dropped = Handshaken(port_);
    End(*dropped, Ending::EndOfStream);

    ASSERT_TRUE(waiting.Send(kStartSign));
    ASSERT_TRUE(SignOnThePad());
    const auto image = waiting.Receive(20000);
    ExpectSignatureAndOk(image, waiting.Receive(20000));
}

TEST_F(Handover, WhenTheOlderPageClosesTheNewerKeepsReceiving) {
    auto older = Handshaken(port_);
    auto newer = Handshaken(port_);
    End(*older, Ending::CloseFrame);
    ExpectAnswerAt(*newer, *newer, "the newer page's own command");
    // An older page that ends its stream changes nothing either.
    auto oldest = Handshaken(port_);
    auto newest = Handshaken(port_);
    End(*oldest, Ending::EndOfStream);
    ExpectAnswerAt(*newer, *newest, "a command of the second page");
    EXPECT_FALSE(newer->ReceiveFrame(100));
}

TEST_F(Handover, ThreeConnectionsClosingInEveryOrder) {
    // The oldest page sends the commands; once the three newer pages are
    // gone, it is the newest open one and takes the answers itself.
    auto commander = Handshaken(port_);
    std::array<int, 3> order = {0, 1, 2};
    size_t round = 0;
    do {
        std::array<std::unique_ptr<RawWsClient>, 3> pages;
        for (auto& page : pages) page = Handshaken(port_);
        std::array<bool, 3> open = {true, true, true};
        for (size_t step = 0; step < order.size(); ++step) {
            const int closing = order[step];
            const Ending ending =
                (round + step) % 2 == 0 ? Ending::CloseFrame : Ending::EndOfStream;
            End(*pages[closing], ending);
            open[closing] = false;
            RawWsClient* expected = commander.get();
            for (int i = 2; i >= 0; --i)
                if (open[i]) {
                    expected = pages[i].get();
                    break;
                }
            ExpectAnswerAt(*commander, *expected,
                           "order " + std::to_string(order[0]) + std::to_string(order[1]) +
                               std::to_string(order[2]) + ", after closing page " +
                               std::to_string(closing));
        }
        ++round;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(round, 6u);
    EXPECT_FALSE(commander->ReceiveFrame(100));
}

TEST_F(Handover, TheCloseCommandClosesTheNewestAndTheNextNewestReceives) {
    auto first = Handshaken(port_);
    auto second = Handshaken(port_);
    auto third = Handshaken(port_);
    // The first page closes the newest twice, each time the newest open one.
    ASSERT_TRUE(first->SendBytes(ClientFrame(1, kCloseSocket)));
    EXPECT_TRUE(third->WaitClosed());
    ExpectAnswerAt(*first, *second, "after the third page was closed");
    ASSERT_TRUE(first->SendBytes(ClientFrame(1, kCloseSocket)));
    EXPECT_TRUE(second->WaitClosed());
    ExpectAnswerAt(*first, *first, "after the second page was closed");
    // The third time it closes itself; the service stays open to new pages,
    // and a new one takes the messages.
    ASSERT_TRUE(first->SendBytes(ClientFrame(1, kCloseSocket)));
    EXPECT_TRUE(first->WaitClosed());
    auto next = Handshaken(port_);
    ExpectAnswerAt(*next, *next, "a page that came after all had closed");
}

TEST_F(Handover, AClosedConnectionNeverReceivesAgain) {
    auto older = Handshaken(port_);
    auto newer = Handshaken(port_);
    const ConnectionPtr closing = ActiveClient();
    ASSERT_TRUE(closing);
    End(*newer, Ending::CloseFrame);
    ExpectAnswerAt(*older, *older, "after the newer page closed");
    // The closed connection is let go once another takes its place.
    EXPECT_NE(ActiveClient(), closing);
    EXPECT_TRUE(closing->closed.load());
    // A later page takes over, and when it closes too, the older page again.
    auto later = Handshaken(port_);
    ExpectAnswerAt(*older, *later, "a page that came later");
    End(*later, Ending::EndOfStream);
    ExpectAnswerAt(*older, *older, "after the later page ended its stream");
}

}  // namespace
