// A reader library that stops answering: the virtual reader hangs inside
// ZAZGetImage or ZAZOpenDeviceEx, for a set time, until the test lets it go,
// or for good. "TavoCloseSign" must still release the pad at once, every other
// command must still be answered, the capture that was cut off must do nothing
// once its call returns, and a new capture waits for the library in the
// background until it is free or the page closes the session.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "commands/dispatch.h"
#include "commands/messages.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "devices/virtual_reader/virtual_reader.h"
#include "finger/capture.h"
#include "finger/library.h"
#include "image/canvas.h"
#include "link/listener.h"
#include "link/text.h"
#include "pad/device.h"
#include "pad/session.h"
#include "tests/finger/finger_test_util.h"
#include "tests/support/harness.h"
#include "tests/support/raw_client.h"

namespace {

const std::string kCloseSign = "{\"typeName\":\"TavoCloseSign\"}";
const std::string kStartSign = "{\"typeName\":\"TavoStartSign\",\"message\":{\"penwidth\":\"3\"}}";
const std::string kStartFinger =
    "{\"typeName\":\"TavoStartFinger\",\"message\":{\"quality\":\"100\"}}";
const std::string kStartSignFinger =
    "{\"typeName\":\"TavoStartSignFinger\",\"message\":{\"quality\":\"100\",\"penwidth\":\"3\"}}";
const std::string kFingerHead = "{\"typeName\":\"TavoFingerBase64\",\"message\":\"";

size_t CountCommands(uint8_t code) {
    size_t count = 0;
    for (const auto& report : vpad::FeatureReports())
        if (report.bytes.size() > 1 && report.bytes[1] == code) ++count;
    return count;
}

// A page on a loopback connection that is the ActiveClient.
class Page {
  public:
    explicit Page(uint16_t port) : client_(port) {
        const ConnectionPtr before = ActiveClient();
        ready_ = !client_.Handshake().empty() &&
                 Eventually([before] { return ActiveClient() != before; });
    }
    bool Ready() const { return ready_; }
    bool Send(const std::string& text) { return client_.SendBytes(ClientFrame(1, text)); }
    std::optional<std::string> Receive(int timeoutMs) {
        auto frame = client_.ReceiveFrame(timeoutMs);
        if (!frame) return std::nullopt;
        return frame->payload;
    }

  private:
    RawWsClient client_;
    bool ready_ = false;
};

// The state every case starts from: a fresh pad and reader, a link.
uint16_t PrepareDevices() {
    vpad::Reset();
    VirtualReaderReset();
    VirtualReaderSetPaceMs(5);
    CreateCanvas();
    return StartTestLink();
}

void ResetAll() {
    VirtualReaderReleaseHang();
    ResetFingerCaptureForTests();
    ResetPadForTests();
    ResetCommandsForTests();
    VirtualReaderReset();
}

class HungReader : public ::testing::Test {
  protected:
    void SetUp() override {
        const uint16_t port = PrepareDevices();
        ASSERT_NE(port, 0);
        page_ = std::make_unique<Page>(port);
        ASSERT_TRUE(page_->Ready());
    }
    void TearDown() override {
        page_.reset();
        ResetAll();
    }

    // Starts a fingerprint whose first ZAZGetImage (or `entry`) hangs for
    // `ms` (negative: until released), and waits until it hangs.
    void StartHangingCapture(int ms, const char* entry = "ZAZGetImage") {
        ASSERT_EQ(VirtualReaderHangNext(entry, ms), 0);
        ASSERT_TRUE(page_->Send(kStartFinger));
        ASSERT_TRUE(Eventually([] { return VirtualReaderHanging() == 1; }));
    }

    // "TavoCloseSign" while the call hangs: the pad is released before it
    // returns, and no capture owns the reader any more.
    void CloseWhileHanging() {
        ASSERT_TRUE(page_->Send(kCloseSign));
        ASSERT_TRUE(Eventually([] { return !vpad::IsOpen(); }));
        EXPECT_EQ(VirtualReaderHanging(), 1) << "the pad waited for the library";
        EXPECT_EQ(vpad::FeatureReports().back().bytes[1], CloseCommand);
        EXPECT_FALSE(FingerCaptureRunning());
    }

    // After every capture thread that can end has ended, nothing more came.
    void ExpectNothingMore() {
        ASSERT_TRUE(WaitForFingerCaptureThreads(20000));
        auto extra = page_->Receive(300);
        EXPECT_FALSE(extra.has_value()) << extra->substr(0, 60);
    }

    ReaderDir dir_{kVirtualReaderLibrary};
    std::unique_ptr<Page> page_;
};

TEST_F(HungReader, ASetTimeHangHoldsUpNeitherTheCloseNorOtherCommands) {
    StartHangingCapture(4000);
    VirtualReaderSetFinger(1);  // what the hung call returns would do
    CloseWhileHanging();
    // Released from its slot, the library stays loaded while the call is inside.
    EXPECT_EQ(CurrentFingerLibrary(), nullptr);
    EXPECT_EQ(FingerLibrariesHeld(), 1);

    // Another command is answered while the call still hangs.
    vpad::SetPlugged(false);
    ASSERT_TRUE(page_->Send(kStartSign));
    auto reply = page_->Receive(3000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, ToUtf8(msg::kError));
    EXPECT_EQ(VirtualReaderHanging(), 1);
    vpad::SetPlugged(true);

    // The call returns by itself; the capture it belonged to does nothing more.
    const size_t padCommands = vpad::FeatureReports().size();
    ASSERT_TRUE(Eventually([] { return VirtualReaderHanging() == 0; }, 20000));
    ExpectNothingMore();
    EXPECT_EQ(vpad::FeatureReports().size(), padCommands);
    EXPECT_FALSE(Exists(dir_.Path("finger.png")));
    EXPECT_EQ(VirtualReaderIsOpen(), 0) << "the cut-off capture closes the reader";
    EXPECT_EQ(FingerLibrariesHeld(), 0);
    EXPECT_EQ(VirtualReaderOverlaps(), 0);
}

TEST_F(HungReader, ACutOffSignatureCaptureWritesAndSendsNothingWhenItsCallReturns) {
    ASSERT_EQ(VirtualReaderHangNext("ZAZGetImage", -1), 0);
    ASSERT_TRUE(page_->Send(kStartSignFinger));
    ASSERT_TRUE(Eventually([] { return CountCommands(SignCommand) == 1; }));
    for (int i = 0; i < 20; ++i) vpad::QueuePen(uint16_t(2000 + 200 * i), uint16_t(3000), 600);
    vpad::QueueButton("OK");
    auto ok = page_->Receive(10000);
    ASSERT_TRUE(ok.has_value());
    ASSERT_EQ(*ok, "{\"typeName\":\"TavoOK\"}");
    ASSERT_TRUE(Eventually([] { return VirtualReaderHanging() == 1; }));
    VirtualReaderSetFinger(1);
    CloseWhileHanging();

    const size_t padCommands = vpad::FeatureReports().size();
    VirtualReaderReleaseHang();
    ASSERT_TRUE(Eventually([] { return VirtualReaderHanging() == 0; }));
    ExpectNothingMore();
    EXPECT_EQ(vpad::FeatureReports().size(), padCommands);
    EXPECT_FALSE(Exists(dir_.Path("finger.png")));
    EXPECT_FALSE(Exists(dir_.Path("SignFP.png")));
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
    EXPECT_EQ(FingerLibrariesHeld(), 0);
}

TEST_F(HungReader, ANewCaptureWaitsForTheLibraryThenRuns) {
    StartHangingCapture(-1);
    CloseWhileHanging();
    VirtualReaderSetFinger(1);
    const int opens = VirtualReaderOpenCalls();

    ASSERT_TRUE(page_->Send(kStartFinger));
    ASSERT_TRUE(Eventually([] { return vpad::IsOpen() && FingerCaptureThreads() == 2; }));
    EXPECT_TRUE(FingerCaptureRunning());
    // It waits in the background: no call of its own while the other is inside.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(VirtualReaderOpenCalls(), opens);
    EXPECT_EQ(VirtualReaderCallsInside(), 1);
    EXPECT_FALSE(page_->Receive(0).has_value());

    VirtualReaderReleaseHang();
    auto message = page_->Receive(20000);
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(message->compare(0, kFingerHead.size(), kFingerHead), 0) << message->substr(0, 60);
    ExpectNothingMore();  // exactly one picture: the cut-off capture sent none
    EXPECT_EQ(VirtualReaderOpenCalls(), opens + 1);
    EXPECT_EQ(VirtualReaderOverlaps(), 0);
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
    EXPECT_FALSE(vpad::IsOpen());
    EXPECT_EQ(FingerLibrariesHeld(), 0);
}

TEST_F(HungReader, CloseSignEndsACaptureThatWaitsForTheLibrary) {
    StartHangingCapture(-1);
    CloseWhileHanging();
    ASSERT_TRUE(page_->Send(kStartFinger));
    ASSERT_TRUE(Eventually([] { return vpad::IsOpen() && FingerCaptureThreads() == 2; }));

    ASSERT_TRUE(page_->Send(kCloseSign));
    ASSERT_TRUE(Eventually([] { return !vpad::IsOpen(); }));
    // The waiting capture ends although the library is still busy.
    ASSERT_TRUE(Eventually([] { return FingerCaptureThreads() == 1; }));
    EXPECT_EQ(VirtualReaderHanging(), 1);
    EXPECT_FALSE(FingerCaptureRunning());

    VirtualReaderSetFinger(1);
    VirtualReaderReleaseHang();
    ExpectNothingMore();
    EXPECT_EQ(VirtualReaderOpenCalls(), 1) << "the ended capture never opened the reader";
    EXPECT_FALSE(Exists(dir_.Path("finger.png")));
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
}

TEST_F(HungReader, AnOpenThatHangsLeavesThePadAloneWhenItReturns) {
    StartHangingCapture(-1, "ZAZOpenDeviceEx");
    CloseWhileHanging();
    VirtualReaderReleaseHang();
    ExpectNothingMore();
    // The open succeeded after all: the cut-off capture closed the reader
    // again and never showed the pad its fingerprint screen.
    EXPECT_EQ(VirtualReaderOpenCalls(), 1);
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
    EXPECT_EQ(CountCommands(FingerCommand), 0u);
    EXPECT_EQ(VirtualReaderImagesTaken(), 0);
}

// A call that never returns: everything above still holds, and the process
// ends normally (under the sanitizers too) with the thread left inside it.
void RunWithAReaderHungForGood() {
    int failures = 0;
    auto check = [&failures](bool ok, const char* what) {
        if (!ok) {
            std::fprintf(stderr, "failed: %s\n", what);
            ++failures;
        }
    };
    {
        ReaderDir dir(kVirtualReaderLibrary);
        Page page(PrepareDevices());
        check(page.Ready(), "page connected");
        VirtualReaderHangNext("ZAZGetImage", -1);
        page.Send(kStartFinger);
        check(Eventually([] { return VirtualReaderHanging() == 1; }), "the call hangs");
        page.Send(kCloseSign);
        check(Eventually([] { return !vpad::IsOpen(); }), "the pad is released");
        vpad::SetPlugged(false);
        page.Send(kStartSign);
        check(page.Receive(3000) == ToUtf8(msg::kError), "a later command is answered");
        vpad::SetPlugged(true);
        page.Send(kStartFinger);
        check(Eventually([] { return vpad::IsOpen() && FingerCaptureThreads() == 2; }),
              "a new capture waits");
        page.Send(kCloseSign);
        check(Eventually([] { return !vpad::IsOpen() && FingerCaptureThreads() == 1; }),
              "the waiting capture ends");
        check(VirtualReaderHanging() == 1, "the call still hangs");
    }
    std::exit(failures == 0 ? 0 : 1);
}

TEST(HungReaderForGood, CommandsGoOnAndTheProcessStillEnds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunWithAReaderHungForGood(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
