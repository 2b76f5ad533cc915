// The signals that end the service executable on systems that have them.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/shell/service_copy.h"
#include "tests/support/harness.h"

namespace {

TEST_F(ServiceTest, TermAndIntEndItWithZero) {
    for (int signal : {SIGTERM, SIGINT}) {
        Service service("penmora");
        ASSERT_TRUE(service.WaitServing());
        WsPeer peer(kPort);  // a session in progress changes nothing
        ASSERT_TRUE(peer.Connected());
        kill(static_cast<pid_t>(service.process().Id()), signal);
        EXPECT_TRUE(ExitedWithZero(service.WaitExit())) << signal;
    }
}

}  // namespace
