// Programs and scripts run by the real agent: the shipped site scripts, the
// time limit's group kill, the start-only look, reaping, signals, and a
// temporary folder left empty.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "common/proc_walk.h"
#include "foundation/escape.h"
#include "integration/agent_harness.h"

namespace zelit {
namespace {

const std::string kSiteDir = ZEL_TEST_DATA_DIR "/../../scripts/site";

using proc_walk::CountProcesses;
using proc_walk::TProcStat;

class AgentChildren : public ::testing::Test {
protected:
    void SetUp() override {
        TAgentConfig cfg;
        cfg.extraLines = {"proccntscript=" + kSiteDir + "/proccount.sh", "cpuusagescript=" + kSiteDir + "/cpuusage.sh",
                          "proclistscript=" + kSiteDir + "/proclist.sh", "delayforscripts=0"};
        agent_ = std::make_unique<TAgent>(cfg);
        ASSERT_TRUE(agent_->Start()) << agent_->StartError();
    }
    void TearDown() override {
        const long pid = agent_->Pid();
        // Every child of the agent is gone (reaped, none left running) and
        // nothing is left in its temporary folder.
        EXPECT_TRUE(WaitFor([&] { return CountProcesses([&](const TProcStat& p) { return p.ppid == pid; }) == 0; }));
        EXPECT_TRUE(std::filesystem::is_empty(agent_->Dir().File("tmp")));
        agent_->Stop();
        EXPECT_EQ(agent_->SanitizerReport(), "");
    }
    std::vector<std::string> Ask(const std::string& word, std::initializer_list<std::string> params = {}) {
        TReply r = agent_->Exchange(String(word), Params(params));
        EXPECT_TRUE(r.replied) << r.error;
        return ReplyLines(r.text);
    }
    std::unique_ptr<TAgent> agent_;
};

TEST_F(AgentChildren, ShippedSiteScripts) {
    std::vector<std::string> r = Ask("TEST-Process", {"", "zel"});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], "200");
    EXPECT_GE(std::atoi(r[1].c_str()), 1);  // the agent itself

    const std::string owned = agent_->Dir().File("owned");
    r = Ask("TEST-Process", {"", "x; touch " + owned});
    EXPECT_EQ(r, (std::vector<std::string>{"200", "0"}));
    EXPECT_FALSE(std::filesystem::exists(owned));

    r = Ask("TEST-CPU");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], "200");
    const double cpu = std::atof(r[1].c_str());
    EXPECT_GE(cpu, 0.0);
    EXPECT_LE(cpu, 100.0);

    r = Ask("GetProcessesList");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], "200");
    const std::string list = zelDecodeStrings(String(r[1])).Std();
    const std::string pid = std::to_string(agent_->Pid());
    EXPECT_NE(list.find("\r\n" + pid + std::string(7 - pid.size() + 1, ' ')), std::string::npos) << list;
}

TEST_F(AgentChildren, ChildrenStartWithDefaultSignals) {
    // The agent ignores SIGPIPE; its children must not.
    EXPECT_EQ(Ask("TEST-ExternalPrg", {"grep -q '^SigIgn:[[:space:]]*0*$' /proc/self/status", "", "", "5000"}),
              (std::vector<std::string>{"200", "0"}));
    EXPECT_EQ(Ask("TEST-ExternalPrg", {"sh -c 'yes | head -1'", "", "", "20000"}),
              (std::vector<std::string>{"200", "0"}));
}

TEST_F(AgentChildren, TimeLimitKillsTheGroup) {
    const std::string marker = agent_->Dir().File("X"), pidFile = agent_->Dir().File("pid");
    EXPECT_EQ(Ask("TEST-ExternalPrg",
                  {"sh -c 'echo $$ > " + pidFile + "; (sleep 4; touch " + marker + ") & wait'", "", "", "500"}),
              (std::vector<std::string>{"301", "abnormal termination"}));
    const long group = std::atol(ReadFile(pidFile).c_str());
    ASSERT_GT(group, 0);
    EXPECT_TRUE(WaitFor([&] {
        return CountProcesses([&](const TProcStat& p) { return p.pgrp == group && p.state != 'Z'; }) == 0;
    }));
    EXPECT_FALSE(std::filesystem::exists(marker));

    EXPECT_EQ(Ask("TEST-ShellScript", {"/bin/sh %script%", zelEncodeStrings(String("sleep 10\n")).Std(), "", "1", "0"}),
              (std::vector<std::string>{"301", "Script execution error: abnormal termination"}));
}

TEST_F(AgentChildren, StartOnlyLeavesNoZombie) {
    const std::string pidFile = agent_->Dir().File("pid");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ask("TEST-ExternalPrg", {"sh -c 'echo $$ > " + pidFile + "; exec sleep 10'", "", "", "-1"}),
              (std::vector<std::string>{"200", "0"}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
    const pid_t child = static_cast<pid_t>(std::atol(ReadFile(pidFile).c_str()));
    ASSERT_GT(child, 0);
    EXPECT_EQ(kill(child, 0), 0);  // still running on its own
    kill(child, SIGKILL);

    // Many short starts at once, some outliving the look.
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 25; ++i)
                Ask("TEST-ExternalPrg", {t == 0 && i < 2 ? "sleep 1.2" : "/bin/true", "", "", "-1"});
        });
    }
    for (std::thread& th : threads) th.join();
    const long pid = agent_->Pid();
    EXPECT_TRUE(WaitFor([&] {
        return CountProcesses([&](const TProcStat& p) { return p.ppid == pid && p.state == 'Z'; }) == 0;
    }));
}

}  // namespace
}  // namespace zelit
