// The audit trail of the running agent: each refusal and each lifecycle
// event leaves one line in the failure log, whatever -v says; refusals from
// one address are limited, with the count left out; served requests reach
// the success log with the command word, the code and the duration, and no
// parameter.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/session_limits.h"
#include "integration/agent_harness.h"

namespace zelit {
namespace {

const char kNewPassword[] = "n3w-Audit-Secret";

// Times `fragment` occurs in `text`.
int CountOf(const std::string& text, const std::string& fragment) {
    int n = 0;
    for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++n;
    return n;
}

// The refusal lines of one address and reason stay one per hour here, so
// that the counts below do not depend on the speed of the machine.
class AgentAudit : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = getenv("ZEL_AUDIT_INTERVAL_MS");
        hadInterval = old != nullptr;
        if (hadInterval) savedInterval = old;
        setenv("ZEL_AUDIT_INTERVAL_MS", "3600000", 1);
    }
    void TearDown() override {
        if (hadInterval) setenv("ZEL_AUDIT_INTERVAL_MS", savedInterval.c_str(), 1);
        else unsetenv("ZEL_AUDIT_INTERVAL_MS");
    }
    bool hadInterval = false;
    std::string savedInterval;
};

// Connections from 127.0.0.4 that send the first bytes of a request and
// then nothing, beyond the per-address cap of an agent allowed 64
// descriptors: the excess is refused.
void FillTheSessionCap(TAgent& agent) {
    rlimit limit{};
    ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
    limit.rlim_cur = 64;
    ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
    const TSessionLimits caps = SessionLimitsFor(64);
    const String head = MakeRequestPacket(agent.Password(), NewSessionKey(), "GetInfo").Copy(1, 3);
    std::vector<TFd> clients;
    for (int i = 0; i < caps.perAddress + 5; ++i) {
        clients.push_back(ConnectLoopback(agent.Port(), "127.0.0.4"));
        ASSERT_TRUE(clients.back().Valid()) << i;
        SendAll(clients.back().Get(), head);
    }
    ASSERT_TRUE(agent.WaitForMessage("TCP connection refused: too many sessions")) << agent.Messages();
}

// An upgrade image that passes the self-check as the agent does and then
// runs the built agent with the arguments it was given.
std::string PassingImage() {
    std::string s = "#!/bin/sh\n# a new agent for the audit tests: the built one, started with the same arguments\n";
    s += std::string("exec '") + kAgentBinary + "' \"$@\"\n";
    return s;
}

TEST_F(AgentAudit, EachRefusalAndLifecycleEventLeavesOneLine) {
    // The executable an upgrade replaces: a copy, never the built agent.
    TScratchDir bin;
    const std::string zelCopy = bin.File("zel");
    ASSERT_TRUE(WriteFile(zelCopy, ReadFile(kAgentBinary)));
    ASSERT_EQ(chmod(zelCopy.c_str(), 0755), 0);
    const std::string image = bin.File("new-zel");
    ASSERT_TRUE(WriteFile(image, PassingImage()));
    struct Case {
        const char* name;
        std::vector<std::string> extraLines;
        bool daemon;
        std::function<void(TAgent&)> act;
        // Lines of the failure log, each expected once; $PID and $PORT stand
        // for the agent's.
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"start", {}, false, [](TAgent&) {}, {"zel\t\t Agent started: version 1.29, pid $PID, port $PORT\n"}},
        // A second agent on the port taken by the first, writing to its log.
        {"start that fails", {}, false,
         [](TAgent& a) {
             TAgentConfig second;
             second.verbose = false;
             second.port = a.Port();
             second.extraLines = {"badlogfile=" + a.BadLogPath()};
             TAgent other(second);
             EXPECT_FALSE(other.Start());
         },
         {"zel\t\t Start failed: TCP listen error on port $PORT: "}},
        {"wrong password", {}, false,
         [](TAgent& a) {
             TReply r = Exchange(a.Port(), "not-the-password", "GetInfo", TStrList(), FromAddress("127.0.0.2"));
             EXPECT_FALSE(r.replied);
         },
         {"127.0.0.2\t Request refused: wrong password or invalid packet\n"}},
        {"invalid packet", {}, false,
         [](TAgent& a) {
             TFd fd = ConnectLoopback(a.Port(), "127.0.0.3");
             ASSERT_TRUE(fd.Valid());
             SendAll(fd.Get(), String("\x10\0\0\0garbage-garbage-", 20));
             EXPECT_TRUE(ReceiveUntilClosed(fd.Get(), 15000).closed);
         },
         {"127.0.0.3\t Request refused: wrong password or invalid packet\n"}},
        {"address filtered", {"filteractive=1", "filterlist=127.0.0.1", "filtermarks=1"}, false,
         [](TAgent& a) {
             TReply r = a.Exchange("GetInfo", TStrList(), FromAddress("127.0.0.2"));
             EXPECT_FALSE(r.replied);
             EXPECT_TRUE(a.Exchange("GetInfo", TStrList(), FromAddress("127.0.0.1")).replied);
         },
         {"127.0.0.2\t TCP connection rejected\n"}},
        {"session cap", {"timeout=600000"}, false, FillTheSessionCap,
         {"127.0.0.4\t TCP connection refused: too many sessions\n"}},
        {"a test switched off", {"external=0"}, false,
         [](TAgent& a) {
             TReply r = a.Exchange("TEST-ExternalPrg", Params({"/bin/true"}));
             EXPECT_EQ(ReplyCode(r.text), "600");
         },
         {"127.0.0.1\t Request \"TEST-ExternalPrg\" refused: test is not allowed (600)\n"}},
        {"management from another address", {"manageaddr=127.0.0.1"}, false,
         [](TAgent& a) {
             TReply r = a.Exchange("QUIT", TStrList(), FromAddress("127.0.0.5"));
             EXPECT_EQ(ReplyCode(r.text), "600");
         },
         {"127.0.0.5\t Request \"QUIT\" refused: Operation is not allowed (600)\n"}},
        {"reload", {}, false,
         [](TAgent& a) { EXPECT_EQ(ReplyCode(a.Exchange("ReloadCfg").text), "200"); },
         {"127.0.0.1\t Configuration reloaded\n"}},
        {"reload that fails", {}, false,
         [](TAgent& a) {
             ASSERT_EQ(rename(a.ConfigPath().c_str(), (a.ConfigPath() + ".moved").c_str()), 0);
             EXPECT_EQ(ReplyCode(a.Exchange("ReloadCfg").text), "300");
             EXPECT_EQ(ReplyCode(a.Exchange("GetInfo").text), "200");
         },
         {"127.0.0.1\t Configuration reload failed, the settings in force are kept: Cannot open configuration "
          "file '$CFG'\n"}},
        {"reload on SIGHUP", {}, true, [](TAgent& a) { a.Kill(SIGHUP); },
         {"zel\t\t Configuration reloaded on SIGHUP\n"}},
        {"reload on SIGHUP that fails", {}, true,
         [](TAgent& a) {
             ASSERT_TRUE(WriteFile(a.ConfigPath(), "port=1\n"));
             a.Kill(SIGHUP);
         },
         {"zel\t\t Configuration reload on SIGHUP failed, the settings in force are kept: "}},
        {"settings changed remotely", {"comment=before"}, false,
         [](TAgent& a) {
             TReply r = a.Exchange("SetSettings", Params({"Comment=after", std::string("Password=") + kNewPassword,
                                                           "Port=" + std::to_string(a.Port())}));
             EXPECT_EQ(ReplyCode(r.text), "200");
             a.SetPassword(kNewPassword);
         },
         {"127.0.0.1\t Settings changed remotely: Comment, Password\n"}},
        {"restart", {}, false,
         [](TAgent& a) {
             EXPECT_EQ(ReplyCode(a.Exchange("ReloadApp").text), "200");
             ASSERT_TRUE(a.WaitForMessage("Listening...\n", 15000, 2)) << a.Messages();
         },
         {"zel\t\t Reload request received. Executing..\n"}},
        {"upgrade cut short", {}, false,
         [](TAgent& a) {
             // The image never follows the announcement.
             EXPECT_EQ(ReplyCode(a.Exchange("UpgradeCode", Params({"4096"})).text), "200");
         },
         {"127.0.0.1\t Upgrade transfer stopped: the connection closed\n"}},
        // The whole upgrade through zelq: the announcement, and the
        // script's outcome once the new agent listens.
        {"upgrade", {"allowupdates=1", "updateaddr=127.0.0.1", "zelpath=" + zelCopy}, false,
         [&image](TAgent& a) {
             TRunResult r = RunProgram({ZEL_BINARY_DIR "/tools/zelq", "-p", std::to_string(a.Port()), "-P",
                                        a.Password().Std(), "--upgrade", image});
             EXPECT_EQ(r.exitCode, 0) << r.output;
             EXPECT_TRUE(WaitFor([&] { return ReadFile(a.BadLogPath()).find("Upgrade installed: ") != std::string::npos; },
                                 30000))
                 << ReadFile(a.BadLogPath());
         },
         {"zel\t\t Upgrade request received. Executing..\n",
          "zel\t\t Upgrade installed: the new agent at " + zelCopy + " listens on port $PORT\n"}},
        {"stop", {}, false,
         [](TAgent& a) {
             EXPECT_EQ(ReplyCode(a.Exchange("QUIT").text), "200");
             EXPECT_TRUE(a.WaitExit(15000));
         },
         {"zel\t\t Terminate request received. Terminating..\n"}},
        {"stop by SIGTERM", {}, true,
         [](TAgent& a) {
             a.Kill(SIGTERM);
             EXPECT_TRUE(a.WaitExit(15000));
         },
         {"zel\t\t Terminate request received. Terminating..\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TAgentConfig cfg;
        cfg.verbose = false;
        cfg.daemon = c.daemon;
        cfg.extraLines = c.extraLines;
        TAgent agent(cfg);
        ASSERT_TRUE(agent.Start()) << agent.StartError();
        const pid_t pid = agent.Pid();
        const int port = agent.Port();
        c.act(agent);
        for (std::string line : c.lines) {
            line = std::regex_replace(line, std::regex("\\$PID"), std::to_string(pid));
            line = std::regex_replace(line, std::regex("\\$PORT"), std::to_string(port));
            line = std::regex_replace(line, std::regex("\\$CFG"), agent.ConfigPath());
            EXPECT_TRUE(WaitFor([&] { return CountOf(ReadFile(agent.BadLogPath()), line) >= 1; }))
                << line << "\n" << ReadFile(agent.BadLogPath());
            EXPECT_EQ(CountOf(ReadFile(agent.BadLogPath()), line), 1) << line;
        }
        // One start line per image: two after a restart or an upgrade, else one.
        bool replaced = false;
        for (const std::string& line : c.lines) replaced = replaced || line.find(" request received. Executing..") != std::string::npos;
        EXPECT_EQ(CountOf(ReadFile(agent.BadLogPath()), "Agent started: "), replaced ? 2 : 1);
        for (const std::string& log : {agent.BadLogPath(), agent.OkLogPath(), agent.VerboseLogPath()})
            EXPECT_EQ(ReadFile(log).find(kNewPassword), std::string::npos) << log;
        EXPECT_EQ(agent.SanitizerReport(), "");
    }
}

// Many refusals from one address within the interval: one line, and the
// count of those left out is written when the agent stops.
TEST_F(AgentAudit, RefusalsFromOneAddressAreCountedNotRepeated) {
    TAgentConfig cfg;
    cfg.verbose = false;
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    struct {
        const char* source;
        int refusals;
    } const cases[] = {{"127.0.0.6", 25}, {"127.0.0.7", 3}, {"127.0.0.8", 1}};
    for (const auto& c : cases)
        for (int i = 0; i < c.refusals; ++i)
            EXPECT_FALSE(Exchange(agent.Port(), "wrong", "GetInfo", TStrList(), FromAddress(c.source)).replied);
    EXPECT_EQ(ReplyCode(agent.Exchange("QUIT").text), "200");
    ASSERT_TRUE(agent.WaitExit(15000));
    const std::string bad = ReadFile(agent.BadLogPath());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        const std::string line = std::string(c.source) + "\t Request refused: wrong password or invalid packet";
        EXPECT_EQ(CountOf(bad, line + "\n"), 1) << bad;
        const std::string leftOut = line + ": " + std::to_string(c.refusals - 1) + " more not shown\n";
        EXPECT_EQ(CountOf(bad, leftOut), c.refusals > 1 ? 1 : 0) << bad;
        EXPECT_EQ(CountOf(bad, line), c.refusals > 1 ? 2 : 1) << bad;
    }
    // The counts come before the stop's own line.
    EXPECT_LT(bad.find("more not shown"), bad.find("Terminate request received"));
}

// With logsuccess on, each served request is one line of the success log:
// the address, the command word, the code and the duration, no parameter.
TEST_F(AgentAudit, ServedRequestsReachTheSuccessLogWithoutParameters) {
    struct {
        const char* name;
        const char* logsuccess;
        int served;  // lines expected
    } const cases[] = {{"logsuccess on", "logsuccess=1", 3}, {"logsuccess off", "logsuccess=0", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TAgentConfig cfg;
        cfg.verbose = false;
        cfg.extraLines = {c.logsuccess, "external=0"};
        TAgent agent(cfg);
        ASSERT_TRUE(agent.Start()) << agent.StartError();
        EXPECT_EQ(ReplyCode(agent.Exchange("GetInfo").text), "200");
        EXPECT_EQ(ReplyCode(agent.Exchange("TEST-ExternalPrg", Params({"/bin/true"})).text), "600");
        TReply r = agent.Exchange("SetSettings", Params({std::string("Password=") + kNewPassword}));
        EXPECT_EQ(ReplyCode(r.text), "200");
        agent.SetPassword(kNewPassword);
        const std::regex served("127\\.0\\.0\\.1\t Served (GetInfo: 200|TEST-ExternalPrg: 600|SetSettings: 200) "
                                "in [0-9]+ ms\n");
        auto count = [&] {
            const std::string ok = ReadFile(agent.OkLogPath());
            return static_cast<int>(std::distance(std::sregex_iterator(ok.begin(), ok.end(), served),
                                                  std::sregex_iterator()));
        };
        EXPECT_TRUE(WaitFor([&] { return count() >= c.served; })) << ReadFile(agent.OkLogPath());
        EXPECT_EQ(ReplyCode(agent.Exchange("QUIT").text), "200");
        ASSERT_TRUE(agent.WaitExit(15000));
        EXPECT_EQ(count(), c.served) << ReadFile(agent.OkLogPath());
        if (c.served == 0) {
            EXPECT_EQ(CountOf(ReadFile(agent.OkLogPath()), "Served "), 0);
        }
        for (const std::string& log : {agent.BadLogPath(), agent.OkLogPath()}) {
            EXPECT_EQ(ReadFile(log).find(kNewPassword), std::string::npos) << log;
            EXPECT_EQ(ReadFile(log).find("/bin/true"), std::string::npos) << log;
        }
    }
}

}  // namespace
}  // namespace zelit
