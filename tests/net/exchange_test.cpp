#include "net/exchange.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/ipv6_loopback.h"
#include "common/loopback_peers.h"
#include "common/proc_walk.h"
#include "foundation/io.h"
#include "net/resolve.h"
#include "net/sockets.h"
#include "net_test_util.h"

namespace {

using peers::TTcpMode;
using peers::TTcpPeer;
using peers::TUdpMode;
using peers::TUdpPeer;

using proc_walk::OpenDescriptorCount;

struct TExchangeOutcome {
    bool ok;
    int count;  // bytes received
    TNetFailure failure;
    std::string err;
    std::string received;
};

constexpr int kUntouched = -99;  // a count the exchange must overwrite

TExchangeOutcome Tcp(int port, const std::string& data, int recvLen, int timeoutMs = 5000,
                     const char* host = "127.0.0.1") {
    std::string buf(recvLen > 0 ? recvLen : 0, '\0');
    String err("stale");
    int count = kUntouched;
    TNetFailure failure = TNetFailure::Socket;
    bool ok = SendReceiveTCPPacket(host, port, timeoutMs, data.data(), buf.data(), static_cast<int>(data.size()),
                                   recvLen, count, failure, err);
    return {ok, count, failure, err.Data(), ok && count > 0 ? buf.substr(0, count) : ""};
}

TExchangeOutcome Udp(int port, const std::string& data, int recvLen, int timeoutSec = 5,
                     const char* host = "127.0.0.1") {
    std::string buf(recvLen > 0 ? recvLen : 0, '\0');
    String err("stale");
    int count = kUntouched;
    TNetFailure failure = TNetFailure::Socket;
    bool ok = SendReceiveUDPPacket(host, port, timeoutSec, data.data(), buf.data(), static_cast<int>(data.size()),
                                   recvLen, count, failure, err);
    return {ok, count, failure, err.Data(), ok && count > 0 ? buf.substr(0, count) : ""};
}

const std::string kInvalid = ErrnoText(EINVAL).Data();
const std::string kRefused = ErrnoText(ECONNREFUSED).Data();

// ---- TCP exchange against live peers ----

struct TTcpCase {
    const char* name;
    TTcpMode mode;
    std::string peerText;
    std::string send;
    int recvLen;
    int timeoutMs;
    bool ok;
    int count;
    TNetFailure failure;
    std::string err;
    std::string received;
};

class TcpExchange : public ::testing::TestWithParam<TTcpCase> {};

TEST_P(TcpExchange, AnswersWithCodeTextAndBytes) {
    const TTcpCase& c = GetParam();
    TTcpPeer peer(c.mode, c.peerText);
    TExchangeOutcome out = Tcp(peer.Port(), c.send, c.recvLen, c.timeoutMs);
    EXPECT_EQ(out.ok, c.ok);
    if (c.ok) {
        EXPECT_EQ(out.count, c.count);
    }
    EXPECT_EQ(out.failure, c.failure);
    EXPECT_EQ(out.err, c.err);
    EXPECT_EQ(out.received, c.received);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TcpExchange,
    ::testing::Values(
        TTcpCase{"EchoedRequest", TTcpMode::Echo, "", "ping", 100, 5000, true, 4, TNetFailure::None, "", "ping"},
        TTcpCase{"NulBytesTravelWhole", TTcpMode::Echo, "", std::string("a\0b\0", 4), 100, 5000, true, 4, TNetFailure::None, "",
                 std::string("a\0b\0", 4)},
        TTcpCase{"AnswerWithLineFeed", TTcpMode::Answer, "pong\r\nmore", "x", 100, 5000, true, 10, TNetFailure::None, "",
                 "pong\r\nmore"},
        TTcpCase{"AnswerCutToReceiveLength", TTcpMode::Banner, "hello", "", 3, 5000, true, 3, TNetFailure::None, "", "hel"},
        // One byte received and nothing to receive are told apart.
        TTcpCase{"OneByteAnswerIsOne", TTcpMode::Banner, "!", "", 10, 5000, true, 1, TNetFailure::None, "", "!"},
        TTcpCase{"NothingToReceiveIsZero", TTcpMode::Echo, "", "ping", 0, 5000, true, 0, TNetFailure::None, "", ""},
        TTcpCase{"ConnectOnlyIsZero", TTcpMode::Silent, "", "", 0, 5000, true, 0, TNetFailure::None, "", ""},
        TTcpCase{"PeerClosesWithoutAWord", TTcpMode::CloseAtOnce, "", "", 10, 5000, true, 0, TNetFailure::None, "", ""},
        TTcpCase{"PeerNeverAnswers", TTcpMode::Silent, "", "x", 10, 200, false, 0, TNetFailure::Timeout, "Timeout",
                 ""}),
    [](const ::testing::TestParamInfo<TTcpCase>& i) { return std::string(i.param.name); });

struct TFailCase {
    const char* name;
    std::function<int()> port;  // evaluated inside the test
    const char* host;
    int timeoutMs;
    TNetFailure failure;
    std::string err;
};

TEST(TcpExchangeFailure, ReportsEachFailureWithItsCodeAndText) {
    peers::TClosedPort closed;
    const TFailCase cases[] = {
        {"refused", [&] { return closed.port; }, "127.0.0.1", 1000, TNetFailure::Connect, kRefused},
        {"unresolvable", [] { return 80; }, peers::kUnresolvable.c_str(), 1000, TNetFailure::Resolve,
         "Cannot resolve server name to IP address"},
        {"empty host", [] { return 80; }, "", 1000, TNetFailure::Resolve, "Cannot resolve server name to IP address"},
        {"port above 65535", [&] { return closed.port + 65536; }, "127.0.0.1", 1000, TNetFailure::Connect, kInvalid},
        {"negative port", [] { return -1; }, "127.0.0.1", 1000, TNetFailure::Connect, kInvalid},
        // A negative time-out does not connect at all: a refused port would
        // otherwise answer "Connection refused".
        {"negative time-out", [&] { return closed.port; }, "127.0.0.1", -5, TNetFailure::Connect, kInvalid},
        {"negative time-out, unresolvable", [] { return 80; }, peers::kUnresolvable.c_str(), -5, TNetFailure::Resolve,
         "Cannot resolve server name to IP address"},
    };
    const int before = OpenDescriptorCount();
    for (const TFailCase& c : cases) {
        SCOPED_TRACE(c.name);
        TExchangeOutcome out = Tcp(c.port(), "data", 10, c.timeoutMs, c.host);
        EXPECT_FALSE(out.ok);
        EXPECT_EQ(out.failure, c.failure);
        EXPECT_EQ(out.err, c.err);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// Both exchanges with peers on ::1, the literal with and without brackets.
TEST(ExchangeOverIPv6, TcpAndUdpWithLoopbackPeers) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    TTcpPeer tcp(TTcpMode::Echo, "", AF_INET6);
    TUdpPeer udp(TUdpMode::Echo, "", 1, AF_INET6);
    TUdpPeer silent(TUdpMode::Silent, "", 1, AF_INET6);
    peers::TClosedPort closed(AF_INET6);
    const int before = OpenDescriptorCount();
    for (const char* host : {"::1", "[::1]"}) {
        SCOPED_TRACE(host);
        TExchangeOutcome out = Tcp(tcp.Port(), "six", 100, 5000, host);
        EXPECT_TRUE(out.ok) << out.err;
        EXPECT_EQ(out.received, "six");
        out = Udp(udp.Port(), "datagram", 100, 5, host);
        EXPECT_TRUE(out.ok) << out.err;
        EXPECT_EQ(out.received, "datagram");
        out = Udp(silent.Port(), "nothing to receive", 0, 5, host);
        EXPECT_TRUE(out.ok) << out.err;
        EXPECT_EQ(out.count, 0);
        out = Tcp(closed.port, "x", 10, 1000, host);
        EXPECT_FALSE(out.ok);
        EXPECT_EQ(out.failure, TNetFailure::Connect);
        EXPECT_EQ(out.err, kRefused);
    }
    // A port inside the brackets is no part of a host.
    TExchangeOutcome out = Tcp(tcp.Port(), "x", 10, 1000, ("[::1]:" + tcp.PortText()).c_str());
    EXPECT_EQ(out.failure, TNetFailure::Resolve);
    EXPECT_EQ(out.err, "Cannot resolve server name to IP address");
    // The peer's ends of the two connections are closed once it has seen them end.
    EXPECT_EQ(tcp.WaitVisits(2).size(), 2u);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(TcpExchangeLargeData, OneMebibyteArrivesWhole) {
    TTcpPeer peer(TTcpMode::Silent);
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    TExchangeOutcome out = Tcp(peer.Port(), data, 0);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.count, 0);
    EXPECT_EQ(out.err, "");
    auto visits = peer.WaitVisits(1);
    ASSERT_EQ(visits.size(), 1u);
    EXPECT_EQ(visits[0].received.size(), data.size());
    EXPECT_TRUE(visits[0].received == data);
    EXPECT_TRUE(visits[0].cleanEnd);
}

TEST(TcpExchangeLargeData, APeerThatNeverReadsEndsInATimeOutNotInSuccess) {
    TTcpPeer peer(TTcpMode::NeverRead);
    const int before = OpenDescriptorCount();
    TExchangeOutcome out = Tcp(peer.Port(), std::string(32 << 20, 'z'), 0, 300);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.failure, TNetFailure::Timeout);
    EXPECT_EQ(out.err, "Timeout");
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// A peer that takes its time over both halves: it reads the request only
// after a while, and answers a while after that. Each half fits within the
// time-out, both together do not: the exchange must end in a time-out, not
// in an answer that came after its deadline.
TEST(TcpExchangeDeadline, ConnectSendAndAnswerShareOneDeadline) {
    TFd listener = nettest::BoundLoopback(SOCK_STREAM);
    ASSERT_TRUE(listener.Valid());
    ASSERT_EQ(::listen(listener.Get(), 4), 0);
    const int port = nettest::LocalPort(listener.Get());
    const std::string request(8 << 20, 'r');  // more than the socket buffers hold
    std::thread slowPeer([&] {
        TFd conn(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn.Valid()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        std::string got;
        String err;
        char buf[65536];
        while (got.size() < request.size()) {
            size_t n = 0;
            if (!ReadSome(conn.Get(), buf, sizeof buf, n, TDeadline::AfterMs(5000), err) || n == 0) return;
            got.append(buf, n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        SendAll(conn.Get(), "late", err);
        size_t ignored = 0;  // until the client closes
        ReadSome(conn.Get(), buf, sizeof buf, ignored, TDeadline::AfterMs(3000), err);
    });
    TExchangeOutcome out = Tcp(port, request, 16, 1000);
    slowPeer.join();
    EXPECT_FALSE(out.ok) << out.received;
    EXPECT_EQ(out.failure, TNetFailure::Timeout);
    EXPECT_EQ(out.err, "Timeout");
}

// ---- UDP exchange ----

TEST(UdpExchange, AnswersWithCodeTextAndBytes) {
    TUdpPeer echo(TUdpMode::Echo);
    TUdpPeer silent(TUdpMode::Silent);
    peers::TClosedPort closed;
    const std::string nul("x\0y", 3);
    struct {
        const char* name;
        int port;
        std::string send;
        int recvLen;
        int timeoutSec;
        const char* host;
        bool ok;
        int count;
        TNetFailure failure;
        std::string err;
        std::string received;
    } cases[] = {
        {"echo", echo.Port(), "ping\nline", 100, 5, "127.0.0.1", true, 9, TNetFailure::None, "", "ping\nline"},
        {"nul bytes", echo.Port(), nul, 100, 5, "127.0.0.1", true, 3, TNetFailure::None, "", nul},
        {"cut to receive length", echo.Port(), "abcdef", 2, 5, "127.0.0.1", true, 2, TNetFailure::None, "", "ab"},
        {"one byte", echo.Port(), "z", 10, 5, "127.0.0.1", true, 1, TNetFailure::None, "", "z"},
        {"nothing to receive", silent.Port(), "12345", 0, 5, "127.0.0.1", true, 0, TNetFailure::None, "", ""},
        {"no answer", silent.Port(), "x", 10, 1, "127.0.0.1", false, 0, TNetFailure::Timeout, "Timeout", ""},
        {"negative wait", silent.Port(), "x", 10, -3, "127.0.0.1", false, 0, TNetFailure::Timeout, "Timeout", ""},
        {"too large", echo.Port(), std::string(70000, 'u'), 10, 1, "127.0.0.1", false, 0, TNetFailure::Send,
         ErrnoText(EMSGSIZE).Data(), ""},
        {"unresolvable", echo.Port(), "x", 10, 1, peers::kUnresolvable.c_str(), false, 0, TNetFailure::Resolve,
         "Cannot resolve server name to IP address", ""},
        {"port above 65535", closed.port + 65536, "x", 10, 1, "127.0.0.1", false, 0, TNetFailure::Connect, kInvalid,
         ""},
    };
    const int before = OpenDescriptorCount();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TExchangeOutcome out = Udp(c.port, c.send, c.recvLen, c.timeoutSec, c.host);
        EXPECT_EQ(out.ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(out.count, c.count);
        }
        EXPECT_EQ(out.failure, c.failure);
        EXPECT_EQ(out.err, c.err);
        EXPECT_TRUE(out.received == c.received);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(ErrnoText(EMSGSIZE), "Message too long");
}

// ---- Sending everything, closing gently ----

TEST(CloseAfterSending, AGreetingPeerSeesAnOrderlyEndAndEveryByte) {
    TTcpPeer peer(TTcpMode::Banner, "220 ready\r\n");
    TFd sock;
    TNetFailure failure = TNetFailure::None;
    String err;
    ASSERT_TRUE(PerformConnect("127.0.0.1", peer.Port(), 5000, sock, failure, err)) << err.Data();
    // Let the greeting arrive unread, as it does for a client that only sends.
    pollfd p{sock.Get(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    const std::string data(300000, 'd');
    ASSERT_TRUE(SendAll(sock.Get(), data, TDeadline::AfterMs(5000), err)) << err.Data();
    CloseAfterSending(sock, 5000);
    EXPECT_FALSE(sock.Valid());
    auto visits = peer.WaitVisits(1);
    ASSERT_EQ(visits.size(), 1u);
    EXPECT_TRUE(visits[0].cleanEnd) << "the close reset the connection";
    EXPECT_EQ(visits[0].received.size(), data.size());
}

}  // namespace
