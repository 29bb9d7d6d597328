// zelq's exchanges over IPv6 and with names of both families, against
// small loopback servers on ::1 and 127.0.0.1 (no agent needed): literals
// with and without brackets, a name's addresses tried in order.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "common/ipv6_loopback.h"
#include "common/loopback_peers.h"
#include "foundation/fd.h"
#include "net/net_test_util.h"
#include "zelq/exchange.h"

namespace {

using peers::TTcpMode;
using peers::TTcpPeer;

// A whole reply packet: its length field (2, little-endian) and two bytes.
const std::string kReply("\x02\x00\x00\x00ok", 6);

TSockAddr Address(const char* literal) {
    TSockAddr a;
    bool bracketed = false;
    EXPECT_TRUE(ParseNumericHost(literal, a, bracketed)) << literal;
    return a;
}

class ZelqIpv6 : public ::testing::Test {
protected:
    void SetUp() override {
        if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    }
    void TearDown() override { SetZelqResolver(nullptr); }

    // Names resolve to these literals, in this order.
    static void NamesResolveTo(std::vector<const char*> literals) {
        SetZelqResolver([literals](const std::string&, std::vector<TSockAddr>& addrs, std::string&) {
            for (const char* l : literals) addrs.push_back(Address(l));
            return true;
        });
    }
};

TEST_F(ZelqIpv6, LiteralsWithAndWithoutBrackets) {
    TTcpPeer agent(TTcpMode::Answer, kReply, AF_INET6);
    ASSERT_GT(agent.Port(), 0);
    const std::string hosts[] = {"::1", "[::1]", "0:0:0:0:0:0:0:1"};
    for (const std::string& host : hosts) {
        SCOPED_TRACE(host);
        const TExchangeResult r = ExchangeRequest(host, agent.Port(), 5000, String("request"));
        EXPECT_EQ(r.outcome, TExchangeOutcome::Reply) << r.error;
        EXPECT_EQ(r.packet.Std(), kReply);
    }
    const auto visits = agent.WaitVisits(3);
    ASSERT_EQ(visits.size(), 3u);
    for (const auto& v : visits) EXPECT_EQ(v.received, "request");
}

TEST_F(ZelqIpv6, ErrorsNameTheAgentInBrackets) {
    TFd closed = nettest::BoundLoopback(SOCK_STREAM, AF_INET6);
    const int port = nettest::LocalPort(closed.Get());
    const TExchangeResult r = ExchangeRequest("::1", port, 5000, String("request"));
    EXPECT_EQ(r.outcome, TExchangeOutcome::Failed);
    EXPECT_EQ(r.error, "cannot connect to [::1]:" + std::to_string(port) + ": Connection refused");
    EXPECT_EQ(AgentPlace("::1", 1055), "[::1]:1055");
    EXPECT_EQ(AgentPlace("127.0.0.1", 1055), "127.0.0.1:1055");
    EXPECT_EQ(AgentPlace("web1", 7), "web1:7");
}

// One port, answered on one family and refused on the other (a socket
// bound there without listening), so that a name of both families meets
// a refusal first or an answer first, whatever the order.
struct TSplitPort {
    explicit TSplitPort(int answering) {
        const int refusing = answering == AF_INET6 ? AF_INET : AF_INET6;
        for (int attempt = 0; attempt < 20 && port <= 0; ++attempt) {
            peer = std::make_unique<TTcpPeer>(TTcpMode::Answer, kReply, answering);
            holder = nettest::BoundLoopback(SOCK_STREAM, refusing, peer->Port());
            if (holder.Valid()) port = peer->Port();
        }
    }
    std::unique_ptr<TTcpPeer> peer;
    TFd holder;
    int port = -1;
};

TEST_F(ZelqIpv6, ANameOfBothFamiliesIsTriedInOrder) {
    const struct {
        const char* label;
        int answering;                   // the family whose server answers
        std::vector<const char*> order;  // what the resolver gives
    } cases[] = {
        {"IPv6 refused, then IPv4", AF_INET, {"::1", "127.0.0.1"}},
        {"IPv4 refused, then IPv6", AF_INET6, {"127.0.0.1", "::1"}},
        {"IPv6 first and answering", AF_INET6, {"::1", "127.0.0.1"}},
        {"IPv4 first and answering", AF_INET, {"127.0.0.1", "::1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TSplitPort split(c.answering);
        ASSERT_GT(split.port, 0) << "no port free on both families";
        NamesResolveTo(c.order);
        const TExchangeResult r = ExchangeRequest("agent.test", split.port, 5000, String("request"));
        EXPECT_EQ(r.outcome, TExchangeOutcome::Reply) << r.error;
        EXPECT_EQ(r.packet.Std(), kReply);
        EXPECT_EQ(split.peer->WaitVisits(1).size(), 1u);
    }
    // Refused on both: the last address's failure.
    TSplitPort split(AF_INET6);
    ASSERT_GT(split.port, 0);
    NamesResolveTo({"127.0.0.1", "127.0.0.1"});
    const TExchangeResult r = ExchangeRequest("agent.test", split.port, 5000, String("request"));
    EXPECT_EQ(r.outcome, TExchangeOutcome::Failed);
    EXPECT_EQ(r.error, "cannot connect to agent.test:" + std::to_string(split.port) + ": Connection refused");
}

// A silent first address takes only its share of the time-out: the next
// one is still reached within it.
TEST_F(ZelqIpv6, ASilentAddressLeavesTimeForTheNext) {
    TTcpPeer agent(TTcpMode::Answer, kReply, AF_INET);
    // The same port on ::1 listens with a full backlog: connection requests
    // there are dropped unanswered.
    TFd holeAtAgentPort = nettest::BoundLoopback(SOCK_STREAM, AF_INET6, agent.Port());
    if (!holeAtAgentPort.Valid() || listen(holeAtAgentPort.Get(), 0) != 0)
        GTEST_SKIP() << "port " << agent.Port() << " is taken on ::1";
    TFd filler(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    TSockAddr hole = Address("::1");
    hole.SetPort(agent.Port());
    ASSERT_EQ(connect(filler.Get(), hole.Get(), hole.len), 0);
    NamesResolveTo({"::1", "127.0.0.1"});
    const TExchangeResult r = ExchangeRequest("agent.test", agent.Port(), 2000, String("request"));
    EXPECT_EQ(r.outcome, TExchangeOutcome::Reply) << r.error;
    EXPECT_EQ(agent.WaitVisits(1).size(), 1u);
}

}  // namespace
