// Runs the built zelq against the real agent on loopback and checks its
// output and exit statuses.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "integration/agent_harness.h"
#include "protocol/command_reference.h"

namespace {

const std::string kZelq = ZEL_BINARY_DIR "/tools/zelq";
const char* const kNoReplyText =
    "no reply: the agent refused the request (wrong password, filtered address or invalid packet)";

using Args = std::vector<std::string>;

// zelq with the given arguments; ZEL_PASSWORD is removed from (or set in)
// its environment so that the test's own environment cannot interfere.
zelit::TRunResult Zelq(const Args& args, const std::string& envPassword = "") {
    Args argv{"/usr/bin/env", "-u", "ZEL_PASSWORD"};
    if (!envPassword.empty()) argv.push_back("ZEL_PASSWORD=" + envPassword);
    argv.push_back(kZelq);
    argv.insert(argv.end(), args.begin(), args.end());
    return zelit::RunProgram(argv, 30000);
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// One agent for the whole suite, with remote management from loopback.
class ZelqAgent : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        zelit::TAgentConfig cfg;
        cfg.extraLines = {"allowmanage=1", "manageaddr=127.0.0.1"};
        agent_ = new zelit::TAgent(cfg);
        if (!agent_->Start()) startError_ = agent_->StartError();
    }
    static void TearDownTestSuite() {
        delete agent_;
        agent_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(startError_.empty()) << startError_; }

    // zelq -p PORT -P PASSWORD args...
    static zelit::TRunResult Ask(const Args& args) {
        Args all{"-p", std::to_string(agent_->Port()), "-P", agent_->Password().Std()};
        all.insert(all.end(), args.begin(), args.end());
        return Zelq(all);
    }

    static zelit::TAgent* agent_;
    static std::string startError_;
    zelit::TScratchDir scratch_;
};

zelit::TAgent* ZelqAgent::agent_ = nullptr;
std::string ZelqAgent::startError_;

TEST_F(ZelqAgent, GetInfoSucceedsWithTwoColumns) {
    zelit::TRunResult r = Ask({"GetInfo"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(StartsWith(r.output, "200 success\n")) << r.output;
    // The names are padded to one column; the escaped list of tests is shown
    // as one name per line under the value column.
    const std::string pad(std::string("ActiveConnections").size() - std::string("AgentName").size() + 2, ' ');
    EXPECT_NE(r.output.find("\nAgentName" + pad), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\nAvailable tests    TCP\n                   UDP\n"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find('\r'), std::string::npos);
    EXPECT_EQ(r.output.find("%0D%0A"), std::string::npos);
}

TEST_F(ZelqAgent, ExitStatusFollowsTheResultCode) {
    const struct {
        Args args;
        int exitCode;
        const char* firstLines;
    } cases[] = {
        {{"GetSettings"}, 0, "200 success\n"},
        {{"Nope"}, 2, "500 not understood or not supported\nUnknown command \"Nope\"\n"},
        {{"getinfo"}, 2, "500 not understood or not supported\n"},
    };
    for (const auto& c : cases) {
        zelit::TRunResult r = Ask(c.args);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        EXPECT_TRUE(StartsWith(r.output, c.firstLines)) << r.output;
    }
}

// The agent skips a setting name it does not know and answers "200": zelq
// says so on standard error, with the name it probably meant.
TEST_F(ZelqAgent, WarnsOfAnUnknownSettingName) {
    zelit::TRunResult r = Ask({"SetSettings", "logsuccess=1"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("zelq: warning: unknown setting name 'logsuccess' (the agent skips it); did you mean "
                            "'LogOkConn'?\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("200 success\n"), std::string::npos) << r.output;
    r = Ask({"SetSettings", "LogOkConn=0"});
    EXPECT_EQ(r.output.find("warning"), std::string::npos) << r.output;
}

TEST_F(ZelqAgent, RawOutputIsTheReplyTextAsReceived) {
    zelit::TRunResult r = Ask({"--raw", "GetInfo"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(StartsWith(r.output, "200\nAgentName=")) << r.output;
    EXPECT_NE(r.output.find("\nAvailable tests=TCP%0D%0AUDP%0D%0A"), std::string::npos) << r.output;
    ASSERT_GE(r.output.size(), 2u);
    EXPECT_EQ(r.output.substr(r.output.size() - 2), "\n\r");

    // The same text as an exchange written without zelq.
    zelit::TReply direct = agent_->Exchange("Nope");
    ASSERT_TRUE(direct.replied) << direct.error;
    zelit::TRunResult nope = Ask({"--raw", "Nope"});
    EXPECT_EQ(nope.output, direct.text.Std());
    EXPECT_EQ(nope.exitCode, 2);
}

TEST_F(ZelqAgent, JsonOutputNamesTheValues) {
    zelit::TRunResult r = Ask({"--json", "GetInfo"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(StartsWith(r.output, "{\"code\": \"200\", \"values\": {\"AgentName\": ")) << r.output;
    EXPECT_NE(r.output.find("\"Available tests\": \"TCP\\u000d\\u000aUDP\\u000d\\u000a"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"ActiveConnections\": 1, "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(", \"raw\": [\"AgentName="), std::string::npos) << r.output;

    // The size of a file as a number, padding dropped.
    const std::string file = scratch_.File("three.txt");
    ASSERT_TRUE(zelit::WriteFile(file, "abc"));
    zelit::TRunResult size = Ask({"--json", "TEST-FileExists", file});
    EXPECT_TRUE(StartsWith(size.output, "{\"code\": \"200\", \"values\": {\"size\": 3, \"changed\": \"")) << size.output;

    zelit::TRunResult nope = Ask({"--json", "Nope"});
    EXPECT_EQ(nope.output, "{\"code\": \"500\", \"values\": {}, \"raw\": [\"Unknown command \\\"Nope\\\"\"]}\n");
    EXPECT_EQ(nope.exitCode, 2);
}

TEST_F(ZelqAgent, HelpShowsACommandFromTheReference) {
    zelit::TRunResult r = Zelq({"help", "TEST-CountFiles"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const TCommandRef* ref = FindCommandRef("TEST-CountFiles");
    ASSERT_NE(ref, nullptr);
    for (const TParamRef& p : ref->params)
        EXPECT_NE(r.output.find("  " + std::to_string(p.position) + "  " + p.name + " "), std::string::npos) << p.name;
    EXPECT_NE(r.output.find("  count "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(ref->example), std::string::npos) << r.output;

    zelit::TRunResult list = Zelq({"help"});
    for (const TCommandRef& c : CommandReference()) EXPECT_NE(list.output.find(std::string("  ") + c.word + " "), std::string::npos) << c.word;
}

// Too few parameters: the agent's 501, and on standard error what the
// command takes.
TEST_F(ZelqAgent, MissingParametersAreNamed) {
    zelit::TRunResult r = Ask({"TEST-UNC"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output,
              "501 wrong or missing parameters\nPath not specified\n"
              "zelq: TEST-UNC takes 1 PATH (parameter 1 is missing; zelq help TEST-UNC)\n");
}

TEST_F(ZelqAgent, FileParameterRoundTrip) {
    // SetSettings takes name=value lines; the file holds one whose value
    // spans two lines, so it travels escaped and comes back escaped.
    const std::string file = scratch_.File("comment.txt");
    ASSERT_TRUE(zelit::WriteFile(file, "Comment=first line\r\nsecond line\n"));
    zelit::TRunResult set = Ask({"SetSettings", "@" + file});
    ASSERT_TRUE(set.exited);
    ASSERT_EQ(set.exitCode, 0) << set.output;
    EXPECT_EQ(set.output, "200 success\n");

    zelit::TRunResult raw = Ask({"--raw", "GetInfo"});
    EXPECT_NE(raw.output.find("\nComment=first line%0D%0Asecond line%0A\n"), std::string::npos) << raw.output;
    zelit::TRunResult shown = Ask({"GetInfo"});
    EXPECT_NE(shown.output.find("\nComment            first line\n                   second line\n"),
              std::string::npos)
        << shown.output;

    // --literal sends the text "@FILE" itself.
    zelit::TRunResult literal = Ask({"--literal", "SetSettings", "Comment=@" + file});
    EXPECT_EQ(literal.exitCode, 0) << literal.output;
    raw = Ask({"--raw", "GetInfo"});
    EXPECT_NE(raw.output.find("\nComment=@" + file + "\n"), std::string::npos) << raw.output;
}

TEST_F(ZelqAgent, PasswordFromFileAndEnvironment) {
    const std::string pwFile = scratch_.File("pw");
    ASSERT_TRUE(zelit::WriteFile(pwFile, agent_->Password().Std() + "\nignored\n"));
    const std::string port = std::to_string(agent_->Port());
    const struct {
        const char* label;
        Args args;
        std::string env;
        int exitCode;
    } cases[] = {
        {"-f", {"-p", port, "-f", pwFile, "GetInfo"}, "", 0},
        {"environment", {"-p", port, "GetInfo"}, agent_->Password().Std(), 0},
        {"-P before the environment", {"-p", port, "-P", "wrong", "GetInfo"}, agent_->Password().Std(), 3},
        {"-f before the environment", {"-p", port, "-f", pwFile, "GetInfo"}, "wrong", 0},
    };
    for (const auto& c : cases) {
        zelit::TRunResult r = Zelq(c.args, c.env);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.label << ": " << r.output;
        EXPECT_EQ(r.output.find(agent_->Password().Std()), std::string::npos) << c.label;
    }
}

TEST_F(ZelqAgent, WrongPasswordGetsNoReply) {
    zelit::TRunResult r = Zelq({"-p", std::to_string(agent_->Port()), "-P", "not-the-password", "GetInfo"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(StartsWith(r.output, kNoReplyText)) << r.output;
    EXPECT_EQ(r.output.find("not-the-password"), std::string::npos);
}

TEST(ZelqWithoutAgent, ClosedPortAndSilentPeer) {
    const int closed = zelit::FreeLoopbackPort();
    ASSERT_NE(closed, 0);
    zelit::TRunResult r = Zelq({"-p", std::to_string(closed), "-P", "x", "GetInfo"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.output.find("cannot connect to 127.0.0.1:" + std::to_string(closed) + ": Connection refused"),
              std::string::npos)
        << r.output;

    // A port that accepts connections but never answers: the reply times out.
    zelit::TBusyPort silent;
    ASSERT_NE(silent.port, 0);
    r = Zelq({"-t", "0.2", "-p", std::to_string(silent.port), "-P", "x", "GetInfo"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.output.find("timed out"), std::string::npos) << r.output;
}

TEST(ZelqWithoutAgent, UsageErrors) {
    const struct {
        Args args;
        const char* reason;
    } cases[] = {
        {{}, "no command given"},
        {{"-p", "70000", "GetInfo"}, "-p needs a port number"},
        {{"-q", "GetInfo"}, "unknown option -q"},
        {{"--raw", "--json", "-P", "x", "GetInfo"}, "cannot be used together"},
        {{"GetInfo"}, "no password"},
        {{"-P", "x", "X", "@/no/such/file"}, "cannot read /no/such/file"},
        {{"-P", "x", "X", "two\nlines"}, "line break"},
        {{"-f", "/no/such/file", "GetInfo"}, "cannot read the password file"},
        {{"help", "Nope"}, "no command Nope"},
        {{"help", "TEST-CPU", "extra"}, "help takes one command word"},
    };
    for (const auto& c : cases) {
        zelit::TRunResult r = Zelq(c.args);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitCode, 64) << r.output;
        EXPECT_NE(r.output.find(c.reason), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("usage: zelq"), std::string::npos) << r.output;
    }
}

TEST(ZelqWithoutAgent, HelpAndVersion) {
    zelit::TRunResult help = Zelq({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* part : {"usage: zelq", "ZEL_PASSWORD", "GetInfo", "GetSettings", "SetSettings", "TEST-FileExists",
                             "@check.sh", "--raw", "--json", "--literal", "600  not allowed by the agent's settings",
                             "64  wrong command line"})
        EXPECT_NE(help.output.find(part), std::string::npos) << part;
    zelit::TRunResult version = Zelq({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(StartsWith(version.output, "zelq ")) << version.output;
}

// Agents with settings of their own.
TEST(ZelqAgentSettings, RefusedManagementAndFailedReload) {
    // Management from another address only: GetSettings is refused.
    zelit::TAgentConfig cfg;
    cfg.extraLines = {"allowmanage=1", "manageaddr=127.0.0.2"};
    zelit::TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const Args base{"-p", std::to_string(agent.Port()), "-P", agent.Password().Std()};
    Args args = base;
    args.push_back("GetSettings");
    zelit::TRunResult r = Zelq(args);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, "600 not allowed by the agent's settings\nOperation is not allowed\n");

    // From the allowed address a reload whose configuration has gone fails.
    zelit::TAgentConfig open;
    open.extraLines = {"allowmanage=1", "manageaddr=127.0.0.1"};
    zelit::TAgent managed(open);
    ASSERT_TRUE(managed.Start()) << managed.StartError();
    ASSERT_EQ(unlink(managed.ConfigPath().c_str()), 0);
    r = Zelq({"-p", std::to_string(managed.Port()), "-P", managed.Password().Std(), "ReloadCfg"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_TRUE(StartsWith(r.output, "300 operation failed\n")) << r.output;
}

}  // namespace
