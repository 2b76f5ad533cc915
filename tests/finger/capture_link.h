// The fixture of the fingerprint tests that drive a capture from a page: the
// virtual pad and reader at their start, the canvas, the link on a loopback
// port with a real WebSocket client connected, and everything reset after.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "commands/dispatch.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "devices/virtual_reader/virtual_reader.h"
#include "finger/capture.h"
#include "image/canvas.h"
#include "pad/session.h"
#include "tests/support/harness.h"

class CaptureLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vpad::Reset();
        VirtualReaderReset();
        VirtualReaderSetPaceMs(5);
        CreateCanvas();
        const uint16_t port = StartTestLink();
        ASSERT_NE(port, 0);
        peer_ = std::make_unique<WsPeer>(port);
        ASSERT_TRUE(peer_->Connected());
    }

    void TearDown() override {
        peer_.reset();
        ResetFingerCaptureForTests();
        ResetPadForTests();
        ResetCommandsForTests();
        VirtualReaderReset();
    }

    std::unique_ptr<WsPeer> peer_;
};
