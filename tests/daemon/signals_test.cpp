#include "daemon/signals.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <atomic>
#include <chrono>
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

// Raises `sig` on a thread of its own (as when it lands on a session) and
// waits until the handler has run there, with no synchronisation between
// that thread and this one but the signal's own flags: the test then plays
// the main loop. The thread ends with the object.
class TRaisedElsewhere {
public:
    explicit TRaisedElsewhere(int sig) : thread_([this, sig] {
        raise(sig);  // raise() signals the calling thread
        raised_.store(true, std::memory_order_relaxed);
        while (!release_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }) {
        while (!raised_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
    ~TRaisedElsewhere() {
        release_.store(true, std::memory_order_relaxed);
        thread_.join();
    }

private:
    std::atomic<bool> raised_{false};
    std::atomic<bool> release_{false};
    std::thread thread_;
};

// A signal handled on another thread (a session's) is seen by the main
// loop: SIGHUP reloads the settings, SIGTERM asks for the stop.
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

    {
        TRaisedElsewhere hangup(SIGHUP);
        ProcessPendingSignals();
        EXPECT_EQ(ZELSettings.Get()->comment, String("after"));
    }
    {
        TRaisedElsewhere term(SIGTERM);
        ProcessPendingSignals();
        EXPECT_EQ(ZELFlags.Terminate.load(), 1);
    }
    ZELFlags.Terminate = 0;
    signal(SIGHUP, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

// The handlers wake the main loop's wait: the wake-up descriptor becomes
// readable, and ProcessPendingSignals drains it.
TEST(Signals, SignalsWakeTheMainLoop) {
    InstallSignalHandlers(false);
    ASSERT_GE(SignalWakeDescriptor(), 0);
    ZELFlags.Terminate = 0;
    TRaisedElsewhere term(SIGTERM);
    pollfd p{SignalWakeDescriptor(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 10000), 1);
    ProcessPendingSignals();
    p.revents = 0;
    EXPECT_EQ(poll(&p, 1, 0), 0);
    EXPECT_EQ(ZELFlags.Terminate.load(), 1);
    ZELFlags.Terminate = 0;
    signal(SIGTERM, SIG_DFL);
}

}  // namespace
