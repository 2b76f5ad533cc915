// The reader's library is looked for in the current directory only: not in
// the executable's folder, not on the search path, and not as the library of
// that name which this process has already loaded.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "finger/library.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "platform/platform.h"
#include "tests/finger/finger_test_util.h"

namespace {

TEST(ReaderLibrary, IsFoundInTheCurrentDirectoryOnly) {
    // This test imports the virtual reader, so a library of that very name
    // is loaded, from a folder on the search path.
    const std::string name =
        std::filesystem::path(platform::kFingerLibraryPath).filename().string();
    ASSERT_NE(GetModuleHandleA(name.c_str()), nullptr);
    {
        ReaderDir elsewhere("");
        EXPECT_EQ(LoadFingerLibrary(), -1);
        EXPECT_EQ(CurrentFingerLibrary(), nullptr);
    }
    {
        ReaderDir here(kVirtualReaderLibrary);
        FingerLibraryRef loaded;
        ASSERT_EQ(LoadFingerLibrary(&loaded), 0);
        ASSERT_NE(loaded, nullptr);
        EXPECT_NE(loaded->ZAZOpenDeviceEx, nullptr);
        FreeFingerLibrary();
    }
}

}  // namespace
