// A signature from the virtual pad to a real WebSocket client: a scripted
// stroke, then OK; the page gets the transparent PNG and then TavoOK, and no
// file stays behind, or, with a fingerprint to follow, nothing is sent and
// sign.png stays for the composite.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

#include "commands/dispatch.h"
#include "commands/params.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "image/canvas.h"
#include "image/delivery.h"
#include "pad/device.h"
#include "pad/session.h"
#include "platform/platform.h"
#include "shell/log.h"
#include "tests/image/image_test_util.h"
#include "tests/support/harness.h"

namespace {

uint16_t RawX(int x) {
    return static_cast<uint16_t>(std::lround((x + 0.5) * 10206.0 / 600.0));
}
uint16_t RawY(int y) {
    return static_cast<uint16_t>(std::lround((y + 0.5) * 7422.0 / 400.0));
}

// Reads a TavoSignBase64 message as a page would (JSON, then Base64 with the
// padding restored) and describes the PNG inside it.
const char* const kReadSignature = R"(
import base64, io, json, sys
from PIL import Image
message = json.loads(open(sys.argv[1], 'rb').read().decode('ascii'))
encoded = message['message']
image = Image.open(io.BytesIO(base64.b64decode(encoded + '=' * (-len(encoded) % 4), validate=True)))
image.load()
pixels = list(image.getdata())
white = sum(1 for p in pixels if p == (255, 255, 255, 0))
print(message['typeName'], image.format, image.mode, image.size[0], image.size[1])
print('stroke', *image.getpixel((150, 120)), *image.getpixel((450, 120)))
print('corners', *image.getpixel((0, 0)), *image.getpixel((599, 354)))
print('alpha-from-blue', all(p[3] == 255 - p[2] for p in pixels))
print('mostly-clear', white > 600 * 355 - 20000)
)";

class SignatureEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = StartTestLink();
        ASSERT_NE(port_, 0);
        ResetPadForTests();
        ResetCommandsForTests();
        vpad::Reset();
        ResetCanvasForTests();
        CreateCanvas();
        directory_ = ExeDirectory();
        std::remove((directory_ + "/sign.png").c_str());
        peer_ = std::make_unique<WsPeer>(port_);
        ASSERT_TRUE(peer_->Connected());
    }
    void TearDown() override {
        peer_.reset();
        ResetPadForTests();
        ResetCommandsForTests();
        ResetCanvasForTests();
        vpad::Reset();
        std::remove((directory_ + "/sign.png").c_str());
    }

    // Waits until the pad received its sign command: the session runs and
    // its Canvas has been cleared, so reports queued now are all drawn.
    bool WaitForSigning() {
        for (int i = 0; i < 2000; ++i) {
            for (const auto& report : vpad::FeatureReports()) {
                if (report.bytes.size() > 1 && report.bytes[1] == SignCommand && report.accepted)
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // A stroke across the Canvas on row 120, pen lifted, then OK.
    void SignAndConfirm() {
        for (int x = 100; x <= 500; x += 10) vpad::QueuePen(RawX(x), RawY(120), 1023);
        vpad::QueuePen(RawX(500), RawY(120), 0);
        vpad::QueueButton("OK");
    }

    uint16_t port_ = 0;
    std::string directory_;
    std::unique_ptr<WsPeer> peer_;
    ScratchDir scratch_;
};

TEST_F(SignatureEndToEnd, SignaturePngArrivesBeforeTavoOK) {
    ASSERT_TRUE(peer_->Send(R"({"typeName":"TavoStartSign","message":{"penwidth":"5"}})"));
    ASSERT_TRUE(WaitForSigning());
    SignAndConfirm();

    const auto image = peer_->Receive(20000);
    ASSERT_TRUE(image.has_value());
    ASSERT_EQ(image->rfind("{\"typeName\":\"TavoSignBase64\",\"message\":\"", 0), 0u)
        << image->substr(0, 80);
    const auto ok = peer_->Receive(20000);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(*ok, "{\"typeName\":\"TavoOK\"}");

    WriteFileBytes(scratch_.Path("message"), std::vector<uint8_t>(image->begin(), image->end()));
    const CommandResult read = RunPython(kReadSignature, {scratch_.Path("message")});
    EXPECT_EQ(read.output,
              "TavoSignBase64 PNG RGBA 600 355\n"
              "stroke 0 0 0 255 0 0 0 255\n"
              "corners 255 255 255 0 255 255 255 0\n"
              "alpha-from-blue True\n"
              "mostly-clear True\n");
    EXPECT_FALSE(FileExists(directory_ + "/sign.bmp"));
    EXPECT_FALSE(FileExists(directory_ + "/sign.png"));
}

TEST_F(SignatureEndToEnd, WithFingerprintToFollowNothingIsSentAndSignPngStays) {
    ASSERT_TRUE(peer_->Send(
        R"({"typeName":"TavoStartSignFinger","message":{"penwidth":"5","quality":"10"}})"));
    ASSERT_TRUE(WaitForSigning());
    SignAndConfirm();

    const auto first = peer_->Receive(20000);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, "{\"typeName\":\"TavoOK\"}");
    EXPECT_FALSE(FileExists(directory_ + "/sign.bmp"));
    ASSERT_TRUE(FileExists(directory_ + "/sign.png"));
    EXPECT_EQ(SignPngPath(), directory_ + platform::kPathSeparator + "sign.png");
    const CommandResult read = RunPython(R"(
import sys
from PIL import Image
image = Image.open(sys.argv[1])
print(image.format, image.mode, image.size[0], image.size[1], *image.getpixel((300, 120)))
)",
                                         {directory_ + "/sign.png"});
    EXPECT_EQ(read.output, "PNG RGBA 600 355 0 0 0 255\n");
}

}  // namespace
