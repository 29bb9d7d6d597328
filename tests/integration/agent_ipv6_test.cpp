// The agent over IPv6 loopback: both families with an empty host, ::1
// alone, the connection filter and the management addresses for IPv6
// clients, and their addresses in the logs. Loopback only (127.0.0.1, ::1).
#include <gtest/gtest.h>

#include <string>

#include "common/ipv6_loopback.h"
#include "integration/agent_harness.h"

namespace zelit {
namespace {

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(AgentIPv6, EmptyHostAnswersOnBothLoopbacks) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    TAgentConfig cfg;
    cfg.host = "";
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    for (const std::string address : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(address);
        TClientOptions options;
        options.serverAddress = address;
        TReply r = agent.Exchange("GetInfo", TStrList(), options);
        ASSERT_TRUE(r.replied) << r.error;
        EXPECT_EQ(ReplyCode(r.text), "200");
        EXPECT_TRUE(WaitFor([&] {
            return CountOf(ReadFile(agent.OkLogPath()), "\t " + address + "\t TCP connection accepted\n") == 1;
        })) << ReadFile(agent.OkLogPath());
    }
    // The IPv4 client of the dual-stack socket is logged as itself.
    EXPECT_EQ(CountOf(ReadFile(agent.OkLogPath()), "::ffff:"), 0u);
    EXPECT_EQ(CountOf(ReadFile(agent.OkLogPath()), "\t ::1\t Served GetInfo: 200 in "), 1u);
}

TEST(AgentIPv6, HostIPv6LoopbackOnly) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    TAgentConfig cfg;
    cfg.host = "::1";
    TAgent agent(cfg);
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    TReply v6 = agent.Exchange("GetInfo", TStrList(), OverIPv6());
    ASSERT_TRUE(v6.replied) << v6.error;
    EXPECT_EQ(ReplyCode(v6.text), "200");
    TClientOptions quick;
    quick.timeoutMs = 2000;
    TReply v4 = agent.Exchange("GetInfo", TStrList(), quick);
    EXPECT_FALSE(v4.replied);
    EXPECT_EQ(v4.error.rfind("connect failed", 0), 0u) << v4.error;
}

// The connection filter holds IPv6 clients to their own entries: an IPv4
// entry never admits them; a refused one gets no reply and is logged with
// its address in the failure log and counted.
TEST(AgentIPv6, FilterAdmitsAndRefusesIPv6Clients) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    struct Case {
        const char* name;
        const char* filterlist;
        const char* filtermarks;
        bool v4, v6;  // answered
    } const cases[] = {
        {"IPv4 only", "127.0.0.1 0.0.0.0/0", "11", true, false},
        {"::1 written in full", "127.0.0.1 0:0:0:0:0:0:0:1", "11", true, true},
        {"::1 listed but off", "127.0.0.1 ::1", "10", true, false},
        {"an IPv6 prefix only", "::/0", "1", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TAgentConfig cfg;
        cfg.host = "";
        cfg.extraLines = {"filteractive=1", std::string("filterlist=") + c.filterlist,
                          std::string("filtermarks=") + c.filtermarks};
        TAgent agent(cfg);
        ASSERT_TRUE(agent.Start()) << agent.StartError();
        TClientOptions v4Options;
        v4Options.timeoutMs = 3000;
        TClientOptions v6Options = OverIPv6();
        v6Options.timeoutMs = 3000;
        TReply v4 = agent.Exchange("GetInfo", TStrList(), v4Options);
        TReply v6 = agent.Exchange("GetInfo", TStrList(), v6Options);
        EXPECT_EQ(v4.replied, c.v4) << v4.error;
        EXPECT_EQ(v6.replied, c.v6) << v6.error;
        if (!c.v6) {
            EXPECT_EQ(v6.error, "closed without a reply");
            EXPECT_TRUE(WaitFor([&] {
                return CountOf(ReadFile(agent.BadLogPath()), "\t ::1\t TCP connection rejected\n") == 1;
            })) << ReadFile(agent.BadLogPath());
        }
        if (c.v4 && !c.v6) {
            TReply info = agent.Exchange("GetInfo");
            EXPECT_EQ(ReplyValue(info.text, "FailedConnections"), "1");
        }
    }
}

// The management gate reads IPv6 entries of manageaddr as addresses.
TEST(AgentIPv6, ManagementAddressesForIPv6Clients) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    struct Case {
        const char* manageaddr;
        const char* v4Code;
        const char* v6Code;
    } const cases[] = {
        {"127.0.0.1", "200", "600"},
        {"0:0:0:0:0:0:0:1", "600", "200"},
        {"127.0.0.0/8, ::1/128", "200", "200"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manageaddr);
        TAgentConfig cfg;
        cfg.host = "";
        cfg.extraLines = {"allowmanage=1", std::string("manageaddr=") + c.manageaddr};
        TAgent agent(cfg);
        ASSERT_TRUE(agent.Start()) << agent.StartError();
        TReply v4 = agent.Exchange("GetSettings");
        TReply v6 = agent.Exchange("GetSettings", TStrList(), OverIPv6());
        ASSERT_TRUE(v4.replied && v6.replied) << v4.error << " / " << v6.error;
        EXPECT_EQ(ReplyCode(v4.text), c.v4Code);
        EXPECT_EQ(ReplyCode(v6.text), c.v6Code);
        if (std::string(c.v6Code) == "600") {
            EXPECT_TRUE(WaitFor([&] {
                return CountOf(ReadFile(agent.BadLogPath()),
                               "\t ::1\t Request \"GetSettings\" refused: Operation is not allowed (600)\n") == 1;
            })) << ReadFile(agent.BadLogPath());
        }
    }
}

}  // namespace
}  // namespace zelit
