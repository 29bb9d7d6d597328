// "TEST-TCP" and "TEST-UDP" through the real dispatcher, against loopback
// peers.
#include <errno.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/ipv6_loopback.h"
#include "common/handler_fixture.h"
#include "common/loopback_peers.h"
#include "foundation/io.h"

namespace {

using peers::TTcpMode, peers::TTcpPeer, peers::TUdpMode, peers::TUdpPeer;
using peers::kInvalid, peers::kNoName, peers::kRefused, peers::kTooLong;

bool IsCount(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

struct TCase {
    const char* name;
    std::vector<std::string> params;  // "$NAME": the port named NAME
    std::string code;
    std::vector<std::string> lines;  // for "200" the first (the time taken) is checked to be a count
};

class NetHandlers : public HandlerFixture {
protected:
    void Check(const char* word, const std::vector<TCase>& cases, const std::map<std::string, int>& ports) {
        for (const TCase& c : cases) {
            SCOPED_TRACE(std::string(word) + ": " + c.name);
            TReplyTable r = Call(word, peers::WithPorts(c.params, ports));
            EXPECT_EQ(r.code, c.code) << r.raw;
            if (c.code == "200") {
                ASSERT_EQ(r.lines.size(), 2u) << r.raw;
                EXPECT_TRUE(IsCount(r.lines[0])) << r.lines[0];
                EXPECT_TRUE(r.lines[1] == c.lines[1]) << r.raw;
            } else {
                EXPECT_EQ(r.lines, c.lines) << r.raw;
            }
        }
    }
};

TEST_F(NetHandlers, SwitchedOffTestsAreRefusedBeforeTheyRun) {
    Settings([](TZELSettings& s) { s.tcp = s.udp = 0; });
    for (const char* word : {"TEST-TCP", "TEST-UDP"}) {
        TReplyTable r = Call(word, {"127.0.0.1", "1", "0", "x", "0", "x"});
        EXPECT_EQ(r.code, "600") << word;
        EXPECT_EQ(r.lines, std::vector<std::string>{"test is not allowed"}) << word;
    }
}

TEST_F(NetHandlers, TcpTest) {
    TTcpPeer echo(TTcpMode::Echo);
    TTcpPeer lines(TTcpMode::Answer, "first\nsecond\r\n");
    TTcpPeer big(TTcpMode::Banner, std::string(9000, 'b'));
    TTcpPeer mute(TTcpMode::CloseAtOnce);
    TTcpPeer silent(TTcpMode::Silent);
    peers::TClosedPort closed;
    const std::map<std::string, int> ports = {{"echo", echo.Port()},     {"lines", lines.Port()},
                                              {"big", big.Port()},       {"mute", mute.Port()},
                                              {"silent", silent.Port()}, {"closed", closed.port},
                                              {"huge", closed.port + 65536}};
    const std::string nul("a\0b\0c", 5);
    const std::string host = "127.0.0.1";
    const std::vector<TCase> cases = {
        {"receive size 0: no answer awaited", {host, "$echo", "5000", "ping", "0"}, "200", {"", ""}},
        {"echoed data", {host, "$echo", "5000", "ping", "100"}, "200", {"", "ping"}},
        {"escaped line ends in the data", {host, "$echo", "5000", "a%0Ab%0D", "100"}, "200", {"", "a\nb\r"}},
        {"NUL bytes in the data", {host, "$echo", "5000", nul, "100"}, "200", {"", nul}},
        {"untrimmed data", {host, "$echo", "5000", "  ping ", "100"}, "200", {"", "  ping "}},
        {"answer holding line feeds", {host, "$lines", "5000", "q", "100"}, "200", {"", "first\nsecond\r\n"}},
        {"time-out 0 means the default", {host, "$echo", "0", "ping", "100"}, "200", {"", "ping"}},
        {"receive size 9000 reads 8192", {host, "$big", "5000", "", "9000"}, "200", {"", std::string(8192, 'b')}},
        {"negative receive size reads 8192", {host, "$big", "5000", "", "-1"}, "200", {"", std::string(8192, 'b')}},
        {"receive size cuts the answer", {host, "$big", "5000", "", "7"}, "200", {"", std::string(7, 'b')}},
        {"peer closes without a word", {host, "$mute", "5000", "", "10"}, "301", {"", "0"}},
        {"peer never answers", {host, "$silent", "300", "x", "10"}, "301", {"Timeout", "0"}},
        {"refused port", {host, "$closed", "5000", "x", "10"}, "301", {kRefused, "-6"}},
        {"unresolvable host", {peers::kUnresolvable, "80", "5000", "x", "10"}, "301", {kNoName, "-2"}},
        {"empty host", {"", "80", "5000", "x", "10"}, "301", {kNoName, "-2"}},
        {"host holding a NUL byte", {host + std::string(1, '\0') + "x", "$echo", "5000", "x", "10"}, "301",
         {kNoName, "-2"}},
        {"port above 65535", {host, "$huge", "5000", "x", "10"}, "301", {kInvalid, "-6"}},
        {"negative time-out does not connect", {host, "$closed", "-1", "x", "10"}, "301", {kInvalid, "-6"}},
        {"port not a number", {host, "80x", "5000", "x", "10"}, "501", {"Wrong parameter"}},
        {"time-out not a number", {host, "$echo", "1.5", "x", "10"}, "501", {"Wrong parameter"}},
        {"receive size not a number", {host, "$echo", "5000", "x", "ten"}, "501", {"Wrong parameter"}},
    };
    Check("TEST-TCP", cases, ports);
}

// The probes against servers on ::1: literals with and without brackets;
// brackets around anything else name no host.
TEST_F(NetHandlers, IPv6Loopback) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    TTcpPeer echo(TTcpMode::Echo, "", AF_INET6);
    TUdpPeer udpEcho(TUdpMode::Echo, "", 1, AF_INET6);
    TUdpPeer udpSink(TUdpMode::Silent, "", 1, AF_INET6);
    peers::TClosedPort closed(AF_INET6);
    const std::map<std::string, int> ports = {{"echo", echo.Port()},
                                              {"udpecho", udpEcho.Port()},
                                              {"udpsink", udpSink.Port()},
                                              {"closed", closed.port}};
    std::vector<TCase> tcp, udp;
    for (const std::string host : {"::1", "[::1]", "0:0:0:0:0:0:0:1"}) {
        tcp.push_back({"echoed", {host, "$echo", "5000", "ping " + host, "100"}, "200", {"", "ping " + host}});
        tcp.push_back({"connect only", {host, "$echo", "5000", "", "0"}, "200", {"", ""}});
        tcp.push_back({"refused", {host, "$closed", "5000", "x", "10"}, "301", {kRefused, "-6"}});
        udp.push_back({"echoed", {host, "$udpecho", "1000", "1", "ping " + host, "100"}, "200", {"", "ping " + host}});
        udp.push_back({"no answer", {host, "$udpsink", "1000", "1", "x", "10"}, "301", {"Timeout", "0"}});
    }
    for (const std::string host : {"[::1]:80", "[127.0.0.1]", "[localhost]", "[::1"}) {
        tcp.push_back({"bracketed, no address", {host, "$echo", "5000", "x", "10"}, "301", {kNoName, "-2"}});
        udp.push_back({"bracketed, no address", {host, "$udpecho", "1000", "1", "x", "10"}, "301", {kNoName, "-2"}});
    }
    tcp.push_back({"port above 65535", {"[::1]", "65536", "5000", "x", "10"}, "301", {kInvalid, "-6"}});
    Check("TEST-TCP", tcp, ports);
    Check("TEST-UDP", udp, ports);
    EXPECT_EQ(udpSink.WaitDatagrams(3), (std::vector<std::string>{"x", "x", "x"}));  // one attempt each
}

TEST_F(NetHandlers, TcpTestDeliversOneMebibyteWhole) {
    TTcpPeer sink(TTcpMode::Silent);
    std::string data(1 << 20, 'm');
    for (size_t i = 0; i < data.size(); i += 997) data[i] = static_cast<char>('a' + i % 26);
    TReplyTable r = Call("TEST-TCP", {"127.0.0.1", sink.PortText(), "10000", data, "0"});
    EXPECT_EQ(r.code, "200");
    auto visits = sink.WaitVisits(1);
    ASSERT_EQ(visits.size(), 1u);
    EXPECT_EQ(visits[0].received.size(), data.size());
    EXPECT_TRUE(visits[0].received == data);
}

TEST_F(NetHandlers, UdpTest) {
    TUdpPeer echo(TUdpMode::Echo);
    TUdpPeer lines(TUdpMode::Answer, "one\ntwo");
    TUdpPeer big(TUdpMode::Answer, std::string(9000, 'u'));
    TUdpPeer silent(TUdpMode::Silent);
    const std::map<std::string, int> ports = {{"echo", echo.Port()},
                                              {"lines", lines.Port()},
                                              {"big", big.Port()},
                                              {"silent", silent.Port()},
                                              {"huge", echo.Port() + 65536}};
    const std::string nul("x\0y", 3);
    const std::string host = "127.0.0.1";
    const std::vector<TCase> cases = {
        {"echoed datagram", {host, "$echo", "2000", "1", "ping", "100"}, "200", {"", "ping"}},
        {"NUL bytes and escaped line ends", {host, "$echo", "2000", "1", nul + "%0A", "100"}, "200", {"", nul + "\n"}},
        {"receive size 0: done once sent", {host, "$silent", "2000", "1", "ping", "0"}, "200", {"", ""}},
        {"answer holding a line feed", {host, "$lines", "2000", "1", "q", "100"}, "200", {"", "one\ntwo"}},
        {"receive size 9000 reads 8192", {host, "$big", "2000", "1", "q", "9000"}, "200", {"", std::string(8192, 'u')}},
        {"negative receive size reads 8192", {host, "$big", "2000", "1", "q", "-7"}, "200", {"", std::string(8192, 'u')}},
        {"no answer", {host, "$silent", "1000", "1", "x", "10"}, "301", {"Timeout", "0"}},
        {"datagram too large", {host, "$echo", "1000", "1", std::string(70000, 'L'), "10"}, "301", {kTooLong, "-4"}},
        {"unresolvable host", {peers::kUnresolvable, "9", "1000", "1", "x", "10"}, "301", {kNoName, "-2"}},
        {"port above 65535", {host, "$huge", "1000", "1", "x", "10"}, "301", {kInvalid, "-6"}},
        {"host holding a NUL byte", {host + std::string(1, '\0') + "x", "$echo", "1000", "1", "x", "10"}, "301",
         {kNoName, "-2"}},
        {"at the bound: 2 attempts of 60 s", {host, "$echo", "60000", "2", "ping", "100"}, "200", {"", "ping"}},
        {"121 attempts of 1 s", {host, "$silent", "1000", "121", "x", "10"}, "501", {"Wrong parameter"}},
        {"3 attempts of 41 s", {host, "$silent", "41000", "3", "x", "10"}, "501", {"Wrong parameter"}},
        {"largest attempt count", {host, "$silent", "1000", "2147483647", "x", "10"}, "501", {"Wrong parameter"}},
        {"negative time-out counts as 1 s", {host, "$silent", "-5000", "121", "x", "10"}, "501", {"Wrong parameter"}},
        {"attempts 0", {host, "$echo", "1000", "0", "x", "10"}, "501", {"Wrong parameter"}},
        {"negative attempts", {host, "$echo", "1000", "-3", "x", "10"}, "501", {"Wrong parameter"}},
        {"empty data", {host, "$echo", "1000", "1", "", "10"}, "501", {"Wrong parameter"}},
        {"port not a number", {host, "p", "1000", "1", "x", "10"}, "501", {"Wrong parameter"}},
        {"time-out not a number", {host, "$echo", "1s", "1", "x", "10"}, "501", {"Wrong parameter"}},
        {"attempts not a number", {host, "$echo", "1000", "two", "x", "10"}, "501", {"Wrong parameter"}},
        {"receive size not a number", {host, "$echo", "1000", "1", "x", "0x10"}, "501", {"Wrong parameter"}},
    };
    Check("TEST-UDP", cases, ports);
}

TEST_F(NetHandlers, UdpTestTriesAgainUntilAnAnswerComes) {
    // Answers only the second datagram: the first attempt waits its second
    // (a time-out below one second counts as one) and the second succeeds.
    TUdpPeer second(TUdpMode::AnswerNth, "at last", 2);
    TReplyTable r = Call("TEST-UDP", {"127.0.0.1", second.PortText(), "300", "3", "hello?", "100"});
    EXPECT_EQ(r.code, "200") << r.raw;
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_EQ(r.lines[1], "at last");
    EXPECT_EQ(second.Datagrams(), (std::vector<std::string>{"hello?", "hello?"}));
}

TEST_F(NetHandlers, UdpTestMakesEveryAttemptAgainstASilentPort) {
    TUdpPeer silent(TUdpMode::Silent);
    TReplyTable r = Call("TEST-UDP", {"127.0.0.1", silent.PortText(), "1500", "3", "anyone?", "100"});
    EXPECT_EQ(r.code, "301");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"Timeout", "0"}));
    EXPECT_EQ(silent.Datagrams().size(), 3u);
}

}  // namespace
