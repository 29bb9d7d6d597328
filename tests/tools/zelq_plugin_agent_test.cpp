// zelq --plugin against the real agent on loopback: the status line and the
// exit status for each kind of answer, and the text-log state across runs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

#include <string>
#include <vector>

#include "common/proc_walk.h"
#include "zelq_run.h"

namespace {

using zelqt::Args;
using zelqt::Zelq;

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

class ZelqPluginAgent : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        agent_ = new zelit::TAgent();
        if (!agent_->Start()) startError_ = agent_->StartError();
        zelit::TAgentConfig off;
        off.extraLines = {"foldersize=0"};
        strict_ = new zelit::TAgent(off);
        if (startError_.empty() && !strict_->Start()) startError_ = strict_->StartError();
    }
    static void TearDownTestSuite() {
        delete agent_;
        delete strict_;
        agent_ = strict_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(startError_.empty()) << startError_; }

    static Args Base(const zelit::TAgent& a, const std::string& password = "") {
        return {"--plugin", "-p", std::to_string(a.Port()), "-P",
                password.empty() ? a.Password().Std() : password};
    }
    static zelit::TRunResult Check(const Args& args, const Args& env = {}) {
        Args all = Base(*agent_);
        all.insert(all.end(), args.begin(), args.end());
        return Zelq(all, env);
    }

    static zelit::TAgent* agent_;
    static zelit::TAgent* strict_;
    static std::string startError_;
    zelit::TScratchDir scratch_;
};

zelit::TAgent* ZelqPluginAgent::agent_ = nullptr;
zelit::TAgent* ZelqPluginAgent::strict_ = nullptr;
std::string ZelqPluginAgent::startError_;

TEST_F(ZelqPluginAgent, StatusesOfReplies) {
    const std::string folder = scratch_.File("data");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_TRUE(zelit::WriteFile(folder + "/a", std::string(1000, 'x')));
    const std::string closed = std::to_string(zelit::FreeLoopbackPort());
    const std::string own = std::to_string(agent_->Port());
    const struct {
        const char* label;
        Args args;
        int status;
        std::string line;  // the whole output, or its beginning when prefix is set
        bool prefix;
    } cases[] = {
        {"OK", {"TEST-FolderSize", folder}, 0, "FOLDERSIZE OK: size 1000 B | size=1000B;;;0\n", false},
        {"WARNING", {"-w", "500", "-c", "2000", "TEST-FolderSize", folder}, 1,
         "FOLDERSIZE WARNING: size 1000 B | size=1000B;500;2000;0\n", false},
        {"CRITICAL", {"-w", "500", "-c", "800", "TEST-FolderSize", folder}, 2,
         "FOLDERSIZE CRITICAL: size 1000 B | size=1000B;500;800;0\n", false},
        {"inside range", {"-c", "@1000:1000", "TEST-FolderSize", folder}, 2, "FOLDERSIZE CRITICAL: size 1000 B", true},
        {"count", {"-w", "0", "TEST-CountFiles", folder, "*", "0", "0", "0"}, 1,
         "COUNTFILES WARNING: count 1 | count=1;0;;0\n", false},
        {"file found", {"TEST-FileExists", folder + "/a"}, 0,
         "FILEEXISTS OK: found " + folder + "/a | found=1;;1:;0;1\n", false},
        {"file missing", {"TEST-FileExists", folder + "/none"}, 2,
         "FILEEXISTS CRITICAL: no such file or acess denied | found=0;;1:;0;1\n", false},
        {"folder missing", {"TEST-FolderSize", folder + "/none/"}, 2,
         "FOLDERSIZE CRITICAL: Folder/File doesn`t exist or access denied\n", false},
        {"probe of the agent's own port", {"-c", "100000", "TEST-TCP", "127.0.0.1", own, "2000", "", "0"}, 0,
         "TCP OK: time ", true},
        {"probe of a closed port", {"TEST-TCP", "127.0.0.1", closed, "2000", "", "0"}, 2,
         "TCP CRITICAL: Connection refused -6\n", false},
        {"wrong parameter", {"TEST-CountFiles", folder, "*", "0", "9"}, 3,
         "COUNTFILES UNKNOWN: 501 wrong or missing parameters: Wrong parameter\n", false},
        {"value line by position", {"--value", "3", "-c", "10:", "TEST-UNC", "/"}, 0, "UNC OK: available ", true},
        {"no value, the first line", {"--service", "ZEL", "GetInfo"}, 0, "ZEL OK: AgentName=", true},
        {"usage error", {"-w", "1:0", "TEST-CPU"}, 3, "ZELQ UNKNOWN: -w: \"1:0\" is no range (its start lies above its end)\n",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const zelit::TRunResult r = Check(c.args);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitCode, c.status) << r.output;
        if (c.prefix) EXPECT_TRUE(StartsWith(r.output, c.line)) << r.output;
        else EXPECT_EQ(r.output, c.line);
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
    }
}

TEST_F(ZelqPluginAgent, FailuresOfTheExchange) {
    // A test switched off on the agent: UNKNOWN with the agent's text.
    Args args = Base(*strict_);
    args.insert(args.end(), {"-c", "10", "TEST-FolderSize", "/"});
    zelit::TRunResult r = Zelq(args);
    EXPECT_EQ(r.exitCode, 3) << r.output;
    EXPECT_EQ(r.output, "FOLDERSIZE UNKNOWN: 600 not allowed by the agent's settings: test is not allowed\n");

    // A wrong password: the agent answers nothing; UNKNOWN.
    args = Base(*agent_, "not-the-password");
    args.push_back("GetInfo");
    r = Zelq(args);
    EXPECT_EQ(r.exitCode, 3) << r.output;
    EXPECT_TRUE(StartsWith(r.output, "GETINFO UNKNOWN: no reply: the agent refused the request")) << r.output;
    EXPECT_EQ(r.output.find("not-the-password"), std::string::npos);

    // A refused port: CRITICAL.
    const int closed = zelit::FreeLoopbackPort();
    r = Zelq({"--plugin", "-p", std::to_string(closed), "-P", "x", "TEST-CPU"});
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(r.output, "CPU CRITICAL: cannot connect to 127.0.0.1:" + std::to_string(closed) + ": Connection refused\n");

    // A peer that never answers: CRITICAL after the time-out.
    zelit::TBusyPort silent;
    r = Zelq({"--plugin", "-t", "0.3", "-p", std::to_string(silent.port), "-P", "x", "GetInfo"});
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_TRUE(StartsWith(r.output, "GETINFO CRITICAL: timed out after 0.3 s")) << r.output;

    // No password at all: UNKNOWN, one line.
    r = Zelq({"--plugin", "-p", std::to_string(closed), "GetInfo"});
    EXPECT_EQ(r.exitCode, 3) << r.output;
    EXPECT_TRUE(StartsWith(r.output, "GETINFO UNKNOWN: no password")) << r.output;
}

TEST_F(ZelqPluginAgent, TextLogReportsOnlyAppendedLines) {
    const std::string log = scratch_.File("app.log");
    const std::string state = scratch_.File("state/app.state");
    ASSERT_TRUE(zelit::WriteFile(log, "old error line\nquiet\n"));
    auto run = [&] { return Check({"--state", state, "TEST-TextLog", log, "error"}); };
    auto append = [&](const std::string& text) {
        ASSERT_TRUE(zelit::WriteFile(log, zelit::ReadFile(log) + text));
    };

    // 1: the existing content is never reported; the end is recorded.
    zelit::TRunResult r = run();
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "TEXTLOG OK: first scan: the end of the log is recorded | matches=0;;0;0\n");
    ASSERT_TRUE(zelit::PathExists(state));

    // 2: two matching lines and one other appended.
    append("disk error on sda\nall good\nnetwork error on eth0\n");
    r = run();
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(r.output, "TEXTLOG CRITICAL: 2 new matching lines, the last: network error on eth0 | matches=2;;0;0\n");

    // 3: nothing new, then one more matching line with the caller's ranges.
    r = run();
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "TEXTLOG OK: no new matching lines | matches=0;;0;0\n");
    append("late error\n");
    r = Check({"--state", state, "-w", "0", "-c", "3", "TEST-TextLog", log, "error"});
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_EQ(r.output, "TEXTLOG WARNING: 1 new matching line: late error | matches=1;0;3;0\n");

    // The state names the end of the log; no temporary file is left beside it.
    const std::string text = zelit::ReadFile(state);
    EXPECT_NE(text.find("\nsize=" + std::to_string(zelit::ReadFile(log).size()) + "\n"), std::string::npos) << text;
    std::vector<std::string> names;
    ASSERT_TRUE(proc_walk::EntryNames(scratch_.File("state"), names));
    EXPECT_EQ(names, std::vector<std::string>{"app.state"});

    // A state file of something else: the scan starts afresh and says so.
    ASSERT_TRUE(zelit::WriteFile(state, "not a state\n"));
    r = run();
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("first scan"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("held no state of this check"), std::string::npos) << r.output;

    // A failed exchange leaves the state alone, so no line is lost.
    const std::string before = zelit::ReadFile(state);
    append("lost error?\n");
    r = Zelq({"--plugin", "-p", std::to_string(zelit::FreeLoopbackPort()), "-P", "x", "--state", state,
              "TEST-TextLog", log, "error"});
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(zelit::ReadFile(state), before);
    r = run();
    EXPECT_EQ(r.output, "TEXTLOG CRITICAL: 1 new matching line: lost error? | matches=1;;0;0\n");
}

TEST_F(ZelqPluginAgent, TextLogStateInTheCacheFolder) {
    const std::string log = scratch_.File("svc.log");
    ASSERT_TRUE(zelit::WriteFile(log, "start\n"));
    const std::string cache = scratch_.File("cache");
    const Args env{"XDG_CACHE_HOME=" + cache};
    zelit::TRunResult r = Check({"TEST-TextLog", log, "fail"}, env);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::vector<std::string> names;
    ASSERT_TRUE(proc_walk::EntryNames(cache + "/zelq", names)) << r.output;
    std::erase_if(names, [](const std::string& n) { return n[0] == '.'; });
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(StartsWith(names[0], "textlog-")) << names[0];

    ASSERT_TRUE(zelit::WriteFile(log, "start\nfail 1\n"));
    r = Check({"TEST-TextLog", log, "fail"}, env);
    EXPECT_EQ(r.exitCode, 2) << r.output;
    // Another search text is another check with a state of its own.
    r = Check({"TEST-TextLog", log, "start"}, env);
    EXPECT_NE(r.output.find("first scan"), std::string::npos) << r.output;
    // With HOME instead of XDG_CACHE_HOME.
    r = Check({"TEST-TextLog", log, "fail"}, {"HOME=" + scratch_.File("home")});
    EXPECT_NE(r.output.find("first scan"), std::string::npos) << r.output;
    EXPECT_TRUE(zelit::PathExists(scratch_.File("home/.cache/zelq")));
    // Neither: UNKNOWN.
    r = Check({"TEST-TextLog", log, "fail"});
    EXPECT_EQ(r.exitCode, 3) << r.output;
    EXPECT_NE(r.output.find("give --state FILE"), std::string::npos) << r.output;
}

TEST_F(ZelqPluginAgent, TextLogAlarmLastsUntilReset) {
    const std::string log = scratch_.File("alarm.log");
    const std::string state = scratch_.File("alarm.state");
    ASSERT_TRUE(zelit::WriteFile(log, "boot\n"));
    // File, scan-all off, alarm filter "down", reset filter "up".
    auto run = [&] {
        return Check({"--state", state, "TEST-TextLog2", log, "0", "down", "0", "0", "0", "1", "up", "0", "0", "0"});
    };
    EXPECT_EQ(run().exitCode, 0);
    ASSERT_TRUE(zelit::WriteFile(log, "boot\nlink down\n"));
    zelit::TRunResult r = run();
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(r.output, "TEXTLOG2 CRITICAL: alarm: link down (1 new matching line) | alarm=1;;0;0;1\n");
    r = run();  // nothing new: the alarm stands
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(r.output, "TEXTLOG2 CRITICAL: alarm: link down | alarm=1;;0;0;1\n");
    ASSERT_TRUE(zelit::WriteFile(log, "boot\nlink down\nlink up\n"));
    r = run();
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "TEXTLOG2 OK: reset: link up (1 new matching line) | alarm=0;;0;0;1\n");
}

TEST(ZelqPluginHelp, DescribesPluginModeAndFleets) {
    const zelit::TRunResult help = Zelq({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* part : {"--plugin", "-w RANGE", "-c RANGE", "--value N", "--state FILE", "--service NAME",
                             "--hosts FILE", "--parallel N", "@10:20", "~:10", "XDG_CACHE_HOME", "TEST-UNC",
                             "free bytes", "0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN", "timeout|noreply|error",
                             "# N hosts: A answered, F failed, T timed out"})
        EXPECT_NE(help.output.find(part), std::string::npos) << part;
}

}  // namespace
