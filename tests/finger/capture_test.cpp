// Whole fingerprint captures: a real WebSocket client sends the commands, the
// virtual pad and the virtual reader stand in for the hardware, and
// python3-pil judges the pictures that come back. Also the composite of a
// delivered signature and a fingerprint picture.
#include "finger/capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "commands/dispatch.h"
#include "commands/params.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "devices/virtual_reader/virtual_reader.h"
#include "finger/TavoSign.h"
#include "image/canvas.h"
#include "image/delivery.h"
#include "image/ximage.h"
#include "pad/device.h"
#include "pad/session.h"
#include "shell/log.h"
#include "tests/finger/capture_link.h"
#include "tests/finger/finger_test_util.h"
#include "tests/support/harness.h"
#include "tests/support/log_reader.h"

namespace {

const std::string kFingerHead = "{\"typeName\":\"TavoFingerBase64\",\"message\":\"";
const std::string kSignFingerHead = "{\"typeName\":\"TavoSignFBase64\",\"message\":\"";

// Command codes of the feature reports the pad received, in order.
std::vector<uint8_t> PadCommands() {
    std::vector<uint8_t> codes;
    for (const auto& report : vpad::FeatureReports())
        if (report.bytes.size() >= 2) codes.push_back(report.bytes[1]);
    return codes;
}

bool PadReceived(uint8_t code) {
    for (uint8_t c : PadCommands())
        if (c == code) return true;
    return false;
}

// The picture inside an image message with the given head; empty when the
// message has another form.
std::vector<uint8_t> PictureOf(const std::string& message, const std::string& head) {
    if (message.compare(0, head.size(), head) != 0 || message.size() < head.size() + 2 ||
        message.compare(message.size() - 2, 2, "\"}") != 0)
        return {};
    return DecodeBase64(message.substr(head.size(), message.size() - head.size() - 2));
}

// A signature stroke in the left part of the Canvas, as raw pad samples.
void QueueStroke() {
    for (int i = 0; i <= 40; ++i) {
        const int sx = 60 + 4 * i;
        const int sy = 120 + (i % 10) * 8;
        vpad::QueuePen(uint16_t(sx * 10206 / 600 + 1), uint16_t(sy * 7422 / 400 + 1), 600);
    }
}

class Capture : public CaptureLinkTest {
  protected:
    void StartFinger(const std::string& quality) {
        ASSERT_TRUE(peer_->Send("{\"typeName\":\"TavoStartFinger\",\"message\":{\"quality\":\"" +
                                quality + "\"}}"));
    }

    // Waits for every capture thread to end, then makes sure nothing more
    // came: the messages of a capture are all sent before its thread ends.
    // Callers first make sure the capture they wait for has begun.
    void ExpectNoMoreMessages() {
        ASSERT_TRUE(WaitForFingerCaptureThreads(20000));
        auto extra = peer_->Receive(300);
        EXPECT_FALSE(extra.has_value()) << extra->substr(0, 80);
    }

    ReaderDir dir_{kVirtualReaderLibrary};
};

TEST_F(Capture, FingerAloneComesBackOnceAsRedInkOnTransparency) {
    VirtualReaderSetFinger(1);
    StartFinger("100");
    auto message = peer_->Receive(20000);
    ASSERT_TRUE(message.has_value());
    const auto png = PictureOf(*message, kFingerHead);
    ASSERT_FALSE(png.empty()) << message->substr(0, 80);
    ExpectNoMoreMessages();

    WriteBytes("received.png", png);
    auto probe = ProbePicture("received.png");
    EXPECT_EQ(probe["format"], "PNG");
    EXPECT_EQ(probe["mode"], "RGBA");
    EXPECT_EQ(probe["width"], "128");
    EXPECT_EQ(probe["height"], "144");
    EXPECT_GT(std::stoi(probe["red"]), 128 * 144 / 5) << "ridges in red ink";
    EXPECT_GT(std::stoi(probe["clear"]), 128 * 144 / 5) << "white made transparent";
    EXPECT_EQ(probe["notredwhite"], "0") << "only red ink and white";
    // The file in the current directory is what was sent.
    EXPECT_EQ(ReadBytes(dir_.Path("finger.png")), png);

    // The pad showed the fingerprint screen, then was closed and released.
    const auto codes = PadCommands();
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes[codes.size() - 2], FingerCommand);
    EXPECT_EQ(codes.back(), CloseCommand);
    EXPECT_FALSE(vpad::IsOpen());
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
    EXPECT_FALSE(FingerCaptureRunning());
    EXPECT_EQ(VirtualReaderOverlaps(), 0);
}

TEST_F(Capture, SignatureThenFingerComeBackOnceAsOneComposite) {
    VirtualReaderSetFinger(1);
    ASSERT_TRUE(
        peer_->Send("{\"typeName\":\"TavoStartSignFinger\",\"message\":{\"quality\":\"100\","
                    "\"penwidth\":\"3\"}}"));
    ASSERT_TRUE(Eventually([] { return PadReceived(SignCommand); }));
    QueueStroke();
    vpad::QueueButton("OK");

    auto ok = peer_->Receive(20000);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(*ok, "{\"typeName\":\"TavoOK\"}");
    auto message = peer_->Receive(20000);
    ASSERT_TRUE(message.has_value());
    const auto png = PictureOf(*message, kSignFingerHead);
    ASSERT_FALSE(png.empty()) << message->substr(0, 80);
    ExpectNoMoreMessages();

    WriteBytes("received.png", png);
    auto probe = ProbePicture("received.png", {{200, 30}, {500, 330}});
    EXPECT_EQ(probe["mode"], "RGBA");
    EXPECT_EQ(probe["width"], "600");
    EXPECT_EQ(probe["height"], "355");
    // The fingerprint fills its place and nothing red lies outside it.
    int x0 = -1, y0 = -1, x1 = -1, y1 = -1;
    ASSERT_EQ(std::sscanf(probe["redbox"].c_str(), "%d %d %d %d", &x0, &y0, &x1, &y1), 4)
        << probe["redbox"];
    EXPECT_GE(x0, 344);
    EXPECT_LE(x1, 471);
    EXPECT_GE(y0, 106);
    EXPECT_LE(y1, 249);
    EXPECT_LE(x0, 350);
    EXPECT_GE(x1, 465);
    EXPECT_LE(y0, 112);
    EXPECT_GE(y1, 243);
    // The signature is there (ink that is not red), the background clear.
    EXPECT_GT(std::stoi(probe["notredwhite"]), 100);
    EXPECT_EQ(probe["px 200 30"], "255 255 255 0");
    EXPECT_EQ(probe["px 500 330"], "255 255 255 0");
    EXPECT_EQ(ReadBytes(dir_.Path("SignFP.png")), png);
    EXPECT_TRUE(Exists(dir_.Path("finger.png")));

    const auto codes = PadCommands();
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ(codes.front(), SignCommand);
    EXPECT_EQ(codes[codes.size() - 2], FingerCommand);
    EXPECT_EQ(codes.back(), CloseCommand);
    EXPECT_FALSE(vpad::IsOpen());
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
}

TEST_F(Capture, WithPenDataTheRecordComesBeforeTheCaptureAndTheCompositeAfter) {
    VirtualReaderSetFinger(0);  // the capture waits until the finger comes
    ASSERT_TRUE(
        peer_->Send("{\"typeName\":\"TavoStartSignFinger\",\"message\":{\"quality\":\"100\","
                    "\"penwidth\":\"3\",\"pendata\":\"1\"}}"));
    ASSERT_TRUE(Eventually([] { return PadReceived(SignCommand); }));
    QueueStroke();
    vpad::QueueButton("OK");

    const std::string batchHead = "{\"typeName\":\"TavoPenData\",\"message\":\"";
    const std::string recordHead = "{\"typeName\":\"TavoSignData\",\"message\":\"";
    std::string live;
    auto message = peer_->Receive(20000);
    while (message && message->compare(0, batchHead.size(), batchHead) == 0) {
        live += (live.empty() ? "" : ";") +
                message->substr(batchHead.size(), message->size() - batchHead.size() - 2);
        message = peer_->Receive(20000);
    }
    ASSERT_TRUE(message.has_value());
    ASSERT_EQ(message->compare(0, recordHead.size(), recordHead), 0) << message->substr(0, 80);
    const std::string record =
        message->substr(recordHead.size(), message->size() - recordHead.size() - 2);
    // The record holds the stroke's 41 samples, as they went out live.
    EXPECT_EQ(CountOf(live, ";") + 1, 41u);
    EXPECT_EQ(record.substr(record.find('|') + 1), live);
    EXPECT_NE(record.find(",n=41,cut=0|"), std::string::npos) << record.substr(0, 120);
    EXPECT_EQ(peer_->Receive(20000).value_or(""), "{\"typeName\":\"TavoOK\"}");

    // The capture runs after them, and its composite comes once the finger does.
    ASSERT_TRUE(Eventually([] { return VirtualReaderImagesTaken() >= 2; }));
    EXPECT_FALSE(peer_->Receive(200).has_value());
    VirtualReaderSetFinger(1);
    message = peer_->Receive(20000);
    ASSERT_TRUE(message.has_value());
    EXPECT_FALSE(PictureOf(*message, kSignFingerHead).empty()) << message->substr(0, 80);
    ExpectNoMoreMessages();
    const auto codes = PadCommands();
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ(codes.front(), SignCommand);
    EXPECT_EQ(codes[codes.size() - 2], FingerCommand);
    EXPECT_EQ(codes.back(), CloseCommand);
}

TEST_F(Capture, ReaderThatCannotOpenSendsNothingAndLeavesThePadToTheCloseCommand) {
    VirtualReaderSetOpenFails(1);
    VirtualReaderSetFinger(1);
    StartFinger("100");
    // Both ways of opening are tried.
    ASSERT_TRUE(Eventually([] { return VirtualReaderOpenCalls() >= 2; }));
    ExpectNoMoreMessages();
    EXPECT_EQ(VirtualReaderOpenCalls(), 2);
    EXPECT_TRUE(vpad::IsOpen());
    EXPECT_FALSE(PadReceived(FingerCommand));
    EXPECT_FALSE(FingerCaptureRunning());
    EXPECT_FALSE(Exists(dir_.Path("finger.png")));

    ASSERT_TRUE(peer_->Send("{\"typeName\":\"TavoCloseSign\"}"));
    ASSERT_TRUE(Eventually([] { return !vpad::IsOpen(); }));
    EXPECT_EQ(PadCommands().back(), CloseCommand);
}

TEST_F(Capture, FailedConversionSendsNothingAndReleasesTheReader) {
    VirtualReaderSetBmpFails(1);
    VirtualReaderSetFinger(1);
    StartFinger("100");
    ASSERT_TRUE(Eventually([] { return VirtualReaderImagesTaken() > 0; }));
    ExpectNoMoreMessages();
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
    EXPECT_FALSE(FingerCaptureRunning());
    EXPECT_TRUE(vpad::IsOpen());
    EXPECT_FALSE(Exists(dir_.Path("finger.png")));
}

TEST_F(Capture, CloseCommandEndsACaptureStillWaitingForAFinger) {
    StartFinger("100");
    ASSERT_TRUE(Eventually([] { return VirtualReaderImagesTaken() >= 3; }));
    EXPECT_EQ(VirtualReaderIsOpen(), 1);
    ASSERT_TRUE(peer_->Send("{\"typeName\":\"TavoCloseSign\"}"));
    // The capture ends first, then the pad is released.
    ASSERT_TRUE(Eventually([] { return !vpad::IsOpen(); }));
    ASSERT_TRUE(WaitForFingerCaptureThreads(20000));
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
    // A finger placed now is no longer looked at.
    const int taken = VirtualReaderImagesTaken();
    VirtualReaderSetFinger(1);
    ExpectNoMoreMessages();
    EXPECT_EQ(VirtualReaderImagesTaken(), taken);
}

TEST_F(Capture, QualityAbove300IsNeverMetAndTheCaptureEndsInTime) {
    SetFingerCaptureTimeoutMs(300);
    const size_t before =
        CountOf(ReadTodaysLog(OwnLogFolder()), "no image of the required quality");
    VirtualReaderSetFinger(1);
    StartFinger("301");
    ASSERT_TRUE(Eventually([] { return VirtualReaderImagesTaken() > 0; }));
    ExpectNoMoreMessages();
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
    EXPECT_FALSE(FingerCaptureRunning());
    EXPECT_TRUE(vpad::IsOpen());  // the page still closes the session
    EXPECT_EQ(CountOf(ReadTodaysLog(OwnLogFolder()), "no image of the required quality"),
              before + 1);
}

TEST_F(Capture, QualityBelowZeroTakesTheFirstImage) {
    StartFinger("-1");  // finger lifted: a blank image scores 0
    auto message = peer_->Receive(20000);
    ASSERT_TRUE(message.has_value());
    const auto png = PictureOf(*message, kFingerHead);
    ASSERT_FALSE(png.empty());
    ExpectNoMoreMessages();
    EXPECT_EQ(VirtualReaderImagesTaken(), 1);
    WriteBytes("blank.png", png);
    auto probe = ProbePicture("blank.png");
    EXPECT_EQ(probe["red"], "0");
    EXPECT_EQ(probe["clear"], std::to_string(128 * 144));
}

TEST_F(Capture, Quality300NeedsEveryBlock) {
    VirtualReaderSetFinger(1);  // the virtual finger textures all 301 blocks
    StartFinger("300");
    auto message = peer_->Receive(20000);
    ASSERT_TRUE(message.has_value());
    EXPECT_FALSE(PictureOf(*message, kFingerHead).empty());
    ExpectNoMoreMessages();
}

TEST_F(Capture, ANewCaptureEndsTheOldOneAndOnlyOneDrivesTheReader) {
    StartFinger("100");
    ASSERT_TRUE(Eventually([] { return VirtualReaderImagesTaken() >= 2; }));
    // Straight after, without the pad being reopened in between.
    StartFingerCapture();
    StartFingerCapture();
    const int taken = VirtualReaderImagesTaken();
    ASSERT_TRUE(Eventually([taken] { return VirtualReaderImagesTaken() >= taken + 3; }));
    VirtualReaderSetFinger(1);
    auto message = peer_->Receive(20000);
    ASSERT_TRUE(message.has_value());
    EXPECT_FALSE(PictureOf(*message, kFingerHead).empty());
    ExpectNoMoreMessages();
    EXPECT_EQ(VirtualReaderOverlaps(), 0);
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
    EXPECT_FALSE(vpad::IsOpen());
}

TEST_F(Capture, RepeatedStartCommandRestartsTheCapture) {
    StartFinger("100");
    ASSERT_TRUE(Eventually([] { return VirtualReaderImagesTaken() >= 2; }));
    StartFinger("100");
    ASSERT_TRUE(Eventually([] { return VirtualReaderImagesTaken() >= 6; }));
    VirtualReaderSetFinger(1);
    auto message = peer_->Receive(20000);
    ASSERT_TRUE(message.has_value());
    EXPECT_FALSE(PictureOf(*message, kFingerHead).empty());
    ExpectNoMoreMessages();
    EXPECT_EQ(VirtualReaderOverlaps(), 0);
    EXPECT_FALSE(vpad::IsOpen());
}

// The composite, from a signature delivered for a fingerprint and a
// fingerprint picture made the way the capture makes it.
class Composite : public ::testing::Test {
  protected:
    void SetUp() override {
        CreateCanvas();
        ClearCanvas();
        EmptyStrokePoints();
    }
    void TearDown() override {
        ResetCommandsForTests();
        ResetCanvasForTests();
    }

    // A fingerprint picture of solid red ink, 128 x 144.
    void MakeSolidFinger() {
        std::vector<uint8_t> ink(256 * 288, 0);
        ASSERT_EQ(WriteRedBmp(ink.data(), 8, 256, 288, FingerImagePath), 1);
        ASSERT_TRUE(ScaleImageFile(FingerImagePath, FingerImagePath, 2.0));
        CxImage picture = CreateImage();
        ASSERT_TRUE(LoadImageFile(picture, FingerImagePath));
        CopyImage(picture, MakeWhiteTransparent(picture));
        ASSERT_TRUE(SavePngFile(picture, FingerImagePath));
    }

    void DeliverStroke(uint8_t mode) {
        CaptureMode = mode;
        for (int i = 0; i <= 40; ++i)
            DrawPenPoint(PenSample{(60 + 4 * i) * 10206 / 600 + 1,
                                   (120 + (i % 10) * 8) * 7422 / 400 + 1, 600, 0});
        DeliverSignature();
    }

    ReaderDir dir_{""};
};

TEST_F(Composite, FingerprintLandsInColumns344To471AndRows106To249) {
    DeliverStroke(1);
    ASSERT_FALSE(SignPngPath().empty());
    MakeSolidFinger();
    ASSERT_EQ(ComposeSignFinger(), 0);
    auto probe =
        ProbePicture(CompositeImagePath,
                     {{344, 106}, {471, 249}, {343, 150}, {472, 150}, {400, 105}, {400, 250}});
    EXPECT_EQ(probe["mode"], "RGBA");
    EXPECT_EQ(probe["width"], "600");
    EXPECT_EQ(probe["height"], "355");
    EXPECT_EQ(probe["redbox"], "344 106 471 249");
    EXPECT_EQ(probe["red"], std::to_string(128 * 144));
    EXPECT_EQ(probe["px 344 106"], "240 0 0 255");
    EXPECT_EQ(probe["px 471 249"], "240 0 0 255");
    for (const char* outside : {"px 343 150", "px 472 150", "px 400 105", "px 400 250"})
        EXPECT_EQ(probe[outside], "255 255 255 0") << outside;
    EXPECT_GT(std::stoi(probe["notredwhite"]), 100) << "the signature stroke";
}

TEST_F(Composite, NoSignatureOfThisSessionMeansNoComposite) {
    // A delivery that sent its picture keeps none for a fingerprint; an old
    // sign.png beside the executable must not stand in for it.
    DeliverStroke(0);
    ASSERT_TRUE(SignPngPath().empty());
    MakeSolidFinger();
    WriteBytes(ExeDirectory() + "/sign.png", ReadBytes(FingerImagePath));
    EXPECT_EQ(ComposeSignFinger(), -1);
    EXPECT_FALSE(Exists(CompositeImagePath));
    std::remove((ExeDirectory() + "/sign.png").c_str());
}

}  // namespace
