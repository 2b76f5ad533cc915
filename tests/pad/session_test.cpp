// The signing session end to end: a real WebSocket client sends the commands,
// the virtual pad plays the signer, and the test checks what the page
// receives, what the pad is told, what the log says and what the Canvas holds.
#include "pad/session.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "commands/messages.h"
#include "commands/params.h"
#include "image/canvas.h"
#include "pad/device.h"
#include "page_fixture.h"
#include "pad_test_util.h"
#include "tests/support/harness.h"

namespace {

using padtest::CommandCodes;
using padtest::RawX;
using padtest::RawY;
using padtest::WaitFor;
using padtest::WaitForPadIdle;

const std::string kStartSign = R"({"typeName":"TavoStartSign","message":{"penwidth":"3"}})";
const std::string kStartSignFinger =
    R"({"typeName":"TavoStartSignFinger","message":{"penwidth":"3","quality":"50"}})";
const std::string kCloseSign = R"({"typeName":"TavoCloseSign"})";
const std::string kClear = R"({"typeName":"TavoClear"})";
const std::string kOK = R"({"typeName":"TavoOK"})";
const std::string kCancel = R"({"typeName":"TavoCancel"})";
const std::string kUnSign = u8R"({"typeName":"TavoUnSign","message":"请确认是否签字"})";
const std::string kError = u8R"({"typeName":"TavoError","message":"开始签字失败"})";

class PadSessionTest : public PadPageTest {
  protected:
    void SetUp() override {
        PadPageTest::SetUp();
        logStart_ = padtest::LogSize();
    }

    void TearDown() override {
        PadPageTest::TearDown();
        EXPECT_LE(vpad::GetUsage().readersPeak, 1);
    }

    // Sends a command and waits until the pad received `commands` feature
    // reports in all (the dispatcher acts on its own thread).
    void Command(const std::string& text, size_t commands) {
        ASSERT_TRUE(peer_->Send(text));
        ASSERT_TRUE(WaitFor([&] { return vpad::FeatureReports().size() >= commands; }));
    }
    void StartSigning() {
        Command(kStartSign, vpad::FeatureReports().size() + 1);
        ASSERT_TRUE(WaitFor([] { return vpad::GetUsage().reads > 0; }));
    }
    // A horizontal stroke of `samples` points along row y, pen lifted after.
    void QueueStroke(int y, int samples = 8) {
        for (int i = 0; i < samples; ++i) vpad::QueuePen(RawX(100 + 40 * i), RawY(y), 1024);
        vpad::QueuePen(RawX(100), RawY(y), 0);
    }
    std::string Next() { return peer_->Receive().value_or("(nothing)"); }
    // The messages logged with `tag` since the test began, once there are at
    // least `count` of them (a line is written just after its message is sent).
    std::vector<std::string> Logged(const std::string& tag, size_t count) {
        std::vector<std::string> lines;
        WaitFor([&] {
            lines = padtest::LogMessages(padtest::LogFrom(logStart_), tag);
            return lines.size() >= count;
        });
        return lines;
    }
    CanvasBitmap Canvas() {
        CanvasBitmap bitmap;
        EXPECT_TRUE(ReadCanvasBitmap(&bitmap));
        return bitmap;
    }
    static bool AllWhite(const CanvasBitmap& bitmap) {
        for (uint8_t byte : bitmap.pixels)
            if (byte != 255) return false;
        return true;
    }

    size_t logStart_ = 0;
};

TEST_F(PadSessionTest, NoPadGivesOneErrorAndOneLogLine) {
    // A stroke left from before must survive: no session started.
    ClearCanvas();
    for (int i = 0; i < 4; ++i) DrawPenPoint(PenSample{RawX(100 + 50 * i), RawY(50), 1024, 0});
    EmptyStrokePoints();
    vpad::SetPlugged(false);
    ASSERT_TRUE(peer_->Send(kStartSign));
    EXPECT_EQ(Next(), kError);
    EXPECT_EQ(Logged("error", 1), std::vector<std::string>{msg::kLogOpenFailed});
    EXPECT_FALSE(PadIsOpen());
    EXPECT_TRUE(CommandCodes().empty());
    EXPECT_EQ(vpad::GetUsage().reads, 0);
    EXPECT_FALSE(AllWhite(Canvas()));
}

TEST_F(PadSessionTest, StartFingerNeedsThePadToo) {
    vpad::SetEntries({});
    ASSERT_TRUE(peer_->Send(R"({"typeName":"TavoStartFinger","message":{"quality":"50"}})"));
    EXPECT_EQ(Next(), kError);
    EXPECT_EQ(Logged("error", 1), std::vector<std::string>{msg::kLogOpenFailed});
}

TEST_F(PadSessionTest, RefusedStartLeavesThePadOpenUntilClose) {
    ClearCanvas();
    for (int i = 0; i < 4; ++i) DrawPenPoint(PenSample{RawX(100 + 50 * i), RawY(50), 1024, 0});
    EmptyStrokePoints();
    vpad::SetRefusedCommands({SignCommand});
    ASSERT_TRUE(peer_->Send(kStartSign));
    EXPECT_EQ(Next(), kError);
    EXPECT_EQ(Logged("error", 1), std::vector<std::string>{msg::kLogSignCommandFailed});
    EXPECT_TRUE(PadIsOpen());
    EXPECT_TRUE(vpad::IsOpen());
    EXPECT_EQ(vpad::GetUsage().nonblockingSet, 1);
    EXPECT_EQ(vpad::GetUsage().reads, 0);  // no pen-input thread
    EXPECT_FALSE(AllWhite(Canvas()));      // not cleared

    Command(kCloseSign, 2);
    EXPECT_TRUE(WaitFor([] { return !vpad::IsOpen(); }));
    EXPECT_EQ(CommandCodes(), (std::vector<int>{SignCommand, CloseCommand}));
    EXPECT_FALSE(PadIsOpen());
    EXPECT_FALSE(vpad::GetUsage().initialised);  // hid_exit after hid_close
}

TEST_F(PadSessionTest, SignatureIsDeliveredThenOkThenThePadCloses) {
    StartSigning();
    EXPECT_TRUE(AllWhite(Canvas()));
    QueueStroke(100);
    vpad::QueueButton("OK");
    std::string image = Next();
    EXPECT_EQ(image.rfind(R"({"typeName":"TavoSignBase64","message":")", 0), 0u) << image;
    EXPECT_EQ(Next(), kOK);
    ASSERT_TRUE(WaitFor([] { return !vpad::IsOpen(); }));
    EXPECT_EQ(CommandCodes(), (std::vector<int>{SignCommand, CloseCommand}));
    EXPECT_EQ(Logged("send message: ", 1), std::vector<std::string>{"TavoOK"});
    // The stroke is on the Canvas as the delivery read it.
    CanvasBitmap bitmap = Canvas();
    const uint8_t* pixel = &bitmap.pixels[(354 - 100) * kCanvasRowBytes + 3 * 200];
    EXPECT_EQ(pixel[0] + pixel[1] + pixel[2], 0);
    // Nothing more comes, and the thread no longer reads.
    long reads = vpad::GetUsage().reads;
    vpad::QueueButton("OK");
    peer_->Send(kCloseSign);
    EXPECT_FALSE(peer_->Receive(300).has_value());
    EXPECT_EQ(vpad::GetUsage().reads, reads);
}

TEST_F(PadSessionTest, InputFromBeforeThePadOpenedNeverReachesTheSession) {
    // Pressed and drawn on the closed pad: a real pad delivers none of it.
    vpad::QueueButton("CNCL");
    vpad::QueueButton("OK");
    QueueStroke(100);
    StartSigning();
    ASSERT_TRUE(WaitForPadIdle());
    EXPECT_EQ(peer_->Receive(300), std::nullopt);  // neither TavoCancel nor TavoUnSign
    EXPECT_TRUE(PadIsOpen());
    EXPECT_TRUE(AllWhite(Canvas()));
    // What comes after the opening is delivered.
    vpad::QueueButton("CNCL");
    EXPECT_EQ(Next(), kCancel);
    EXPECT_TRUE(WaitFor([] { return !vpad::IsOpen(); }));
}

TEST_F(PadSessionTest, ClearTwiceGivesOneClearAndWipesTheCanvas) {
    StartSigning();
    QueueStroke(100);
    ASSERT_TRUE(WaitForPadIdle());
    EXPECT_FALSE(AllWhite(Canvas()));
    vpad::QueueButton("CL");
    vpad::QueueButton("CL");
    EXPECT_EQ(Next(), kClear);
    ASSERT_TRUE(WaitForPadIdle());
    EXPECT_TRUE(AllWhite(Canvas()));
    // A stroke in between re-arms Clear.
    QueueStroke(200);
    vpad::QueueButton("CL");
    EXPECT_EQ(Next(), kClear);
    // Cancel proves nothing else was sent before it.
    vpad::QueueButton("CNCL");
    EXPECT_EQ(Next(), kCancel);
    EXPECT_EQ(Logged("send message: ", 3),
              (std::vector<std::string>{"TavoClear", "TavoClear", "TavoCancel"}));
}

TEST_F(PadSessionTest, OkWithNothingDrawnAsksToSignAndRestartsThePad) {
    StartSigning();
    vpad::QueueButton("OK");
    EXPECT_EQ(Next(), kUnSign);
    ASSERT_TRUE(WaitFor([] { return vpad::FeatureReports().size() == 2; }));
    vpad::QueueButton("OK");
    EXPECT_EQ(Next(), kUnSign);
    ASSERT_TRUE(WaitFor([] { return vpad::FeatureReports().size() == 3; }));
    EXPECT_EQ(CommandCodes(), (std::vector<int>{SignCommand, SignCommand, SignCommand}));
    EXPECT_EQ(Logged("send message: ", 2), (std::vector<std::string>{kUnSign, kUnSign}));
    EXPECT_TRUE(PadIsOpen());
}

TEST_F(PadSessionTest, RefusedRestartLatchesOkUntilAStroke) {
    StartSigning();
    vpad::SetRefusedCommands({SignCommand});
    vpad::QueueButton("OK");
    EXPECT_EQ(Next(), kUnSign);
    vpad::QueueButton("OK");  // latched: ignored
    vpad::QueueButton("CL");
    EXPECT_EQ(Next(), kClear);
    vpad::QueueButton("OK");  // Clear re-armed it
    EXPECT_EQ(Next(), kUnSign);
    vpad::QueueButton("OK");
    QueueStroke(150);  // a stroke re-arms it too, and now OK confirms
    vpad::QueueButton("OK");
    EXPECT_EQ(Next().rfind(R"({"typeName":"TavoSignBase64")", 0), 0u);
    EXPECT_EQ(Next(), kOK);
}

TEST_F(PadSessionTest, OkAfterClearWithNothingNewIsUnsigned) {
    StartSigning();
    QueueStroke(100);
    vpad::QueueButton("CL");
    EXPECT_EQ(Next(), kClear);
    vpad::QueueButton("OK");
    EXPECT_EQ(Next(), kUnSign);
}

TEST_F(PadSessionTest, CancelSendsCancelAndClosesThePad) {
    StartSigning();
    QueueStroke(100);
    vpad::QueueButton("CNCL");
    EXPECT_EQ(Next(), kCancel);
    ASSERT_TRUE(WaitFor([] { return !vpad::IsOpen(); }));
    EXPECT_EQ(CommandCodes(), (std::vector<int>{SignCommand, CloseCommand}));
    EXPECT_FALSE(PadIsOpen());
    EXPECT_EQ(Logged("send message: ", 1), std::vector<std::string>{"TavoCancel"});
}

TEST_F(PadSessionTest, RefusedCloseAndFingerCommandsStillReleaseThePad) {
    EXPECT_FALSE(SendCommandToOpenPad(FingerCommand));  // no pad open
    StartSigning();
    vpad::SetRefusedCommands({CloseCommand, FingerCommand});
    EXPECT_FALSE(SendCommandToOpenPad(FingerCommand));
    vpad::SetRefusedCommands({CloseCommand});
    EXPECT_TRUE(SendCommandToOpenPad(FingerCommand));
    vpad::QueueButton("CNCL");
    EXPECT_EQ(Next(), kCancel);
    ASSERT_TRUE(WaitFor([] { return !vpad::IsOpen(); }));
    EXPECT_FALSE(PadIsOpen());
    auto reports = vpad::FeatureReports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[3].bytes[1], CloseCommand);
    EXPECT_FALSE(reports[3].accepted);
    EXPECT_FALSE(vpad::GetUsage().initialised);
}

TEST_F(PadSessionTest, CloseSignEndsTheSessionAndItsThread) {
    StartSigning();
    QueueStroke(100, 3);
    ASSERT_TRUE(WaitForPadIdle());
    Command(kCloseSign, 2);
    ASSERT_TRUE(WaitFor([] { return !vpad::IsOpen(); }));
    EXPECT_EQ(CommandCodes(), (std::vector<int>{SignCommand, CloseCommand}));
    EXPECT_EQ(StopPenInput.load(), 1);
    ASSERT_TRUE(WaitFor([] { return vpad::GetUsage().readersNow == 0; }));
    long reads = vpad::GetUsage().reads;
    vpad::QueueButton("CNCL");
    EXPECT_FALSE(peer_->Receive(200).has_value());
    EXPECT_EQ(vpad::GetUsage().reads, reads);
    // A second close finds nothing open.
    EXPECT_EQ(ClosePad(), -1);
}

TEST_F(PadSessionTest, ClosePadWithoutAPadChangesNothing) {
    StopPenInput = 0;
    EXPECT_EQ(ClosePad(), -1);
    EXPECT_EQ(StopPenInput.load(), 0);
    EXPECT_TRUE(vpad::FeatureReports().empty());
}

TEST_F(PadSessionTest, ALateCloseOrCommandNeverReachesTheNextSession) {
    EXPECT_EQ(CurrentPadSession(), 0u);
    StartSigning();
    const uint64_t first = CurrentPadSession();
    ASSERT_NE(first, 0u);
    // The first session is closed, a new one opened and started.
    Command(kStartSign, vpad::FeatureReports().size() + 2);
    EXPECT_EQ(CommandCodes(), (std::vector<int>{SignCommand, CloseCommand, SignCommand}));
    const uint64_t second = CurrentPadSession();
    ASSERT_NE(second, 0u);
    EXPECT_NE(second, first);
    const size_t commands = vpad::FeatureReports().size();

    // What the first session's fingerprint capture would do when it ends late.
    EXPECT_FALSE(SendCommandToPadSession(first, FingerCommand));
    EXPECT_EQ(ClosePadSession(first), -1);
    EXPECT_TRUE(vpad::IsOpen());
    EXPECT_EQ(vpad::FeatureReports().size(), commands);
    EXPECT_EQ(StopPenInput.load(), 0) << "the second session's pen-input thread goes on";
    vpad::QueueButton("CNCL");
    EXPECT_EQ(Next(), kCancel);
    ASSERT_TRUE(WaitFor([] { return !vpad::IsOpen(); }));
    EXPECT_EQ(CurrentPadSession(), 0u);
    EXPECT_EQ(ClosePadSession(second), -1);
}

TEST_F(PadSessionTest, CaptureModeKeepsThePadOpenAfterOk) {
    Command(kStartSignFinger, 1);
    EXPECT_EQ(CaptureMode.load(), 1);
    QueueStroke(100);
    vpad::QueueButton("OK");
    // The signature is kept for the fingerprint: no image message, only OK.
    EXPECT_EQ(Next(), kOK);
    EXPECT_TRUE(PadIsOpen());
    ASSERT_TRUE(WaitFor([] { return vpad::GetUsage().readersNow == 0; }));
    Command(kCloseSign, vpad::FeatureReports().size() + 1);
    ASSERT_TRUE(WaitFor([] { return !vpad::IsOpen(); }));
    EXPECT_EQ(CommandCodes().back(), CloseCommand);

    // A plain start after it runs without the fingerprint.
    StartSigning();
    EXPECT_EQ(CaptureMode.load(), 0);
}

TEST_F(PadSessionTest, StartWhileSigningReplacesTheSession) {
    StartSigning();
    QueueStroke(100, 3);
    ASSERT_TRUE(WaitForPadIdle());
    Command(kStartSign, 3);
    ASSERT_TRUE(WaitFor([] { return vpad::GetUsage().openHandles == 1 && PadIsOpen(); }));
    EXPECT_EQ(CommandCodes(), (std::vector<int>{SignCommand, CloseCommand, SignCommand}));
    // The new session does not continue the old stroke: one more sample
    // must not draw.
    vpad::QueuePen(RawX(300), RawY(100), 1024);
    ASSERT_TRUE(WaitForPadIdle());
    EXPECT_TRUE(AllWhite(Canvas()));
    EXPECT_EQ(vpad::GetUsage().readersPeak, 1);
    vpad::QueueButton("CNCL");
    EXPECT_EQ(Next(), kCancel);
}

TEST_F(PadSessionTest, UnpluggedPadReportsNothingAndKeepsTheSession) {
    StartSigning();
    vpad::QueuePen(RawX(100), RawY(100), 1024);
    vpad::QueuePen(RawX(140), RawY(100), 1024);
    ASSERT_TRUE(WaitForPadIdle());
    vpad::SetPlugged(false);
    EXPECT_FALSE(peer_->Receive(200).has_value());
    EXPECT_TRUE(PadIsOpen());
    ASSERT_TRUE(peer_->Send(kCloseSign));
    // The device is released before the session is marked closed.
    EXPECT_TRUE(WaitFor([] { return !vpad::IsOpen() && !PadIsOpen(); }));
    // The refused close is not recorded by an unplugged pad; only the start is.
    EXPECT_EQ(CommandCodes(), std::vector<int>{SignCommand});
}

TEST_F(PadSessionTest, PenReportsAtTheThresholdsOfTheCanvas) {
    StartSigning();
    struct Case {
        uint16_t x, y;
        long change;  // points added to the stroke; -1: stroke emptied
    } cases[] = {
        {10205, 3000, 1}, {10206, 3000, 0}, {17, 3000, 1},   {0, 3000, 0},    {3000, 18, 0},
        {3000, 19, 1},    {3000, 6587, 1},  {3000, 6588, 0}, {3000, 7143, 0}, {3000, 7144, -1},
    };
    for (const Case& c : cases) {
        long before = static_cast<long>(StrokePointCount());
        vpad::QueuePen(c.x, c.y, 700);
        ASSERT_TRUE(WaitForPadIdle());
        long after = static_cast<long>(StrokePointCount());
        if (c.change < 0) {
            EXPECT_EQ(after, 0) << c.x << "," << c.y;
        } else {
            EXPECT_EQ(after - before, c.change) << c.x << "," << c.y;
        }
    }
    vpad::QueueButton("CNCL");
    EXPECT_EQ(Next(), kCancel);
}

TEST_F(PadSessionTest, ButtonCodesAreFoundAnywhereBeforeTheFirstZero) {
    StartSigning();
    // Clear at an odd position inside other bytes.
    vpad::QueueReport({2, 0x11, 0x33, 0x35, 0x02, 0x80, 'C', 'L', 0x44});
    EXPECT_EQ(Next(), kClear);
    // A code after a zero byte is not seen; a report of another id with a
    // code inside it is.
    vpad::QueueReport({2, 0x80, 0, 0x02, 0x80, 'C', 'N', 'C', 'L'});
    vpad::QueueReport({7, 0x02, 0x80, 'O', 'K'});
    EXPECT_EQ(Next(), kUnSign);
    // Clear is searched before OK and Cancel, and only the first found acts.
    vpad::QueueReport({2, 0x80, 'O', 'K', 0x02, 0x80, 'C', 'N', 'C', 'L', 0x02, 0x80, 'C', 'L'});
    EXPECT_EQ(Next(), kClear);
    vpad::QueueButton("CNCL");
    EXPECT_EQ(Next(), kCancel);
    EXPECT_EQ(Logged("send message: ", 4),
              (std::vector<std::string>{"TavoClear", kUnSign, "TavoClear", "TavoCancel"}));
}

TEST_F(PadSessionTest, ReportsOfEveryLengthAndContentAreSurvived) {
    StartSigning();
    std::mt19937 random(11);
    for (int length = 0; length <= 128; ++length) {
        std::vector<uint8_t> report(static_cast<size_t>(length));
        for (auto& byte : report) byte = static_cast<uint8_t>(random() % 64 + 1);  // no codes
        if (length > 0 && length % 3 == 0) report[0] = 2;
        vpad::QueueReport(report);
    }
    for (uint16_t pressure : {0, 1, 65535}) vpad::QueuePen(RawX(300), RawY(100), pressure);
    vpad::QueuePen(0, 0, 0);
    vpad::QueuePen(65535, 65535, 65535);
    vpad::QueueButton("CNCL");
    EXPECT_EQ(Next(), kCancel);
}

}  // namespace
