#include "daemon/signals.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "daemon/flags.h"

namespace {

// A SIGSEGV sent to an agent that has run for more than three minutes asks
// the main loop for a restart; the handler itself only records it.
TEST(Signals, LateSegvRequestsARestart) {
    ZELFlags.StartTime = time(nullptr) - 200;
    ZELFlags.Reload = 0;
    InstallSignalHandlers(false);
    ASSERT_EQ(raise(SIGSEGV), 0);
    EXPECT_EQ(ZELFlags.Reload.load(), 0);  // nothing done inside the handler
    ProcessPendingSignals();
    EXPECT_EQ(ZELFlags.Reload.load(), 1);
    // Further SIGSEGVs are ignored until the restart.
    struct sigaction now {};
    sigaction(SIGSEGV, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    signal(SIGSEGV, SIG_DFL);
    ZELFlags.Reload = 0;
}

}  // namespace
