// A thousand signing sessions started and closed at random moments from two
// command threads while a signer presses buttons, draws, unplugs the pad and
// the fingerprint side sends its command. Nothing may crash, hang, leak a
// device or let two threads poll the pad; built to run under the sanitizers.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <random>
#include <thread>

#include "commands/params.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "image/canvas.h"
#include "pad/device.h"
#include "pad/pen_input.h"
#include "pad/session.h"

namespace {

TEST(PadStressTest, SessionsStartedAndClosedAtRandomMoments) {
    CreateCanvas();
    vpad::Reset();
    ResetPadForTests();
    constexpr int kSessions = 1000;
    std::atomic<int> started{0};
    std::atomic<bool> done{false};

    auto commander = [&](unsigned seed) {
        std::mt19937 random(seed);
        const int32_t widths[] = {0, 1, 3, 5, -4, INT32_MAX, INT32_MIN};
        while (started < kSessions) {
            switch (random() % 4) {
                case 0:
                case 1:
                    if (OpenPad() == 0) {
                        if (random() % 3 == 0) CaptureMode = 1;
                        if (StartSigning(widths[random() % 7]) == 0) started++;
                    }
                    break;
                case 2:
                    ClosePad();
                    break;
                case 3:
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
                    break;
            }
        }
        done = true;
    };

    std::thread signer([&] {
        std::mt19937 random(3);
        while (!done) {
            switch (random() % 12) {
                case 0:
                    vpad::QueueButton("CL");
                    break;
                case 1:
                    vpad::QueueButton("OK");
                    break;
                case 2:
                    vpad::QueueButton("CNCL");
                    break;
                case 3:
                    vpad::SetPlugged(false);
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
                    vpad::SetPlugged(true);
                    break;
                case 4:
                    vpad::SetRefusedCommands(random() % 2 ? std::set<uint8_t>{}
                                                          : std::set<uint8_t>{SignCommand});
                    break;
                default:
                    for (int i = 0; i < 6; ++i)
                        vpad::QueuePen(static_cast<uint16_t>(1000 + random() % 8000),
                                       static_cast<uint16_t>(500 + random() % 6000),
                                       static_cast<uint16_t>(random() % 2048));
                    break;
            }
            if (vpad::PendingReports() > 64)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread fingerprint([&] {
        while (!done) {
            SendCommandToOpenPad(FingerCommand);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::thread first(commander, 1u), second(commander, 2u);
    first.join();
    second.join();
    signer.join();
    fingerprint.join();

    ResetPadForTests();
    vpad::Usage usage = vpad::GetUsage();
    EXPECT_GE(started.load(), kSessions);
    fprintf(stderr, "%d sessions, %ld reads, %zu pad commands\n", started.load(), usage.reads,
            vpad::FeatureReports().size());
    EXPECT_EQ(usage.openHandles, 0);
    EXPECT_EQ(usage.readersPeak, 1);
    EXPECT_EQ(usage.readersNow, 0);
    EXPECT_FALSE(PadIsOpen());
    vpad::Reset();
}

// Standard output carries the pen trace, so failures are told on standard
// error.
class FailuresToStderr : public ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult& result) override {
        if (result.failed())
            fprintf(stderr, "%s:%d: %s\n", result.file_name() ? result.file_name() : "?",
                    result.line_number(), result.summary());
    }
    void OnTestEnd(const ::testing::TestInfo& info) override {
        fprintf(stderr, "%s.%s: %s\n", info.test_suite_name(), info.name(),
                info.result()->Passed() ? "passed" : "FAILED");
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The pen trace of thousands of samples is of no interest here.
    if (!freopen("/dev/null", "w", stdout)) return 1;
    ::testing::UnitTest::GetInstance()->listeners().Append(new FailuresToStderr);
    SetPenPollIntervalForTests(2);
    return RUN_ALL_TESTS();
}
