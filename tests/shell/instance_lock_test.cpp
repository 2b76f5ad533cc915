// The single-instance lock within one process; the service test checks it
// between processes.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "tests/support/system.h"

namespace {

std::string Unique(const std::string& name) {
    return name + "-" + std::to_string(testsys::ProcessId());
}

TEST(InstanceLock, IsTakenOnceAndMatchesTheNameExactly) {
    const std::string name = Unique("Lock-Test.exe");
    EXPECT_TRUE(platform::TakeInstanceLock(name));
    EXPECT_FALSE(platform::TakeInstanceLock(name));
    // Letter case counts.
    EXPECT_TRUE(platform::TakeInstanceLock(Unique("lock-test.exe")));
    EXPECT_TRUE(platform::TakeInstanceLock(Unique("LOCK-TEST.EXE")));
    EXPECT_FALSE(platform::TakeInstanceLock(Unique("lock-test.exe")));
}

TEST(InstanceLock, LongNamesStayDistinct) {
    // Longer than some systems' lock names hold whole, within the 260 bytes
    // of an executable's path.
    const std::string stem = Unique(std::string(200, 'n'));
    EXPECT_TRUE(platform::TakeInstanceLock(stem + "a"));
    EXPECT_TRUE(platform::TakeInstanceLock(stem + "b"));
    EXPECT_TRUE(platform::TakeInstanceLock("x" + stem + "a"));
    EXPECT_FALSE(platform::TakeInstanceLock(stem + "a"));
    // Names with characters any file name may hold.
    EXPECT_TRUE(platform::TakeInstanceLock(Unique("with space;comma,(x)=$%")));
    EXPECT_FALSE(platform::TakeInstanceLock(Unique("with space;comma,(x)=$%")));
}

}  // namespace
