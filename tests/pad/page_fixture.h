// The fixture of the pad suites that sign through a page: the link on its
// loopback port and the Canvas, made once per suite; for each test a fresh
// pad and a page connected to the link, and at its end no pad handle left
// open.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "devices/virtual_pad/virtual_pad.h"
#include "image/canvas.h"
#include "pad/device.h"
#include "tests/support/harness.h"

class PadPageTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        port_ = StartTestLink();
        CreateCanvas();
    }

    void SetUp() override {
        ResetPadForTests();
        vpad::Reset();
        peer_ = std::make_unique<WsPeer>(port_);
        ASSERT_TRUE(peer_->Connected());
    }

    void TearDown() override {
        ResetPadForTests();
        EXPECT_EQ(vpad::GetUsage().openHandles, 0);
        peer_.reset();
    }

    static inline uint16_t port_ = 0;
    std::unique_ptr<WsPeer> peer_;
};
