#include "daemon/signals.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <thread>

#include "common/scratch_dir.h"
#include "config/settings.h"
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

// A signal delivered to another thread (a session's) is seen by the main
// loop: it wakes it (the wake-up descriptor becomes readable) and its work
// is done there. SIGHUP reloads the settings; SIGTERM asks for the stop.
TEST(Signals, SignalsOnAnotherThreadReachTheMainLoop) {
    TScratchDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string cfg = dir.File("zel.cfg");
    ASSERT_TRUE(WriteTextFile(cfg, "port=5050\npassword=x\nzelpath=/bin/sh\ncomment=before\n"));
    ZELSettings.Modify([&](TZELSettings& s) {
        s.cfgfile = String(cfg.c_str());
        s.port = 0;
    });
    String err;
    ASSERT_TRUE(ZELSettings.LoadOptions(err)) << err.Data();
    ASSERT_EQ(ZELSettings.Get()->comment, String("before"));
    ASSERT_TRUE(WriteTextFile(cfg, "port=5050\npassword=x\nzelpath=/bin/sh\ncomment=after\n"));

    InstallSignalHandlers(true);
    ZELFlags.Terminate = 0;
    struct {
        int sig;
        const char* name;
    } const cases[] = {{SIGHUP, "SIGHUP"}, {SIGTERM, "SIGTERM"}};
    for (const auto& c : cases) {
        std::thread session([&] { raise(c.sig); });  // raise() signals the calling thread
        session.join();
        pollfd p{SignalWakeDescriptor(), POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 10000), 1) << c.name;
        ProcessPendingSignals();
        p.revents = 0;
        EXPECT_EQ(poll(&p, 1, 0), 0) << c.name << ": the wake-up is drained";
    }
    EXPECT_EQ(ZELSettings.Get()->comment, String("after"));
    EXPECT_EQ(ZELFlags.Terminate.load(), 1);
    ZELFlags.Terminate = 0;
    signal(SIGHUP, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

}  // namespace
