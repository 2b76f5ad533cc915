// Back-to-back signature-and-fingerprint sessions, the way a page runs them at
// a counter: each "TavoStartSignFinger" goes out as soon as the composite of
// the previous one has arrived, after a short random pause, and the signer
// signs and confirms as soon as the pad shows its signing screen. Every round
// must give the page "TavoOK" and then exactly one composite, and the log must
// not claim that a capture was cut off when none was.
//
// PENMORA_SIGN_FINGER_ROUNDS sets the number of rounds (default 1000).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "commands/dispatch.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "devices/virtual_reader/virtual_reader.h"
#include "finger/capture.h"
#include "image/canvas.h"
#include "pad/device.h"
#include "pad/session.h"
#include "tests/finger/finger_test_util.h"
#include "tests/support/harness.h"
#include "tests/support/log_reader.h"
#include "tests/support/raw_client.h"

namespace {

const std::string kComposite = "{\"typeName\":\"TavoSignFBase64\",\"message\":\"";
const std::string kOk = "{\"typeName\":\"TavoOK\"}";

int Rounds() {
    const char* text = std::getenv("PENMORA_SIGN_FINGER_ROUNDS");
    const int rounds = text != nullptr ? std::atoi(text) : 0;
    return rounds > 0 ? rounds : 1000;
}

size_t SignCommandsSeen() {
    size_t count = 0;
    for (const auto& report : vpad::FeatureReports())
        if (report.bytes.size() > 1 && report.bytes[1] == SignCommand) ++count;
    return count;
}

TEST(SignFingerRounds, EveryRoundDeliversExactlyOneComposite) {
    ReaderDir dir(kVirtualReaderLibrary);
    vpad::Reset();
    VirtualReaderReset();
    VirtualReaderSetPaceMs(1);
    VirtualReaderSetFinger(1);
    CreateCanvas();
    const size_t logBefore = ReadTodaysLog(OwnLogFolder()).size();

    const uint16_t port = StartTestLink();
    ASSERT_NE(port, 0);
    RawWsClient page(port);
    ASSERT_FALSE(page.Handshake().empty());
    const std::string start =
        ClientFrame(1,
                    "{\"typeName\":\"TavoStartSignFinger\",\"message\":{\"quality\":\"100\","
                    "\"penwidth\":\"3\"}}");

    std::mt19937 random(20261209);
    const int rounds = Rounds();
    int composites = 0;
    for (int round = 0; round < rounds; ++round) {
        // The page reacts to the composite at once, or after a few moments.
        std::this_thread::sleep_for(
            std::chrono::microseconds(random() % 4 == 0 ? 0 : random() % 3000));
        const size_t signs = SignCommandsSeen();
        ASSERT_TRUE(page.SendBytes(start));
        ASSERT_TRUE(Eventually([signs] { return SignCommandsSeen() > signs; }))
            << "round " << round << ": the pad never showed its signing screen";
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        for (int i = 0; i < 6; ++i)
            vpad::QueuePen(uint16_t(2000 + 300 * i), uint16_t(2500 + 150 * (i % 3)), 600);
        vpad::QueueButton("OK");

        const auto ok = page.ReceiveFrame(10000);
        ASSERT_TRUE(ok.has_value()) << "round " << round << ": nothing came";
        ASSERT_EQ(ok->payload, kOk) << "round " << round;
        const auto composite = page.ReceiveFrame(10000);
        ASSERT_TRUE(composite.has_value()) << "round " << round << ": only TavoOK came";
        ASSERT_EQ(composite->payload.compare(0, kComposite.size(), kComposite), 0)
            << "round " << round << ": " << composite->payload.substr(0, 60);
        ++composites;
    }
    EXPECT_EQ(composites, rounds);
    // The last round's capture ends by itself and closes its session.
    ASSERT_TRUE(Eventually([] { return !vpad::IsOpen(); }));
    ASSERT_TRUE(WaitForFingerCaptureThreads(20000));
    EXPECT_FALSE(page.ReceiveFrame(200).has_value()) << "a message beyond the last round";
    EXPECT_EQ(VirtualReaderOverlaps(), 0);
    EXPECT_EQ(VirtualReaderIsOpen(), 0);

    // No session was closed under a capture and no capture was replaced: the
    // log says nothing of the kind.
    const std::string log = ReadTodaysLog(OwnLogFolder()).substr(logBefore);
    EXPECT_EQ(CountOf(log, "fingerprint capture ended"), 0u) << log.substr(0, 2000);
    EXPECT_EQ(CountOf(log, "recv message: "), size_t(rounds));

    ResetFingerCaptureForTests();
    ResetPadForTests();
    ResetCommandsForTests();
    VirtualReaderReset();
}

}  // namespace
