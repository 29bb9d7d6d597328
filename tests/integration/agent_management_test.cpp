// The status, settings and management requests of the running agent, its
// management permissions and its connection filter.
#include <sys/stat.h>
#include <sys/utsname.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "integration/agent_harness.h"
#include "protocol/client.h"
#include "protocol/codecs.h"

namespace zelit {
namespace {

const char kAvailableTests[] =
    "Available tests=TCP%0D%0AUDP%0D%0AUNC%0D%0AFolder Size%0D%0ACount Files%0D%0AFile Availability%0D%0A"
    "File Integrity%0D%0AFile Compare%0D%0AText Log%0D%0AProcess%0D%0ACPU Usage%0D%0AExternal%0D%0A"
    "Shell Script%0D%0A";
const char kAvailableActions[] =
    "Available actions=Execute external command%0D%0ATCP/UDP send%0D%0ASyslog%0D%0A";

// The file has the line (the agent ends the lines it writes with CR LF).
bool FileHasLine(const std::string& path, const std::string& line) {
    std::string text = ReadFile(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string l = text.substr(start, nl - start);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (l == line) return true;
        start = nl + 1;
    }
    return false;
}

// The lines GetInfo answers on a fresh agent with the harness's settings.
std::vector<std::string> ExpectedStatusLines(const TAgent& agent, const std::string& comment, int opened) {
    utsname u{};
    EXPECT_EQ(uname(&u), 0);
    return {
        "200",
        "AgentName=QD Zelmark",
        "AgentPlatform=Linux (Red Hat, Mandrake, SuSE)",
        "AgentVersion=1.29",
        "AgentDeveloper=The zel developers",
        "Service=0",
        "Active=0",
        "ActiveConnections=1",
        "OpenedConnections=" + std::to_string(opened),
        "FailedConnections=0",
        kAvailableTests,
        "Enabled tests=1111111111111",
        "Port=" + std::to_string(agent.Port()),
        "Timeout=4000",
        "Comment=" + comment,
        kAvailableActions,
        "Enabled actions=000",
        std::string("HostName=") + u.nodename,
        std::string("RunningOS=") + u.sysname + " " + u.release + " " + u.version,
        "OSUpdates=not implemented",
    };
}

TEST(AgentManagement, GetInfoLineByLine) {
    TAgentConfig cfg;
    cfg.extraLines = {"comment=rack 4, shelf 2"};
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const int idleThreads = ThreadCount(agent.Pid());
    for (int opened = 1; opened <= 2; ++opened) {
        // The reply arrives before the previous session has uncounted
        // itself: wait for its thread to end (at most a few seconds, in case
        // a sanitizer's runtime has added a thread of its own).
        WaitFor([&] { return ThreadCount(agent.Pid()) <= idleThreads; }, 3000);
        TReply r = agent.Exchange("GetInfo");
        ASSERT_TRUE(r.replied) << r.error;
        EXPECT_EQ(ReplyLines(r.text), ExpectedStatusLines(agent, "rack 4, shelf 2", opened));
        EXPECT_EQ(r.text[r.text.Length()], '\r');
    }
    // GetInfo is never gated: it answers with management switched off too.
    TAgentConfig closed;
    closed.extraLines = {"allowmanage=0", "manageaddr=127.0.0.9"};
    TAgent other(closed);
    ASSERT_TRUE(other.Start()) << other.StartError();
    TReply r = other.Exchange("GetInfo", TStrList(), FromAddress("127.0.0.3"));
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
}

TEST(AgentManagement, GetSettingsAddsTheSettingsLines) {
    TAgentConfig cfg;
    cfg.extraLines = {"filterlist=127.0.0.1 127.0.0.5", "filtermarks=10", "updateaddr=127.0.0.1-127.0.0.4"};
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    TReply r = agent.Exchange("GetSettings");
    ASSERT_TRUE(r.replied) << r.error;
    std::vector<std::string> expected = ExpectedStatusLines(agent, "", 1);
    const std::vector<std::string> settings = {
        "LogOkConn=1",
        "LogBadConn=1",
        "OkLogFile=" + agent.OkLogPath(),
        "BadLogFile=" + agent.BadLogPath(),
        "Password=" + agent.Password().Std(),
        "IPFiltering=0",
        "IPFilterAddr=127.0.0.1%0D%0A127.0.0.5",
        "IPFilterMarks=10",
        "AllowUpdates=1",
        "AllowRManage=1",
        "UpdateAddr=127.0.0.1-127.0.0.4",
        "ManageAddr=127.0.0.1",
    };
    expected.insert(expected.end(), settings.begin(), settings.end());
    EXPECT_EQ(ReplyLines(r.text), expected);
}

// Requests the dispatcher answers without reaching a handler, as raw
// request texts.
struct TRawRequest {
    const char* name;
    const char* text;
    std::vector<std::string> reply;
};

void PrintTo(const TRawRequest& c, std::ostream* os) { *os << c.name; }

const TRawRequest kRawRequests[] = {
    {"UnknownCommand", "x\n\r", {"500", "Unknown command \"x\""}},
    {"CommandWordIsCaseSensitive", "quit\n\r", {"500", "Unknown command \"quit\""}},
    {"MissingEndOfTransmission", "GetInfo\n", {"502", "EndOfTransmission signal missed"}},
    {"VoidRequest", "\r\n", {"500", "Void request received"}},
};

class AgentDispatch : public ::testing::TestWithParam<TRawRequest> {};

TEST_P(AgentDispatch, AnswersItsCode) {
    const TRawRequest& c = GetParam();
    TAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    String key = NewSessionKey();
    TFd fd = ConnectLoopback(agent.Port());
    ASSERT_TRUE(fd.Valid());
    ASSERT_TRUE(SendAll(fd.Get(), BuildRequestPacket(agent.Password(), key, String(c.text))));
    TReceived got = ReceiveUntilClosed(fd.Get(), 15000);
    EXPECT_TRUE(got.closed);
    String text, err;
    ASSERT_TRUE(DecodeReplyPacket(got.data, key, text, err)) << err.Std();
    EXPECT_EQ(ReplyLines(text), c.reply);
    EXPECT_TRUE(agent.WaitForMessage("--> request rejected or operation failed (" + c.reply[0] + ")\n"))
        << agent.Messages();
    // Error-kind messages reach the failure log.
    EXPECT_NE(ReadFile(agent.BadLogPath()).find(c.reply[1]), std::string::npos);
    TReply info = agent.Exchange("GetInfo");
    EXPECT_TRUE(info.replied) << info.error;
}

INSTANTIATE_TEST_SUITE_P(Cases, AgentDispatch, ::testing::ValuesIn(kRawRequests),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AgentManagement, ManagementIsAllowedOnlyFromManageAddresses) {
    TAgentConfig cfg;
    cfg.extraLines = {"manageaddr=127.0.0.2-127.0.0.3, 127.0.0.12"};
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    struct {
        const char* source;
        const char* command;
        const char* code;
    } const cases[] = {
        {"127.0.0.1", "GetSettings", "600"}, {"127.0.0.2", "GetSettings", "200"},
        {"127.0.0.3", "ReloadCfg", "200"},   {"127.0.0.12", "GetSettings", "200"},
        {"127.0.0.1", "QUIT", "600"},        {"127.0.0.4", "SetSettings", "600"},
        {"127.0.0.1", "ReloadApp", "600"},   {"127.0.0.13", "QUIT", "600"},
    };
    for (const auto& c : cases) {
        TReply r = agent.Exchange(c.command, TStrList(), FromAddress(c.source));
        ASSERT_TRUE(r.replied) << c.source << " " << c.command << ": " << r.error;
        EXPECT_EQ(ReplyCode(r.text), c.code) << c.source << " " << c.command;
        if (std::string(c.code) == "600") {
            EXPECT_EQ(ReplyLines(r.text), (std::vector<std::string>{"600", "Operation is not allowed"}));
        }
    }
    EXPECT_TRUE(agent.Running());
    TReply r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "FailedConnections"), "0");
}

TEST(AgentManagement, ManagementSwitchedOffRefusesEveryCommand) {
    TAgentConfig cfg;
    cfg.extraLines = {"allowmanage=0"};
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    for (const char* command : {"GetSettings", "SetSettings", "ReloadCfg", "ReloadApp", "QUIT"}) {
        TReply r = agent.Exchange(command, TStrList());
        ASSERT_TRUE(r.replied) << command << ": " << r.error;
        EXPECT_EQ(ReplyLines(r.text), (std::vector<std::string>{"600", "Operation is not allowed"})) << command;
    }
    EXPECT_TRUE(agent.WaitForMessage("--> request processed (600)\n", 5000, 5));
    EXPECT_TRUE(agent.Running());
}

TEST(AgentManagement, QuitRepliesThenEndsWithCodeZero) {
    TAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    TReply r = agent.Exchange("QUIT");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyLines(r.text), (std::vector<std::string>{"200", "Ok"}));
    int status = -1;
    ASSERT_TRUE(agent.WaitExit(15000, &status));
    EXPECT_EQ(status, 0);
    std::string messages = agent.Messages();
    size_t processed = messages.find("--> request processed (200)");
    size_t terminate = messages.find("Terminate request received. Terminating..\n");
    ASSERT_NE(terminate, std::string::npos) << messages;
    EXPECT_LT(processed, terminate);
}

TEST(AgentManagement, ReloadCfgReadsTheFileAgain) {
    TAgentConfig cfg;
    cfg.extraLines = {"comment=first", "textlog=1"};
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();

    cfg.extraLines = {"comment=second", "textlog=0"};
    ASSERT_TRUE(WriteFile(agent.ConfigPath(), AgentConfigText(cfg, agent.Dir().Path(), agent.Port())));
    TReply r = agent.Exchange("ReloadCfg");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyLines(r.text), (std::vector<std::string>{"200", "Ok"}));
    r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "Comment"), "second");
    EXPECT_EQ(ReplyValue(r.text, "Enabled tests"), "1111111101111");

    // A file that cannot be read: "300" with the reason; the agent keeps its
    // settings and goes on serving.
    ASSERT_EQ(rename(agent.ConfigPath().c_str(), (agent.ConfigPath() + ".moved").c_str()), 0);
    r = agent.Exchange("ReloadCfg");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyLines(r.text), (std::vector<std::string>{
                                      "300", "Cannot open configuration file '" + agent.ConfigPath() + "'"}));
    r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "Comment"), "second");
}

TEST(AgentManagement, SetSettingsRewritesTheFileAndAppliesAtOnce) {
    TAgentConfig cfg;
    cfg.extraLines = {"# a note the agent keeps", "comment=old"};
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const std::string before = ReadFile(agent.ConfigPath());

    TStrList params;
    for (const char* line : {"Text Log=0", " Comment = set remotely ", "no equals sign", "text log=1",
                             "Syslog=1", "Unknown Name=5", "TCP=0", "TCP=1"})
        params.Add(line);
    TReply r = agent.Exchange("SetSettings", params);
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");

    // The file keeps its place, its other lines and the previous version.
    EXPECT_EQ(ReadFile(agent.ConfigPath() + ".Old"), before);
    const std::string cfgPath = agent.ConfigPath();
    for (const std::string& line : {std::string("# a note the agent keeps"), std::string("comment=set remotely"),
                                    std::string("textlog=0"), std::string("syslogaction=1"), std::string("tcp=1"),
                                    std::string("zelpath=") + kAgentBinary})
        EXPECT_TRUE(FileHasLine(cfgPath, line)) << line << "\n" << ReadFile(cfgPath);
    EXPECT_FALSE(FileHasLine(cfgPath, "comment=old"));

    // The next request sees the new values.
    r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "Enabled tests"), "1111111101111");
    EXPECT_EQ(ReplyValue(r.text, "Comment"), "set remotely");
    EXPECT_EQ(ReplyValue(r.text, "Enabled actions"), "001");
}

TEST(AgentManagement, SetSettingsNewPasswordRulesTheNextRequest) {
    TAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    TStrList params;
    params.Add("Password=another-Secret");
    TReply r = agent.Exchange("SetSettings", params);
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");

    r = agent.Exchange("GetInfo");  // the old password
    EXPECT_FALSE(r.replied);
    agent.SetPassword("another-Secret");
    r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
    EXPECT_TRUE(FileHasLine(agent.ConfigPath(), "password=another-Secret"));
}

TEST(AgentManagement, SetSettingsPortMovesTheListener) {
    TAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const int oldPort = agent.Port();
    const int newPort = FreeLoopbackPort();
    ASSERT_NE(newPort, 0);
    TStrList params = Params({"Port=" + std::to_string(newPort)});
    TReply r = agent.Exchange("SetSettings", params);
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
    EXPECT_TRUE(FileHasLine(agent.ConfigPath(), "port=" + std::to_string(newPort)));

    ASSERT_TRUE(agent.WaitForMessage("Server port switching .. Ok\n")) << agent.Messages();
    agent.SetPort(newPort);
    r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "Port"), std::to_string(newPort));
    EXPECT_FALSE(ConnectLoopback(oldPort).Valid());
}

TEST(AgentManagement, SetSettingsPortInUseFallsBack) {
    TAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    TBusyPort busy;
    ASSERT_NE(busy.port, 0);
    TStrList params = Params({"Port=" + std::to_string(busy.port)});
    TReply r = agent.Exchange("SetSettings", params);
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");

    ASSERT_TRUE(agent.WaitForMessage("Return to original port\n", 20000)) << agent.Messages();
    std::string messages = agent.Messages();
    size_t error = messages.find("Error: cannot open new port for listening\n");
    ASSERT_NE(error, std::string::npos) << messages;
    EXPECT_LT(error, messages.find("Return to original port\n"));
    EXPECT_NE(ReadFile(agent.BadLogPath()).find("Return to original port"), std::string::npos);

    r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "Port"), std::to_string(agent.Port()));
    EXPECT_TRUE(agent.Running());
    // The file names the port in use again, so the next start-up listens.
    EXPECT_TRUE(FileHasLine(agent.ConfigPath(), "port=" + std::to_string(agent.Port())));
}

// While the agent tries a new port that is taken, the old one stays open:
// a client connecting meanwhile is never refused.
TEST(AgentManagement, OldPortStaysReachableWhileTheNewOneIsTried) {
    TAgentConfig cfg;
    cfg.listenRetryMs = 300;  // about a second of attempts on the busy port
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    TBusyPort busy;
    ASSERT_NE(busy.port, 0);
    std::atomic<bool> done{false};
    std::atomic<int> probes{0};
    std::atomic<int> refused{0};
    std::thread prober([&] {
        while (!done) {
            TFd fd = ConnectLoopback(agent.Port());
            ++probes;
            if (!fd.Valid()) ++refused;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    TReply r = agent.Exchange("SetSettings", Params({"Port=" + std::to_string(busy.port)}));
    bool back = agent.WaitForMessage("Return to original port\n", 20000);
    done = true;
    prober.join();
    ASSERT_TRUE(r.replied) << r.error;
    ASSERT_TRUE(back) << agent.Messages();
    EXPECT_GT(probes.load(), 0);
    EXPECT_EQ(refused.load(), 0) << "of " << probes.load() << " connections";
    r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "Port"), std::to_string(agent.Port()));
}

// ----------------------------------------------------------------- filter

TEST(AgentFilter, AdmitsExactEntriesOnlyAndCountsRefusals) {
    TAgentConfig cfg;
    // 127.0.0.5 is listed but not marked; 127.0.0.1 is a part of 127.0.0.12.
    cfg.extraLines = {"filteractive=1", "filterlist=127.0.0.12 127.0.0.5 127.0.0.20", "filtermarks=101",
                      "manageaddr=127.0.0.12"};
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    struct {
        const char* source;
        bool admitted;
    } const cases[] = {
        {"127.0.0.12", true}, {"127.0.0.1", false}, {"127.0.0.2", false},
        {"127.0.0.5", false}, {"127.0.0.20", true}, {"127.0.0.120", false},
    };
    int refused = 0;
    for (const auto& c : cases) {
        TReply r = agent.Exchange("GetInfo", TStrList(), FromAddress(c.source));
        EXPECT_EQ(r.replied, c.admitted) << c.source << ": " << r.error;
        if (!c.admitted) {
            ++refused;
            EXPECT_EQ(r.error, "closed without a reply") << c.source;
        }
    }
    EXPECT_TRUE(agent.WaitForMessage("TCP connection rejected\n", 5000, refused));
    TReply r = agent.Exchange("GetInfo", TStrList(), FromAddress("127.0.0.12"));
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "FailedConnections"), std::to_string(refused));
    EXPECT_EQ(ReplyValue(r.text, "OpenedConnections"), "3");
    std::string bad = ReadFile(agent.BadLogPath());
    EXPECT_NE(bad.find("127.0.0.1\t TCP connection rejected"), std::string::npos) << bad;

    // A remote change of the filter rules the next connection.
    TStrList params = Params({"IPFilterAddr=127.0.0.12%0D%0A127.0.0.1", "IPFilterMarks=11"});
    r = agent.Exchange("SetSettings", params, FromAddress("127.0.0.12"));
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
    r = agent.Exchange("GetInfo", TStrList(), FromAddress("127.0.0.1"));
    EXPECT_TRUE(r.replied) << r.error;
    r = agent.Exchange("GetInfo", TStrList(), FromAddress("127.0.0.20"));
    EXPECT_FALSE(r.replied);

    params = Params({"IPFiltering=0"});
    r = agent.Exchange("SetSettings", params, FromAddress("127.0.0.12"));
    ASSERT_TRUE(r.replied) << r.error;
    r = agent.Exchange("GetInfo", TStrList(), FromAddress("127.0.0.20"));
    EXPECT_TRUE(r.replied) << r.error;
}

// What the server sets is what it reads back, before and after the agent
// reads its file again: every setting of the status and settings replies.
TEST(AgentManagement, SettingsRoundTripThroughTheFile) {
    TAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const std::string port = std::to_string(agent.Port());
    const struct {
        std::string line;   // sent in SetSettings
        std::string name;   // the reply line that shows it
        std::string shown;  // its value there, decoded
    } cases[] = {
        {"Comment=rack 4, shelf 2", "Comment", "rack 4, shelf 2"},
        {"Port=" + port, "Port", port},
        {"Timeout=0", "Timeout", "4000"},  // 0 is the default, in force as in the file
        {"Password=second-Secret=2", "Password", "second-Secret=2"},
        {"LogOkConn=1", "LogOkConn", "1"},
        {"LogBadConn=0", "LogBadConn", "0"},
        {"OkLogFile=" + agent.Dir().File("ok 2.log"), "OkLogFile", agent.Dir().File("ok 2.log")},
        {"BadLogFile=" + agent.Dir().File("bad2.log"), "BadLogFile", agent.Dir().File("bad2.log")},
        {"IPFiltering=1", "IPFiltering", "1"},
        {"IPFilterAddr=127.0.0.0/8  10.0.0.1%0D%0A10.0.0.2-10.0.0.9", "IPFilterAddr",
         "127.0.0.0/8\r\n10.0.0.1\r\n10.0.0.2-10.0.0.9"},
        {"IPFilterMarks=101", "IPFilterMarks", "101"},
        {"AllowUpdates=0", "AllowUpdates", "0"},
        {"AllowRManage=1", "AllowRManage", "1"},
        {"UpdateAddr=10.0.0.1, 127.0.0.1", "UpdateAddr", "10.0.0.1, 127.0.0.1"},
        {"ManageAddr=127.0.0.1;10.0.0.0/8", "ManageAddr", "127.0.0.1;10.0.0.0/8"},
        {"Text Log=0", "Enabled tests", "1111111101101"},
        {"External=0", "Enabled tests", "1111111101101"},
        {"Syslog=1", "Enabled actions", "101"},
        {"Execute external command=1", "Enabled actions", "101"},
        {"TCP/UDP send=0", "Enabled actions", "101"},
    };
    TStrList params;
    for (const auto& c : cases) params.Add(String(c.line));
    TReply r = agent.Exchange("SetSettings", params);
    ASSERT_TRUE(r.replied) << r.error;
    ASSERT_EQ(ReplyCode(r.text), "200") << r.text.Std();
    agent.SetPassword("second-Secret=2");

    // The connection counters change with every request; nothing else may.
    auto settingsLines = [&agent] {
        TReply reply = agent.Exchange("GetSettings");
        EXPECT_TRUE(reply.replied) << reply.error;
        std::vector<std::string> lines;
        for (const std::string& l : ReplyLines(reply.text))
            if (l.find("Connections=") == std::string::npos) lines.push_back(l);
        return std::make_pair(reply, lines);
    };
    auto [set, setLines] = settingsLines();
    for (const auto& c : cases) {
        const std::string shown = ReplyValue(set.text, c.name);
        EXPECT_EQ(std::string(zelDecodeStrings(String(shown)).View()), c.shown) << c.line;
    }
    r = agent.Exchange("ReloadCfg");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyLines(r.text), (std::vector<std::string>{"200", "Ok"}));
    auto [reloaded, reloadedLines] = settingsLines();
    EXPECT_EQ(reloadedLines, setLines);
}

// A port the agent cannot listen on is refused before anything changes: the
// agent keeps its listener and the file keeps the port in use, so the next
// start finds a port it can listen on.
class AgentInvalidPort : public ::testing::TestWithParam<const char*> {};

TEST_P(AgentInvalidPort, KeepsTheOldPort) {
    TAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const std::string before = ReadFile(agent.ConfigPath());
    TReply r = agent.Exchange("SetSettings", Params({std::string("Port=") + GetParam(), "Comment=changed"}));
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyLines(r.text),
              (std::vector<std::string>{"300", std::string("Invalid value of Port: '") + GetParam() +
                                                   "' (a port number from 1 to 65535 expected); settings not changed"}));
    r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyValue(r.text, "Port"), std::to_string(agent.Port()));
    EXPECT_EQ(ReplyValue(r.text, "Comment"), "");
    EXPECT_EQ(ReadFile(agent.ConfigPath()), before);
    EXPECT_EQ(agent.Messages().find("Error: cannot open new port for listening\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, AgentInvalidPort, ::testing::Values("0", "70000", "-5", "not a number"));

}  // namespace
}  // namespace zelit
