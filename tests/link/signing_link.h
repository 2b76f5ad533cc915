// The fixture of link tests that sign on the virtual pad: the link on its
// loopback port, the pad plugged in and the canvas made, and the signer's
// part of a signature.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "commands/dispatch.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "image/canvas.h"
#include "pad/device.h"
#include "pad/session.h"
#include "shell/log.h"
#include "tests/pad/pad_test_util.h"
#include "tests/support/harness.h"

class SigningLink : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = StartTestLink();
        ASSERT_NE(port_, 0);
        vpad::Reset();
        ResetPadForTests();
        ResetCommandsForTests();
        ResetCanvasForTests();
        CreateCanvas();
    }
    void TearDown() override {
        ResetPadForTests();
        ResetCanvasForTests();
        vpad::Reset();
        std::remove((ExeDirectory() + "/sign.png").c_str());
    }
    uint16_t port_ = 0;
};

// The signer's part, once a page has sent "TavoStartSign": waits until the pad
// has accepted the start, draws a stroke and presses OK. False when the pad
// never started.
inline bool SignOnThePad() {
    const bool started = padtest::WaitFor(
        [] {
            for (const auto& report : vpad::FeatureReports())
                if (report.bytes.size() > 1 && report.bytes[1] == SignCommand && report.accepted)
                    return true;
            return false;
        },
        10000);
    if (!started) return false;
    for (int x = 1000; x <= 9000; x += 200) vpad::QueuePen(static_cast<uint16_t>(x), 2200, 1023);
    vpad::QueuePen(9000, 2200, 0);
    vpad::QueueButton("OK");
    return true;
}

// What a page receives for a signature: the PNG's Base64, then "TavoOK".
inline void ExpectSignatureAndOk(const std::optional<std::string>& image,
                                 const std::optional<std::string>& ok) {
    ASSERT_TRUE(image) << "no signature arrived";
    EXPECT_EQ(image->rfind("{\"typeName\":\"TavoSignBase64\",\"message\":\"iVBORw0KGgo", 0), 0u)
        << image->substr(0, 60);
    EXPECT_EQ(ok, "{\"typeName\":\"TavoOK\"}");
}
