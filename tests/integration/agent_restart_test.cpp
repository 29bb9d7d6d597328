// Restart by ReloadApp, a restart that cannot run, and a port change that
// finds the new port taken.
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "integration/agent_harness.h"

namespace zelit {
namespace {

// Within its first three minutes an agent that receives SIGSEGV reports the
// fault and ends by it (no restart loop for an agent that crashes at once).
TEST(AgentRestart, EarlySegmentationFaultIsReportedAndEndsTheAgent) {
    TAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    agent.Kill(SIGSEGV);
    int status = -1;
    ASSERT_TRUE(agent.WaitExit(15000, &status));
    EXPECT_EQ(status, 128 + SIGSEGV);
    EXPECT_NE(agent.Messages().find("Segmentation fault!!\n"), std::string::npos) << agent.Messages();
    EXPECT_EQ(agent.Messages().find("Restarting.."), std::string::npos);
}

TEST(AgentRestart, ReloadAppReplacesTheImageWithoutLeakingDescriptors) {
    TAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const pid_t pid = agent.Pid();
    const int idleDescriptors = OpenDescriptorCount(pid);
    TReply r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;

    r = agent.Exchange("ReloadApp");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyLines(r.text), (std::vector<std::string>{"200", "Ok"}));
    ASSERT_TRUE(agent.WaitForMessage("Listening...\n", 15000, 2)) << agent.Messages();
    EXPECT_NE(agent.Messages().find("Reload request received. Executing..\n"), std::string::npos);
    EXPECT_TRUE(agent.Running());
    EXPECT_EQ(agent.Pid(), pid);

    // A new image: the counters start again.
    r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "OpenedConnections"), "1");
    // Neither the old listening socket nor a client socket came along.
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptorCount(pid) == idleDescriptors; }))
        << OpenDescriptorCount(pid) << " descriptors, " << idleDescriptors << " after the first start";
    EXPECT_EQ(agent.SanitizerReport(), "");
}

// A child still running when the agent restarts in the foreground is the
// new image's child: once it ends, the new image reaps it (no zombie stays).
TEST(AgentRestart, ChildrenOfTheFormerImageAreReaped) {
    TAgentConfig cfg;
    cfg.extraLines = {"external=1"};
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    // Started without waiting; the odd length names it among the processes.
    TReply r = agent.Exchange("TEST-ExternalPrg", Params({"sleep 2.7182", "", "", "-1"}));
    ASSERT_TRUE(r.replied) << r.error;
    ASSERT_EQ(ReplyCode(r.text), "200") << r.text.Data();
    std::vector<pid_t> sleepers = PidsWithArgument("2.7182");
    ASSERT_EQ(sleepers.size(), 1u);
    const std::string stat = "/proc/" + std::to_string(sleepers[0]) + "/stat";

    r = agent.Exchange("ReloadApp");
    ASSERT_TRUE(r.replied) << r.error;
    ASSERT_TRUE(agent.WaitForMessage("Listening...\n", 15000, 2)) << agent.Messages();
    // Gone for good once it ends, not left as a zombie of the agent.
    EXPECT_TRUE(WaitFor([&] { return !PathExists(stat); }, 15000)) << ReadFile(stat);
    EXPECT_TRUE(agent.Running());
    EXPECT_EQ(agent.SanitizerReport(), "");
}

TEST(AgentRestart, FailedRestartKeepsServingWithItsPidFile) {
    TAgentConfig cfg;
    cfg.daemon = true;
    cfg.omitKeys = {"zelpath"};
    TScratchDir files;
    ASSERT_TRUE(files.Valid());
    const std::string notExecutable = files.File("zel-copy");
    ASSERT_TRUE(WriteFile(notExecutable, "not a program\n"));
    ASSERT_EQ(chmod(notExecutable.c_str(), 0644), 0);
    cfg.extraLines = {"zelpath=" + notExecutable};
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const std::string pidText = std::to_string(agent.Pid()) + "\n";
    ASSERT_EQ(ReadFile(agent.PidFilePath()), pidText);

    TReply r = agent.Exchange("ReloadApp");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
    ASSERT_TRUE(agent.WaitForMessage("Error: cannot start new instance\n")) << agent.Messages();

    // The same image serves on, with its counters and its pid file.
    EXPECT_TRUE(WaitFor([&] {
        TReply again = agent.Exchange("GetInfo");
        return again.replied && std::atoi(ReplyValue(again.text, "OpenedConnections").c_str()) >= 2;
    }));
    EXPECT_TRUE(WaitFor([&] { return ReadFile(agent.PidFilePath()) == pidText; }));
    EXPECT_TRUE(agent.Running());
}

// A restart whose new process would fail its start-up checks is refused: the
// agent logs why and serves on in the same image, until the file is mended.
TEST(AgentRestart, RestartIsRefusedWhileTheFileWouldNotStart) {
    TAgentConfig cfg;
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const std::string good = ReadFile(agent.ConfigPath());
    const struct {
        std::vector<std::string> omit;
        std::vector<std::string> extra;
        const char* reason;
    } cases[] = {
        {{"port"}, {"port=70000"}, "TCP port is out of range (1-65535)!\n"},
        {{"port"}, {}, "TCP post is not specified!\n"},
        {{"password"}, {}, "Password is not specified!\n"},
        {{"zelpath"}, {"zelpath=" + agent.Dir().File("no-such-agent")}, "Invalid path to the agent!\n"},
    };
    const char kRefused[] = "Restart refused: the configuration file fails the start-up checks: ";
    int refusals = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        TAgentConfig bad = cfg;
        bad.omitKeys = c.omit;
        bad.extraLines = c.extra;
        ASSERT_TRUE(WriteFile(agent.ConfigPath(), AgentConfigText(bad, agent.Dir().Path(), agent.Port())));
        TReply r = agent.Exchange("ReloadApp");
        ASSERT_TRUE(r.replied) << r.error;
        EXPECT_EQ(ReplyLines(r.text), (std::vector<std::string>{"200", "Ok"}));
        ASSERT_TRUE(agent.WaitForMessage(std::string(kRefused) + c.reason, 15000, 1)) << agent.Messages();
        ++refusals;
        ASSERT_TRUE(agent.WaitForMessage(kRefused, 15000, refusals)) << agent.Messages();
        // The same image answers: its counter of connections goes on.
        r = agent.Exchange("GetInfo");
        ASSERT_TRUE(r.replied) << r.error;
        EXPECT_EQ(ReplyValue(r.text, "OpenedConnections"), std::to_string(2 * refusals));
        EXPECT_TRUE(agent.Running());
    }
    EXPECT_EQ(agent.Messages().find("Reload request received. Executing..\n"), std::string::npos);

    // Mended, the file lets the restart through.
    ASSERT_TRUE(WriteFile(agent.ConfigPath(), good));
    TReply r = agent.Exchange("ReloadApp");
    ASSERT_TRUE(r.replied) << r.error;
    ASSERT_TRUE(agent.WaitForMessage("Listening...\n", 15000, 2)) << agent.Messages();
    EXPECT_NE(agent.Messages().find("Reload request received. Executing..\n"), std::string::npos);
    r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "OpenedConnections"), "1");
}

// While the agent tries a new port that is taken, it keeps the old one: no
// other process can take it in the meantime (an agent that let go of it
// first could find neither port free and end), and the agent goes back to
// it with its pid file in place.
TEST(AgentRestart, PortChangeKeepsTheOldPortUntilTheNewOneListens) {
    TAgentConfig cfg;
    cfg.daemon = true;
    // A wider window than the harness's default for the test to try the old
    // port while the agent pauses between its attempts on the new one.
    cfg.listenRetryMs = 250;
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    ASSERT_TRUE(PathExists(agent.PidFilePath()));
    const int oldPort = agent.Port();
    TBusyPort busy;
    ASSERT_NE(busy.port, 0);

    TReply r = agent.Exchange("SetSettings", Params({"Port=" + std::to_string(busy.port)}));
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
    // Try to take the old port until the agent is back on it.
    int attempts = 0;
    bool taken = false;
    bool back = WaitFor([&] {
        ++attempts;
        taken = taken || TBusyPort(oldPort).port == oldPort;
        return taken || agent.Messages().find("Return to original port\n") != std::string::npos;
    }, 20000);
    EXPECT_TRUE(back) << agent.Messages();
    EXPECT_FALSE(taken) << "the old port was free during the change";
    EXPECT_GT(attempts, 1);
    EXPECT_EQ(agent.Messages().find("Cannot open original port either"), std::string::npos);
    EXPECT_TRUE(agent.Running());
    EXPECT_TRUE(PathExists(agent.PidFilePath()));
    r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "Port"), std::to_string(oldPort));
}

}  // namespace
}  // namespace zelit
