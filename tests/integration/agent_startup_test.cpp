// Start-up of the real agent: the console lines, the command-line and
// configuration failures with their exit codes, and daemon mode.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "integration/agent_harness.h"

namespace zelit {
namespace {

const char kRule[] = "-------------------------------------------------------------\n";

TEST(AgentStartup, InteractiveStartPrintsBannerAndChecksInOrder) {
    TAgentConfig cfg;
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    std::string console = agent.Console();
    const std::vector<std::string> inOrder = {
        kRule,
        " Application:  ZEL (Zelmark for Vantor)\n",
        " Version:      1.29 for Linux (Red Hat, Mandrake, SuSE)\n",
        kRule,
        "Command line checking .. Ok\n",
        "Settings checking .. Ok\n",
        "CPU testing .. Ok\n",
        "Basic encyption checking .. Ok\n",
        "ZEL encyption checking .. Ok\n",
        "Sock testing .. Ok\n",
        "Listening...\n",
    };
    size_t at = 0;
    for (const auto& line : inOrder) {
        size_t p = console.find(line, at);
        ASSERT_NE(p, std::string::npos) << "missing or out of order: " << line << "\nconsole:\n" << console;
        at = p + line.size();
    }
    EXPECT_EQ(console.find("Daemon started"), std::string::npos);
    // Interactive mode writes no pid file.
    EXPECT_FALSE(PathExists(agent.PidFilePath()));
}

TEST(AgentStartup, PortOptionOverridesTheConfiguredPort) {
    int other = FreeLoopbackPort();
    ASSERT_NE(other, 0);
    TAgentConfig cfg;
    cfg.extraArgs = {"-p", std::to_string(other)};
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    ASSERT_NE(other, agent.Port());
    agent.SetPort(other);
    TReply r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "Port"), std::to_string(other));
}

// How a failing start-up is set up: the arguments placed before the
// configuration path (or the whole argument list), the configuration keys
// left out or added, and whether the port is held busy.
struct TStartFailure {
    const char* name;
    std::vector<std::string> args;  // "{cfg}" stands for the configuration path
    std::vector<std::string> omitKeys;
    std::vector<std::string> extraLines;
    bool busyPort;
    int exitCode;
    std::vector<std::string> output;  // texts the console shows, in order
};

void PrintTo(const TStartFailure& c, std::ostream* os) { *os << c.name; }

const char kHelpFirst[] = " Usage: zel [-d|-i] [-v|-vd] [-p <port>] <cfg_file>\n";
const char kHelpLast[] = "  zel -d ~/zel/zel.cfg\n";

const TStartFailure kStartFailures[] = {
    {"NoArguments", {}, {}, {}, false, 1,
     {"Command line checking .. Error\nInvalid or missed command line parameter\n\n", kHelpFirst,
      "  -p <port> - overrides TCP port number specified in cfg_file\n", kHelpLast}},
    {"PortZero", {"-i", "-p", "0", "{cfg}"}, {}, {}, false, 1,
     {"Command line checking .. Error\nInvalid port number\n\n", kHelpFirst, kHelpLast}},
    {"PortAboveRange", {"-i", "-p", "65536", "{cfg}"}, {}, {}, false, 1,
     {"Command line checking .. Error\nInvalid port number\n\n", kHelpFirst}},
    {"PortOptionWithoutValue", {"-i", "-p"}, {}, {}, false, 1,
     {"Error\nInvalid or missed command line parameter\n\n", kHelpFirst}},
    {"OnlyOptions", {"-i", "-v"}, {}, {}, false, 1, {"Error\nInvalid or missed command line parameter\n\n"}},
    {"ConfigurationMissing", {"-i", "{cfg}.absent"}, {}, {}, false, 1,
     {"Settings checking .. Error\nCannot open configuration file '", "Please check '"}},
    {"NoPassword", {"-i", "{cfg}"}, {"password"}, {}, false, 1,
     {"Settings checking .. Error\n", "Password is not specified!", "Please check '"}},
    {"NoPort", {"-i", "{cfg}"}, {"port"}, {}, false, 1,
     {"Settings checking .. Error\n", "is not specified!", "Please check '"}},
    {"NoAgentPath", {"-i", "{cfg}"}, {"zelpath"}, {}, false, 1,
     {"Settings checking .. Error\n", "Full path to the agent is not specified!"}},
    {"AgentPathAbsent", {"-i", "{cfg}"}, {"zelpath"}, {"zelpath=/nonexistent/zel"}, false, 1,
     {"Settings checking .. Error\n", "Invalid path to the agent!"}},
    {"ConfiguredPortOutOfRange", {"-i", "{cfg}"}, {"port"}, {"port=70000"}, false, 4,
     {"Settings checking .. Ok\n", "Sock testing .. TCP listen error:\nInvalid port number\n"}},
    {"PortInUse", {"-i", "{cfg}"}, {}, {}, true, 4,
     {"Settings checking .. Ok\n", "Sock testing .. TCP listen error:\n"}},
    {"PortInUseDaemonMode", {"-d", "{cfg}"}, {}, {}, true, 4, {"Sock testing .. TCP listen error:\n"}},
};

class AgentStartupFailure : public ::testing::TestWithParam<TStartFailure> {};

TEST_P(AgentStartupFailure, ExitsWithItsCodeAndMessage) {
    const TStartFailure& c = GetParam();
    TScratchDir dir;
    ASSERT_TRUE(dir.Valid());
    TBusyPort busy;
    ASSERT_NE(busy.port, 0);
    int port = c.busyPort ? busy.port : FreeLoopbackPort();
    TAgentConfig cfg;
    cfg.omitKeys = c.omitKeys;
    cfg.extraLines = c.extraLines;
    std::string cfgPath = dir.File("zel.cfg");
    ASSERT_TRUE(WriteFile(cfgPath, AgentConfigText(cfg, dir.Path(), port)));

    std::vector<std::string> argv{kAgentBinary};
    for (const auto& a : c.args) {
        std::string arg = a;
        if (arg.rfind("{cfg}", 0) == 0) arg = cfgPath + arg.substr(5);
        argv.push_back(arg);
    }
    TRunResult run = RunProgram(argv);
    ASSERT_TRUE(run.exited) << run.output;
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    EXPECT_EQ(run.output.rfind(kRule, 0), 0u) << "the banner comes first:\n" << run.output;
    size_t at = 0;
    for (const auto& text : c.output) {
        size_t p = run.output.find(text, at);
        ASSERT_NE(p, std::string::npos) << "missing or out of order: " << text << "\noutput:\n" << run.output;
        at = p + text.size();
    }
    EXPECT_EQ(run.output.find("Listening..."), std::string::npos);
    EXPECT_EQ(run.output.find("Daemon started"), std::string::npos);
    // No daemon was left behind.
    EXPECT_TRUE(PidsWithArgument(cfgPath).empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, AgentStartupFailure, ::testing::ValuesIn(kStartFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ daemon mode

TAgentConfig DaemonConfig() {
    TAgentConfig cfg;
    cfg.daemon = true;
    return cfg;
}

std::string PidText(pid_t pid) { return std::to_string(pid) + "\n"; }

TEST(AgentDaemon, DetachesWritesItsPidFileAndServes) {
    TAgent agent(DaemonConfig());
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    EXPECT_NE(agent.Console().find("Daemon started\n"), std::string::npos) << agent.Console();
    // The daemon's own messages no longer reach the console.
    EXPECT_EQ(agent.Console().find("Listening..."), std::string::npos);
    EXPECT_EQ(ReadFile(agent.PidFilePath()), PidText(agent.Pid()));
    // A session of its own.
    EXPECT_EQ(getsid(agent.Pid()), agent.Pid());
    TReply r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
}

// A second daemon whose pid file another agent holds stops instead of
// serving beside it (two agents would rewrite one configuration file).
TEST(AgentDaemon, SecondDaemonOnTheSamePidFileStops) {
    TAgent first(DaemonConfig());
    ASSERT_TRUE(first.Start()) << first.StartError();

    TAgentConfig cfg = DaemonConfig();
    cfg.omitKeys = {"pidfile"};
    cfg.extraLines = {"pidfile=" + first.PidFilePath()};
    cfg.readyTimeoutMs = 5000;
    TAgent second(cfg);
    EXPECT_FALSE(second.Start());
    const std::string message = "Failed to lock pid file " + first.PidFilePath() + ": another agent (process " +
                                std::to_string(first.Pid()) + ") holds it. Stopping\n";
    EXPECT_TRUE(WaitFor([&] { return ReadFile(second.BadLogPath()).find(message) != std::string::npos; }))
        << ReadFile(second.BadLogPath());
    EXPECT_TRUE(WaitFor([&] { return PidsWithArgument(second.ConfigPath()).empty(); }));
    EXPECT_EQ(second.Messages().find("Listening..."), std::string::npos);

    // The first daemon keeps its pid file and serves on.
    EXPECT_EQ(ReadFile(first.PidFilePath()), PidText(first.Pid()));
    TReply r = first.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
}

TEST(AgentDaemon, HangupReloadsTheSettings) {
    TAgentConfig cfg = DaemonConfig();
    cfg.extraLines = {"comment=before"};
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    TReply r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "Comment"), "before");

    cfg.extraLines = {"comment=after the hang-up"};
    ASSERT_TRUE(WriteFile(agent.ConfigPath(), AgentConfigText(cfg, agent.Dir().Path(), agent.Port())));
    agent.Kill(SIGHUP);
    EXPECT_TRUE(WaitFor([&] {
        TReply again = agent.Exchange("GetInfo");
        return again.replied && ReplyValue(again.text, "Comment") == "after the hang-up";
    }));
    EXPECT_TRUE(agent.Running());
}

// The start and every reload report each problem of the address lists once:
// an item that does not parse, an entry left off for want of a mark.
TEST(AgentDaemon, StartAndHangupReportAddressListProblems) {
    TAgentConfig cfg = DaemonConfig();
    cfg.extraLines = {"filterlist=127.0.0.1 10.0.0.300 10.0.0.9", "filtermarks=11", "manageaddr=127.0.0.1,localhost"};
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const std::vector<std::string> warnings = {
        "Warning: filterlist: Invalid IP address (10.0.0.300) specified\n",
        "Warning: filterlist: Entry (10.0.0.9) has no filter mark and is off\n",
        "Warning: manageaddr: Invalid IP address (localhost) specified\n",
    };
    for (const std::string& w : warnings) EXPECT_TRUE(agent.WaitForMessage(w)) << w << agent.Messages();

    agent.Kill(SIGHUP);
    for (const std::string& w : warnings) EXPECT_TRUE(agent.WaitForMessage(w, 10000, 2)) << w << agent.Messages();
    // Once each per load, and the agent serves on (management from loopback).
    TReply r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    r = agent.Exchange("ReloadCfg");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyLines(r.text), (std::vector<std::string>{"200", "Ok"}));
    for (const std::string& w : warnings) EXPECT_TRUE(agent.WaitForMessage(w, 10000, 3)) << w << agent.Messages();
    const std::string messages = agent.Messages();
    for (const std::string& w : warnings) {
        size_t count = 0;
        for (size_t at = messages.find(w); at != std::string::npos; at = messages.find(w, at + 1)) ++count;
        EXPECT_EQ(count, 3u) << w << messages;
    }
}

TEST(AgentDaemon, QuitEndsWithCodeZeroAndRemovesThePidFile) {
    TAgent agent(DaemonConfig());
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    ASSERT_TRUE(PathExists(agent.PidFilePath()));
    TReply r = agent.Exchange("QUIT");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyLines(r.text), (std::vector<std::string>{"200", "Ok"}));
    int status = -1;
    ASSERT_TRUE(agent.WaitExit(15000, &status));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(PathExists(agent.PidFilePath()));
    EXPECT_NE(agent.Messages().find("Terminate request received. Terminating..\n"), std::string::npos);
}

// A service manager stops the agent with SIGTERM: it ends as it does on a
// QUIT request.
TEST(AgentDaemon, TermSignalEndsWithCodeZeroAndRemovesThePidFile) {
    TAgent agent(DaemonConfig());
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    ASSERT_TRUE(PathExists(agent.PidFilePath()));
    agent.Kill(SIGTERM);
    int status = -1;
    ASSERT_TRUE(agent.WaitExit(15000, &status));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(PathExists(agent.PidFilePath()));
    EXPECT_NE(agent.Messages().find("Terminate request received. Terminating..\n"), std::string::npos)
        << agent.Messages();
}

}  // namespace
}  // namespace zelit
