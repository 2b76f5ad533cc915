// The texture test that decides when a reader image is good enough, on
// hand-made images and on the virtual reader's.
#include <gtest/gtest.h>

#include <vector>

#include "devices/virtual_reader/virtual_reader.h"
#include "finger/capture.h"
#include "finger/library.h"
#include "tests/finger/finger_test_util.h"

namespace {

// A light image with one sample block (top-left corner at row r, column c)
// whose four corners are `delta` levels darker than its centre (or lighter,
// for the corners named in `lighter`).
std::vector<uint8_t> OneBlock(int r, int c, int delta, bool mixed = false) {
    std::vector<uint8_t> image = MakeReaderImage([](int, int) { return uint8_t(128); });
    auto at = [&](int row, int column) -> uint8_t& { return image[row * 256 + column]; };
    at(r, c) = uint8_t(128 - delta);
    at(r, c + 4) = uint8_t(mixed ? 128 + delta : 128 - delta);
    at(r + 4, c) = uint8_t(128 - delta);
    at(r + 4, c + 4) = uint8_t(mixed ? 128 + delta : 128 - delta);
    return image;
}

TEST(CountTexturedBlocks, UniformImageScoresZero) {
    for (int level : {0, 77, 255}) {
        auto image = MakeReaderImage([level](int, int) { return uint8_t(level); });
        EXPECT_EQ(CountTexturedBlocks(image.data()), 0) << "level " << level;
    }
}

TEST(CountTexturedBlocks, BlockCountsFromScore100) {
    // First, middle and last block of the sample grid.
    for (auto [r, c] : {std::pair{15, 20}, std::pair{135, 125}, std::pair{255, 230}}) {
        EXPECT_EQ(CountTexturedBlocks(OneBlock(r, c, 25).data()), 1) << r << "," << c;
        EXPECT_EQ(CountTexturedBlocks(OneBlock(r, c, 24).data()), 0) << r << "," << c;
        // Differences count by their size, whichever side they lie on.
        EXPECT_EQ(CountTexturedBlocks(OneBlock(r, c, 25, true).data()), 1) << r << "," << c;
    }
}

TEST(CountTexturedBlocks, OnlyTheSampleGridIsLookedAt) {
    // Blocks just off the grid (one row or column away) do not count.
    EXPECT_EQ(CountTexturedBlocks(OneBlock(16, 20, 60).data()), 0);
    EXPECT_EQ(CountTexturedBlocks(OneBlock(15, 22, 60).data()), 0);
    EXPECT_EQ(CountTexturedBlocks(OneBlock(14, 20, 60).data()), 0);
}

TEST(CountTexturedBlocks, StripesScoreAll301) {
    // Stripes two rows high: every centre differs from its corners by 255.
    auto image = MakeReaderImage([](int row, int) { return uint8_t((row / 2) % 2 ? 255 : 0); });
    EXPECT_EQ(CountTexturedBlocks(image.data()), 301);
}

TEST(CountTexturedBlocks, BlocksAreCountedSeparately) {
    // Every block of one band: 43.
    auto image = MakeReaderImage([](int, int) { return uint8_t(128); });
    for (int c = 20; c <= 230; c += 5) {
        image[95 * 256 + c] = image[95 * 256 + c + 4] = 60;
        image[99 * 256 + c] = image[99 * 256 + c + 4] = 60;
    }
    EXPECT_EQ(CountTexturedBlocks(image.data()), 43);
}

// The virtual reader's images, taken through the service's own binding.
class VirtualReaderImages : public ::testing::Test {
  protected:
    void SetUp() override {
        VirtualReaderReset();
        VirtualReaderSetPaceMs(0);
        ASSERT_EQ(LoadFingerLibrary(&reader_), 0);
        ASSERT_EQ(reader_->ZAZOpenDeviceEx(&handle_, 2, 0, 0, 2, 0), 0);
    }
    void TearDown() override {
        if (reader_) reader_->ZAZCloseDeviceEx(0);
        FreeFingerLibrary();
        VirtualReaderReset();
    }
    int Score() {
        std::vector<uint8_t> image(kReaderImageBytes, 0x11);
        int length = 0;
        reader_->ZAZGetImage(handle_, kReaderAddress);
        reader_->ZAZUpImage(handle_, kReaderAddress, image.data(), &length);
        EXPECT_EQ(length, kReaderImageBytes);
        return CountTexturedBlocks(image.data());
    }

    ReaderDir dir_{kVirtualReaderLibrary};
    FingerLibraryRef reader_;
    uint32_t handle_ = 0;
};

TEST_F(VirtualReaderImages, PlacedFingerScoresHighLiftedScoresZero) {
    EXPECT_EQ(Score(), 0);
    VirtualReaderSetFinger(1);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Score(), 301) << "image " << i;
    VirtualReaderSetFinger(0);
    EXPECT_EQ(Score(), 0);
}

}  // namespace
