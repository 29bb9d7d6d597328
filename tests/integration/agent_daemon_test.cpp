// Daemon mode as a service manager sees it: the process it started leaves
// only once the pid file names the serving process, at the first start and
// again after a restart, where the re-executed image detaches once more (a
// service manager follows the daemon through the pid file it reads when the
// process it knows ends).
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "integration/agent_harness.h"

extern char** environ;

namespace zelit {
namespace {

// Ends and reaps every process still serving the configuration.
struct TDaemonReaper {
    std::string cfgPath;
    ~TDaemonReaper() {
        for (pid_t pid : PidsWithArgument(cfgPath)) {
            kill(pid, SIGKILL);
            WaitChild(pid, 10000);
        }
    }
};

TEST(AgentDaemonStart, TheStartingProcessLeavesOnlyOnceThePidFileNamesTheServingOne) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    TScratchDir dir;
    ASSERT_TRUE(dir.Valid());
    const int port = FreeLoopbackPort();
    ASSERT_NE(port, 0);
    TAgentConfig cfg;
    const std::string cfgPath = dir.File("zel.cfg");
    const std::string pidPath = dir.File("zel.pid");
    ASSERT_TRUE(WriteFile(cfgPath, AgentConfigText(cfg, dir.Path(), port)));
    TDaemonReaper reaper{cfgPath};

    pid_t first = -1;
    const char* argv[] = {kAgentBinary, "-d", cfgPath.c_str(), nullptr};
    ASSERT_EQ(posix_spawn(&first, kAgentBinary, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    ASSERT_EQ(WaitChild(first, 15000), 0);
    // At the moment the first process is gone.
    const pid_t serving = PidFromFile(pidPath);
    ASSERT_GT(serving, 0) << "no pid file when the starting process ended";
    EXPECT_NE(serving, first);
    EXPECT_EQ(kill(serving, 0), 0);
    EXPECT_TRUE(ConnectLoopback(port).Valid());

    // A restart: the same process runs the agent again, which detaches.
    TReply r = Exchange(port, String(cfg.password.c_str()), "ReloadApp");
    ASSERT_TRUE(r.replied) << r.error;
    ASSERT_EQ(ReplyCode(r.text), "200");
    ASSERT_EQ(WaitChild(serving, 15000), 0);
    const pid_t next = PidFromFile(pidPath);
    ASSERT_GT(next, 0) << "no pid file when the restarted process ended";
    EXPECT_NE(next, serving);
    EXPECT_EQ(kill(next, 0), 0);
    EXPECT_TRUE(ConnectLoopback(port).Valid());
    TReply again = Exchange(port, String(cfg.password.c_str()), "GetInfo");
    ASSERT_TRUE(again.replied) << again.error;
    EXPECT_EQ(ReplyCode(again.text), "200");
}

}  // namespace
}  // namespace zelit
