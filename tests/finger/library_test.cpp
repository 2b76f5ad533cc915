// Loading the reader's library from the current directory, and the calling
// contract of the virtual reader that stands in for the maker's.
#include "finger/library.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "commands/messages.h"
#include "devices/virtual_reader/virtual_reader.h"
#include "finger/TavoSign.h"
#include "finger/capture.h"
#include "tests/finger/finger_test_util.h"
#include "tests/support/log_reader.h"

namespace {

bool AllSlotsSet() {
    const FingerLibraryRef held = CurrentFingerLibrary();
    if (!held) return false;
    const FingerLibrary& l = *held;
    return l.module && l.ZAZOpenDeviceEx && l.ZAZCloseDeviceEx && l.ZAZUpImage && l.ZAZGetImage &&
           l.ZAZImgData2BMP && l.ZAZErr2Str && l.ZAZShowFingerData;
}

bool SlotEmpty() {
    return CurrentFingerLibrary() == nullptr && FingerLibrariesHeld() == 0;
}

TEST(LoadFingerLibrary, BindsAllSevenEntryPointsFromTheCurrentDirectory) {
    ReaderDir dir(kVirtualReaderLibrary);
    ASSERT_EQ(LoadFingerLibrary(), 0);
    EXPECT_TRUE(AllSlotsSet());
    EXPECT_EQ(FingerLibrariesHeld(), 1);
    FreeFingerLibrary();
    EXPECT_TRUE(SlotEmpty());
}

TEST(LoadFingerLibrary, AReleasedLibraryStaysLoadedWhileItIsStillUsed) {
    ReaderDir dir(kVirtualReaderLibrary);
    FingerLibraryRef inUse;
    ASSERT_EQ(LoadFingerLibrary(&inUse), 0);
    ASSERT_EQ(inUse, CurrentFingerLibrary());
    // A second load, as a new capture makes it, and a release of the slot,
    // as when a capture is ended, leave the first load to its user.
    ASSERT_EQ(LoadFingerLibrary(), 0);
    EXPECT_NE(inUse, CurrentFingerLibrary());
    EXPECT_EQ(FingerLibrariesHeld(), 2);
    FreeFingerLibraryIfCurrent(inUse);  // not the one in the slot: nothing changes
    EXPECT_TRUE(AllSlotsSet());
    FreeFingerLibrary();
    EXPECT_EQ(FingerLibrariesHeld(), 1);
    EXPECT_EQ(inUse->ZAZCloseDeviceEx(0), 0);  // still callable
    inUse.reset();
    EXPECT_TRUE(SlotEmpty());
}

TEST(LoadFingerLibrary, NoLibraryInTheCurrentDirectoryFails) {
    ReaderDir dir("");  // the library is elsewhere, in the build folder, but not searched for
    EXPECT_EQ(LoadFingerLibrary(), -1);
    EXPECT_TRUE(SlotEmpty());
}

TEST(LoadFingerLibrary, MissingEntryPointIsLoggedAndFails) {
    ReaderDir dir(kIncompleteReaderLibrary);
    const size_t before = CountOf(ReadTodaysLog(OwnLogFolder()), msg::kLogFingerSymbolsMissing);
    EXPECT_EQ(LoadFingerLibrary(), -1);
    EXPECT_TRUE(SlotEmpty());
    const std::string log = ReadTodaysLog(OwnLogFolder());
    // At least one more: a test of another process may add its own meanwhile.
    EXPECT_GE(CountOf(log, msg::kLogFingerSymbolsMissing), before + 1);
    // Its line carries the tag "error".
    const size_t at = log.rfind(msg::kLogFingerSymbolsMissing);
    ASSERT_NE(at, std::string::npos);
    const size_t lineStart = log.rfind('\n', at) == std::string::npos ? 0 : log.rfind('\n', at) + 1;
    EXPECT_EQ(log.compare(lineStart, 7, "error: "), 0) << log.substr(lineStart, at - lineStart);
}

TEST(LoadFingerLibrary, CaptureStartsNoThreadWithoutALibrary) {
    const std::string note = "fingerprint capture not started: no usable reader library";
    for (const char* library : {kIncompleteReaderLibrary, ""}) {
        ReaderDir dir(library);
        const size_t before = CountOf(ReadTodaysLog(OwnLogFolder()), note);
        EXPECT_EQ(StartFingerCapture(), 0);
        EXPECT_FALSE(FingerCaptureRunning());
        EXPECT_TRUE(WaitForFingerCaptureThreads(0));
        EXPECT_EQ(CountOf(ReadTodaysLog(OwnLogFolder()), note), before + 1);
    }
}

// The virtual reader keeps the contract the capture relies on.
class VirtualReaderContract : public ::testing::Test {
  protected:
    void SetUp() override {
        VirtualReaderReset();
        VirtualReaderSetPaceMs(0);
        ASSERT_EQ(LoadFingerLibrary(&library_), 0);
    }
    void TearDown() override {
        FreeFingerLibrary();
        VirtualReaderReset();
    }
    ReaderDir dir_{kVirtualReaderLibrary};
    FingerLibraryRef library_;
};

TEST_F(VirtualReaderContract, OpensWithEitherKindAndWritesTheHandle) {
    uint32_t handle = 0;
    EXPECT_EQ(library_->ZAZCloseDeviceEx(0), 0);  // closing a closed reader is harmless
    EXPECT_EQ(library_->ZAZOpenDeviceEx(&handle, 2, 0, 0, 2, 0), 0);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(VirtualReaderIsOpen(), 1);
    EXPECT_EQ(library_->ZAZCloseDeviceEx(0), 0);
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
    handle = 0;
    EXPECT_EQ(library_->ZAZOpenDeviceEx(&handle, 0, 0, 0, 2, 0), 0);
    EXPECT_NE(handle, 0u);

    VirtualReaderSetOpenFails(1);
    EXPECT_EQ(library_->ZAZCloseDeviceEx(0), 0);
    EXPECT_NE(library_->ZAZOpenDeviceEx(&handle, 2, 0, 0, 2, 0), 0);
    EXPECT_NE(library_->ZAZOpenDeviceEx(&handle, 0, 0, 0, 2, 0), 0);
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
}

TEST_F(VirtualReaderContract, WritesTheEightBitBmpOfTheImage) {
    uint32_t handle = 0;
    ASSERT_EQ(library_->ZAZOpenDeviceEx(&handle, 2, 0, 0, 2, 0), 0);
    VirtualReaderSetFinger(1);
    std::vector<uint8_t> image(kReaderImageBytes, 0);
    int length = 0;
    library_->ZAZGetImage(handle, kReaderAddress);
    library_->ZAZUpImage(handle, kReaderAddress, image.data(), &length);
    EXPECT_EQ(length, kReaderImageBytes);
    ASSERT_EQ(library_->ZAZImgData2BMP(image.data(), "./finger.png"), 0);

    const auto file = ReadBytes("finger.png");
    ASSERT_EQ(file.size(), 14u + 40u + 1024u + 256u * 288u);
    EXPECT_EQ(Le32At(file, 10), 1078u);
    EXPECT_EQ(Le32At(file, 14), 40u);
    EXPECT_EQ(Le32At(file, 18), 256u);
    EXPECT_EQ(Le32At(file, 22), 288u);
    EXPECT_EQ(file[28], 8);
    // Bottom row first.
    EXPECT_TRUE(std::memcmp(&file[1078], &image[287 * 256], 256) == 0);
    auto read = ReadBmp8("finger.png");
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->pixels, image);
    // An independent reader agrees.
    auto probe = ProbePicture("finger.png", {{0, 0}, {100, 200}});
    EXPECT_EQ(probe["format"], "BMP");
    EXPECT_EQ(probe["mode"], "L");
    EXPECT_EQ(probe["width"], "256");
    EXPECT_EQ(probe["height"], "288");
    const int g00 = image[0], g = image[200 * 256 + 100];
    EXPECT_EQ(probe["px 0 0"],
              std::to_string(g00) + " " + std::to_string(g00) + " " + std::to_string(g00) + " 255");
    EXPECT_EQ(probe["px 100 200"],
              std::to_string(g) + " " + std::to_string(g) + " " + std::to_string(g) + " 255");

    VirtualReaderSetBmpFails(1);
    const int failure = library_->ZAZImgData2BMP(image.data(), "./other.bmp");
    EXPECT_NE(failure, 0);
    EXPECT_NE(library_->ZAZErr2Str(failure), nullptr);
    EXPECT_FALSE(Exists("other.bmp"));
}

TEST_F(VirtualReaderContract, ImagesNeedAnOpenReader) {
    uint32_t handle = 0;
    std::vector<uint8_t> image(kReaderImageBytes, 7);
    int length = 0;
    EXPECT_NE(library_->ZAZGetImage(handle, kReaderAddress), 0);
    EXPECT_NE(library_->ZAZUpImage(handle, kReaderAddress, image.data(), &length), 0);
    EXPECT_EQ(image, std::vector<uint8_t>(kReaderImageBytes, 7));
    EXPECT_EQ(VirtualReaderImagesTaken(), 0);
}

}  // namespace
