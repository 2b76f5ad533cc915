// The fixture of link tests that need no pad: the link on its loopback port,
// with the virtual pad unplugged.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "devices/virtual_pad/virtual_pad.h"
#include "tests/support/harness.h"

// The link on its loopback port, with the virtual pad unplugged: every start
// command answers TavoError.
class UnpluggedPadLink : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = StartTestLink();
        ASSERT_NE(port_, 0);
        vpad::Reset();
        vpad::SetPlugged(false);
    }
    uint16_t port_ = 0;
};
