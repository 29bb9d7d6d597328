// The real agent's own process count, CPU usage and process list: no site
// script configured, no child process started.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/proc_walk.h"
#include "foundation/escape.h"
#include "integration/agent_harness.h"

namespace zelit {
namespace {

TEST(AgentBuiltInProcess, AnswersWithoutAChild) {
    TAgentConfig cfg;
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    auto ask = [&](const std::string& word, const std::vector<std::string>& params) {
        TStrList list;
        for (const std::string& p : params) list.Add(String(p));
        TReply r = agent.Exchange(String(word), list);
        EXPECT_TRUE(r.replied) << r.error;
        return ReplyLines(r.text);
    };
    std::vector<std::string> r = ask("TEST-Process", {"", "zel"});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], "200");
    EXPECT_GE(std::atoi(r[1].c_str()), 1);  // the agent itself
    EXPECT_EQ(ask("TEST-Process", {"", ""}),
              (std::vector<std::string>{"501", "Name of the process is not specified"}));

    for (int i = 0; i < 2; ++i) {  // the first waits for the first interval
        r = ask("TEST-CPU", {});
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0], "200");
        EXPECT_GE(std::atof(r[1].c_str()), 0.0);
        EXPECT_LE(std::atof(r[1].c_str()), 100.0);
    }

    r = ask("GetProcessesList", {});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], "200");
    const std::string list = zelDecodeStrings(String(r[1])).Std();
    EXPECT_EQ(list.rfind("PID     USER         NAME            COMMAND\r\n", 0), 0u);
    std::string pid = std::to_string(agent.Pid());
    pid.resize(8, ' ');
    EXPECT_NE(list.find("\r\n" + pid), std::string::npos) << list;

    // Nothing was run: no child, nothing in the temporary folder.
    const long agentPid = agent.Pid();
    EXPECT_EQ(proc_walk::CountProcesses([&](const proc_walk::TProcStat& st) { return st.ppid == agentPid; }), 0);
    EXPECT_TRUE(std::filesystem::is_empty(agent.Dir().File("tmp")));
    agent.Stop();
    EXPECT_EQ(agent.SanitizerReport(), "");
}

}  // namespace
}  // namespace zelit
