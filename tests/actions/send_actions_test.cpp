// "ACT-TCPUDPsend" through the real dispatcher, against loopback peers.
#include <errno.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/handler_fixture.h"
#include "common/ipv6_loopback.h"
#include "common/loopback_peers.h"
#include "foundation/io.h"

namespace {

using peers::TTcpMode, peers::TTcpPeer, peers::TUdpMode, peers::TUdpPeer;
using peers::kInvalid, peers::kNoName, peers::kRefused, peers::kTooLong;
const std::vector<std::string> kSent = {"Data has been sent"};

struct TCase {
    const char* name;
    std::vector<std::string> params;  // "$NAME": the port named NAME
    std::string code;
    std::vector<std::string> lines;
};

class SendAction : public HandlerFixture {
protected:
    void Check(const std::vector<TCase>& cases, const std::map<std::string, int>& ports) {
        for (const TCase& c : cases) {
            SCOPED_TRACE(c.name);
            TReplyTable r = Call("ACT-TCPUDPsend", peers::WithPorts(c.params, ports));
            EXPECT_EQ(r.code, c.code) << r.raw;
            EXPECT_EQ(r.lines, c.lines) << r.raw;
        }
    }
};

TEST_F(SendAction, SwitchedOffIsRefusedBeforeItRuns) {
    TTcpPeer sink(TTcpMode::Silent);
    Settings([](TZELSettings& s) { s.tcpudpaction = 0; });
    TReplyTable r = Call("ACT-TCPUDPsend", {"127.0.0.1", sink.PortText(), "0", "x", "0", "x"});
    EXPECT_EQ(r.code, "600");
    EXPECT_EQ(r.lines, std::vector<std::string>{"operation is not allowed"});
}

TEST_F(SendAction, AnswersByTable) {
    TTcpPeer sink(TTcpMode::Silent);
    TUdpPeer udp(TUdpMode::Silent);
    peers::TClosedPort closed;
    const std::map<std::string, int> ports = {{"sink", sink.Port()},
                                              {"udp", udp.Port()},
                                              {"closed", closed.port},
                                              {"freeudp", peers::FreeUdpPort()},
                                              {"huge", closed.port + 65536}};
    const std::string host = "127.0.0.1";
    const std::vector<std::string> wrong = {"Wrong parameter"};
    const std::vector<TCase> cases = {
        {"TCP", {host, "$sink", "0", "tcp data", "0", ""}, "200", kSent},
        {"UDP", {host, "$udp", "1", "udp data", "0", ""}, "200", kSent},
        {"any protocol text but 0 is UDP", {host, "$udp", "tcp", "udp again", "0", ""}, "200", kSent},
        {"UDP to a port with no listener", {host, "$freeudp", "1", "x", "0", ""}, "200", kSent},
        {"refused TCP port", {host, "$closed", "0", "x", "0", ""}, "301", {kRefused}},
        {"unresolvable host", {peers::kUnresolvable, "9", "0", "x", "0", ""}, "301", {kNoName}},
        {"unresolvable host, UDP", {peers::kUnresolvable, "9", "1", "x", "0", ""}, "301", {kNoName}},
        {"host holding a NUL byte", {host + std::string(1, '\0') + "1", "$sink", "0", "x", "0", ""}, "301", {kNoName}},
        {"port above 65535", {host, "$huge", "0", "x", "0", ""}, "301", {kInvalid}},
        {"datagram too large", {host, "$udp", "1", std::string(70000, 'L'), "0", ""}, "301", {kTooLong}},
        {"empty host", {"", "$sink", "0", "x", "0", ""}, "501", wrong},
        {"empty first data", {host, "$sink", "0", "", "0", "second"}, "501", wrong},
        {"port not a number", {host, "x", "0", "data", "0", ""}, "501", wrong},
        {"pause not a number", {host, "$sink", "0", "data", "1s", ""}, "501", wrong},
        {"pause at the bound", {host, "$freeudp", "1", "x", "120", ""}, "200", kSent},
        {"pause past the bound", {host, "$sink", "0", "data", "121", "second"}, "501", wrong},
        {"largest pause", {host, "$sink", "0", "data", "2147483647", "second"}, "501", wrong},
    };
    Check(cases, ports);
    auto visits = sink.WaitVisits(1);
    ASSERT_GE(visits.size(), 1u);
    EXPECT_EQ(visits[0].received, "tcp data");
    EXPECT_EQ(udp.WaitDatagrams(2), (std::vector<std::string>{"udp data", "udp again"}));
}

// Peers on ::1: literals with and without brackets; brackets around
// anything else name no host.
TEST_F(SendAction, IPv6Loopback) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    TTcpPeer sink(TTcpMode::Silent, "", AF_INET6);
    TUdpPeer udpSink(TUdpMode::Silent, "", 1, AF_INET6);
    peers::TClosedPort closed(AF_INET6);
    const std::map<std::string, int> ports = {
        {"sink", sink.Port()}, {"udpsink", udpSink.Port()}, {"closed", closed.port}};
    std::vector<TCase> cases;
    for (const std::string host : {"::1", "[::1]", "0:0:0:0:0:0:0:1"}) {
        cases.push_back({"TCP", {host, "$sink", "0", "tcp " + host, "0", ""}, "200", kSent});
        cases.push_back({"UDP", {host, "$udpsink", "1", "udp " + host, "0", ""}, "200", kSent});
        cases.push_back({"refused", {host, "$closed", "0", "x", "0", ""}, "301", {kRefused}});
    }
    for (const std::string host : {"[::1]:80", "[127.0.0.1]", "[localhost]", "[::1"})
        cases.push_back({"bracketed, no address", {host, "$sink", "0", "x", "0", ""}, "301", {kNoName}});
    Check(cases, ports);
    EXPECT_EQ(udpSink.WaitDatagrams(3), (std::vector<std::string>{"udp ::1", "udp [::1]", "udp 0:0:0:0:0:0:0:1"}));
    std::vector<std::string> got;
    for (const auto& v : sink.WaitVisits(3)) got.push_back(v.received);
    EXPECT_EQ(got, (std::vector<std::string>{"tcp ::1", "tcp [::1]", "tcp 0:0:0:0:0:0:0:1"}));
}

TEST_F(SendAction, SendsTheSecondDataAfterItsPause) {
    TTcpPeer greeter(TTcpMode::Banner, "220 mail ready\r\n");
    TUdpPeer udp(TUdpMode::Silent);
    TReplyTable r = Call("ACT-TCPUDPsend", {"127.0.0.1", greeter.PortText(), "0", "HELO x%0D%0A", "1", "QUIT%0D%0A"});
    EXPECT_EQ(r.code, "200");
    EXPECT_EQ(r.lines, kSent);
    auto visits = greeter.WaitVisits(1);
    ASSERT_EQ(visits.size(), 1u);
    EXPECT_EQ(visits[0].received, "HELO x\r\nQUIT\r\n");
    // The greeting was left unread: the close must still be orderly.
    EXPECT_TRUE(visits[0].cleanEnd) << "the connection was reset";

    r = Call("ACT-TCPUDPsend", {"127.0.0.1", udp.PortText(), "1", "one", "1", "two"});
    EXPECT_EQ(r.code, "200");
    EXPECT_EQ(udp.WaitDatagrams(2), (std::vector<std::string>{"one", "two"}));
}

TEST_F(SendAction, AnswersSentEvenWhenTheSecondSendFails) {
    TTcpPeer mute(TTcpMode::CloseAtOnce);
    TReplyTable r = Call("ACT-TCPUDPsend", {"127.0.0.1", mute.PortText(), "0", "first", "1", "second"});
    EXPECT_EQ(r.code, "200");
    EXPECT_EQ(r.lines, kSent);
}

TEST_F(SendAction, DeliversOneMebibyteWhole) {
    TTcpPeer sink(TTcpMode::Silent);
    std::string data(1 << 20, 's');
    for (size_t i = 0; i < data.size(); i += 1009) data[i] = static_cast<char>('A' + i % 26);
    TReplyTable r = Call("ACT-TCPUDPsend", {"127.0.0.1", sink.PortText(), "0", data, "0", ""});
    EXPECT_EQ(r.code, "200");
    auto visits = sink.WaitVisits(1);
    ASSERT_EQ(visits.size(), 1u);
    EXPECT_TRUE(visits[0].received == data);
    EXPECT_TRUE(visits[0].cleanEnd);
}

}  // namespace
