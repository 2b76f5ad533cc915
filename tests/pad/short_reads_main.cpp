// The main of the pad suites that run many signing sessions in one process:
// short reads keep each session's end quick.
#include <gtest/gtest.h>

#include "pad/pen_input.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    SetPenPollIntervalForTests(5);
    return RUN_ALL_TESTS();
}
