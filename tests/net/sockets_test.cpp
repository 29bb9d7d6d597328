#include "net/sockets.h"

#include <gtest/gtest.h>

#include "common/ipv6_loopback.h"
#include "common/unresolvable.h"
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>
#include <vector>

#include "foundation/fd.h"
#include "net_test_util.h"

namespace {

using nettest::ClosedPort;
using nettest::CloseOnExec;
using nettest::LocalPort;
using nettest::NonBlocking;

bool IsListening(int fd) {
    int on = 0;
    socklen_t len = sizeof on;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &on, &len) == 0 && on != 0;
}

TEST(TcpListen, OpensAnEphemeralPortInBothForms) {
    for (bool numeric : {true, false}) {
        SCOPED_TRACE(numeric);
        unsigned int addrlen = 0;
        String err("stale");
        TFd fd(99999);  // anything held before is dropped
        bool ok = numeric ? TcpListen("127.0.0.1", 0, &addrlen, fd, err) : TcpListen("127.0.0.1", "0", &addrlen, fd, err);
        ASSERT_TRUE(ok) << err.Data();
        ASSERT_GT(fd.Get(), 0) << err.Data();
        EXPECT_STREQ(err.Data(), "");
        EXPECT_EQ(addrlen, sizeof(sockaddr_in));
        EXPECT_GT(LocalPort(fd.Get()), 0);
        EXPECT_TRUE(IsListening(fd.Get()));
        EXPECT_TRUE(CloseOnExec(fd.Get()));
    }
}

TEST(TcpListen, AllAddressesWhenNoHostIsGiven) {
    for (const char* host : {static_cast<const char*>(nullptr), ""}) {
        String err;
        TFd fd;
        ASSERT_TRUE(TcpListen(host, 0, nullptr, fd, err)) << err.Data();
        sockaddr_in6 sa{};  // the IPv4 form without IPv6 on the host
        socklen_t len = sizeof sa;
        ASSERT_EQ(getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len), 0);
        if (sa.sin6_family == AF_INET6) {
            EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&sa.sin6_addr));
        } else {
            ASSERT_EQ(sa.sin6_family, AF_INET);
            EXPECT_EQ(reinterpret_cast<sockaddr_in*>(&sa)->sin_addr.s_addr, htonl(INADDR_ANY));
        }
    }
}

TEST(TcpListen, NeverReturnsDescriptorZero) {
    // With standard input closed the lowest free number is 0, which callers
    // would take for a failure.
    TFd savedStdin(fcntl(0, F_DUPFD_CLOEXEC, 3));
    ASSERT_TRUE(savedStdin.Valid());
    close(0);
    String err;
    TFd fd;
    EXPECT_TRUE(TcpListen("127.0.0.1", 0, nullptr, fd, err));
    ASSERT_EQ(dup2(savedStdin.Get(), 0), 0);
    EXPECT_GT(fd.Get(), 2) << err.Data();
    EXPECT_TRUE(CloseOnExec(fd.Get()));
}

TEST(TcpListen, RefusesAPortInUse) {
    String err;
    TFd first;
    ASSERT_TRUE(TcpListen("127.0.0.1", 0, nullptr, first, err)) << err.Data();
    unsigned int addrlen = 1234;
    TFd second(dup(first.Get()));  // anything held before is dropped
    EXPECT_FALSE(TcpListen("127.0.0.1", LocalPort(first.Get()), &addrlen, second, err));
    EXPECT_FALSE(second.Valid());
    EXPECT_STREQ(err.Data(), "socket() or bind() error");
    EXPECT_EQ(addrlen, 1234u);
}

TEST(TcpListen, ReportsTheResolverTextForAnUnknownHost) {
    String err;
    TFd fd;
    EXPECT_FALSE(TcpListen(kUnresolvableHost.c_str(), 0, nullptr, fd, err));
    EXPECT_FALSE(fd.Valid());
    EXPECT_FALSE(err.IsEmpty());
    EXPECT_STRNE(err.Data(), "socket() or bind() error");
}

// Connect cases run with a blocking connect (0) and with a time-out.
class PerformConnectTest : public ::testing::TestWithParam<int> {};

// The lowest free descriptor number: a socket left open would take it.
int LowestFreeDescriptor() {
    TFd probe(dup(0));
    return probe.Get();
}

TEST_P(PerformConnectTest, RefusedByAClosedPortKeepsNoSocket) {
    ClosedPort closed;
    ASSERT_GT(closed.port, 0);
    const int lowestFree = LowestFreeDescriptor();
    TFd sock;
    TNetFailure failure = TNetFailure::None;
    String err;
    EXPECT_FALSE(PerformConnect("127.0.0.1", closed.port, GetParam(), sock, failure, err));
    EXPECT_EQ(failure, TNetFailure::Connect);
    EXPECT_STREQ(err.Data(), "Connection refused");
    EXPECT_FALSE(sock.Valid());
    EXPECT_EQ(LowestFreeDescriptor(), lowestFree);  // the failed socket was closed
}

TEST_P(PerformConnectTest, ConnectsToALoopbackListener) {
    String err;
    TFd listener;
    ASSERT_TRUE(TcpListen("127.0.0.1", 0, nullptr, listener, err)) << err.Data();
    TFd sock;
    TNetFailure failure = TNetFailure::Timeout;
    EXPECT_TRUE(PerformConnect("127.0.0.1", LocalPort(listener.Get()), GetParam(), sock, failure, err));
    EXPECT_EQ(failure, TNetFailure::None);
    EXPECT_STREQ(err.Data(), "");
    ASSERT_TRUE(sock.Valid());
    EXPECT_TRUE(CloseOnExec(sock.Get()));
    // Only a connect with a time-out switches the socket to non-blocking mode.
    EXPECT_EQ(NonBlocking(sock.Get()), GetParam() > 0);
    TFd accepted(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(accepted.Valid());
}

// Failures before any connect: the failed step, the text and no socket kept (also
// none that the owner held before).
TEST_P(PerformConnectTest, FailuresBeforeTheConnect) {
    struct TCase {
        const char* host;
        int port;
        TNetFailure failure;
        const char* text;  // null: any text but ""
    };
    const TCase cases[] = {
        {kUnresolvableHost.c_str(), 80, TNetFailure::Resolve, "Cannot resolve server name to IP address"},
        {"127.0.0.1", -1, TNetFailure::Connect, nullptr},
        {"127.0.0.1", 65536, TNetFailure::Connect, nullptr},
        {"127.0.0.1", 70000, TNetFailure::Connect, nullptr},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
        TFd sock(dup(0));
        TNetFailure failure = TNetFailure::None;
        String err;
        EXPECT_FALSE(PerformConnect(c.host, c.port, GetParam(), sock, failure, err));
        EXPECT_EQ(failure, c.failure);
        EXPECT_FALSE(sock.Valid());
        if (c.text) {
            EXPECT_STREQ(err.Data(), c.text);
        } else {
            EXPECT_FALSE(err.IsEmpty());
        }
    }
}

TEST_P(PerformConnectTest, ConnectsToIPv6LiteralsWithAndWithoutBrackets) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    TFd listener = nettest::BoundLoopback(SOCK_STREAM, AF_INET6);
    ASSERT_EQ(listen(listener.Get(), 4), 0);
    for (const char* host : {"::1", "[::1]", "0:0:0:0:0:0:0:1"}) {
        SCOPED_TRACE(host);
        TFd sock;
        TNetFailure failure = TNetFailure::Timeout;
        String err("stale");
        EXPECT_TRUE(PerformConnect(host, LocalPort(listener.Get()), GetParam(), sock, failure, err)) << err.Data();
        EXPECT_EQ(failure, TNetFailure::None);
        EXPECT_STREQ(err.Data(), "");
        EXPECT_TRUE(sock.Valid());
        TFd accepted(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        EXPECT_TRUE(accepted.Valid());
    }
    TFd closedV6 = nettest::BoundLoopback(SOCK_STREAM, AF_INET6);
    TFd sock;
    TNetFailure failure = TNetFailure::None;
    String err;
    EXPECT_FALSE(PerformConnect("[::1]", LocalPort(closedV6.Get()), GetParam(), sock, failure, err));
    EXPECT_EQ(failure, TNetFailure::Connect);
    EXPECT_STREQ(err.Data(), "Connection refused");
    EXPECT_FALSE(sock.Valid());
}

INSTANTIATE_TEST_SUITE_P(TimeOuts, PerformConnectTest, ::testing::Values(0, 1000));

// ---- Several addresses (a name with both families), in order ----

TSockAddr Loopback(int family, int port) {
    TSockAddr a;
    bool bracketed = false;
    EXPECT_TRUE(ParseNumericHost(family == AF_INET6 ? "::1" : "127.0.0.1", a, bracketed));
    a.SetPort(port);
    return a;
}

int PeerFamily(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
    return ss.ss_family;
}

// The addresses a case lists, by kind.
enum class TTarget { Listener4, Listener6, Closed4, Closed6, Silent4, Silent6 };

class ConnectFirstTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        v6_ = IPv6LoopbackUsable();
        listener4_ = nettest::BoundLoopback(SOCK_STREAM, AF_INET);
        ASSERT_EQ(listen(listener4_.Get(), 8), 0);
        if (v6_) {
            listener6_ = nettest::BoundLoopback(SOCK_STREAM, AF_INET6);
            ASSERT_EQ(listen(listener6_.Get(), 8), 0);
            closed6_ = nettest::BoundLoopback(SOCK_STREAM, AF_INET6);
        }
        ASSERT_GT(silent4_.port, 0);
        // Non-blocking, for draining what they accepted after each case.
        for (const TFd* l : {&listener4_, &listener6_})
            if (l->Valid()) fcntl(l->Get(), F_SETFL, fcntl(l->Get(), F_GETFL) | O_NONBLOCK);
    }
    TSockAddr Address(TTarget t) {
        switch (t) {
        case TTarget::Listener4: return Loopback(AF_INET, LocalPort(listener4_.Get()));
        case TTarget::Listener6: return Loopback(AF_INET6, LocalPort(listener6_.Get()));
        case TTarget::Closed4: return Loopback(AF_INET, closed4_.port);
        case TTarget::Closed6: return Loopback(AF_INET6, LocalPort(closed6_.Get()));
        case TTarget::Silent4: return Loopback(AF_INET, silent4_.port);
        case TTarget::Silent6: return Loopback(AF_INET6, silent6_.port);
        }
        return TSockAddr();
    }
    bool v6_ = false;
    TFd listener4_, listener6_, closed6_;
    nettest::ClosedPort closed4_;
    nettest::TBlackHole silent4_{AF_INET};
    nettest::TBlackHole silent6_{IPv6LoopbackUsable() ? AF_INET6 : AF_INET};
};

TEST_P(ConnectFirstTest, TriesTheAddressesInTheirOrder) {
    const int timeoutMs = GetParam();
    struct TCase {
        const char* name;
        std::vector<TTarget> targets;
        bool needsV6;
        bool needsBound;      // a silent address: only with a time-out
        bool ok;
        int family;           // of the connected peer, when ok
        TNetFailure failure;  // otherwise, with the last attempt's text
        const char* err;
    };
    using T = TTarget;
    const TCase cases[] = {
        {"IPv6 first, answering", {T::Listener6, T::Listener4}, true, false, true, AF_INET6, TNetFailure::None, ""},
        {"IPv4 first, answering", {T::Listener4, T::Listener6}, true, false, true, AF_INET, TNetFailure::None, ""},
        {"IPv6 refused, IPv4 next", {T::Closed6, T::Listener4}, true, false, true, AF_INET, TNetFailure::None, ""},
        {"IPv4 refused, IPv6 next", {T::Closed4, T::Listener6}, true, false, true, AF_INET6, TNetFailure::None, ""},
        {"all refused", {T::Closed6, T::Closed4}, true, false, false, 0, TNetFailure::Connect, "Connection refused"},
        {"one refused", {T::Closed4}, false, false, false, 0, TNetFailure::Connect, "Connection refused"},
        // A silent address takes only its share of the time-out: the next
        // one still gets its turn within it.
        {"IPv6 silent, IPv4 next", {T::Silent6, T::Listener4}, true, true, true, AF_INET, TNetFailure::None, ""},
        {"silent, refused, answering", {T::Silent4, T::Closed4, T::Listener4}, false, true, true, AF_INET,
         TNetFailure::None, ""},
        {"refused, then silent", {T::Closed4, T::Silent4}, false, true, false, 0, TNetFailure::Timeout, "Timeout"},
        {"silent, then refused", {T::Silent4, T::Closed4}, false, true, false, 0, TNetFailure::Connect,
         "Connection refused"},
    };
    bool skippedV6 = false;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsV6 && !v6_) {
            skippedV6 = true;
            continue;
        }
        if (c.needsBound && timeoutMs <= 0) continue;
        std::vector<TSockAddr> addrs;
        for (TTarget t : c.targets) addrs.push_back(Address(t));
        TFd sock(dup(0));  // anything held before is dropped
        TNetFailure failure = TNetFailure::Resolve;
        String err("stale");
        EXPECT_EQ(ConnectFirst(addrs, timeoutMs, sock, failure, err), c.ok);
        EXPECT_EQ(failure, c.failure);
        EXPECT_STREQ(err.Data(), c.err);
        EXPECT_EQ(sock.Valid(), c.ok);
        if (c.ok) {
            EXPECT_EQ(PeerFamily(sock.Get()), c.family);
            EXPECT_EQ(NonBlocking(sock.Get()), timeoutMs > 0);
        }
        // Drain what the listeners took, so that their queues never fill.
        for (const TFd* l : {&listener4_, &listener6_}) {
            if (!l->Valid()) continue;
            for (;;) {
                TFd a(accept4(l->Get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (!a.Valid()) break;
            }
        }
    }
    if (skippedV6) std::cout << "[  NOTE    ] " << kNoIPv6Loopback << "\n";
}

TEST_P(ConnectFirstTest, AnEmptyListIsAResolveFailure) {
    TFd sock(dup(0));
    TNetFailure failure = TNetFailure::None;
    String err;
    EXPECT_FALSE(ConnectFirst({}, GetParam(), sock, failure, err));
    EXPECT_EQ(failure, TNetFailure::Resolve);
    EXPECT_STREQ(err.Data(), "Cannot resolve server name to IP address");
    EXPECT_FALSE(sock.Valid());
}

INSTANTIATE_TEST_SUITE_P(TimeOuts, ConnectFirstTest, ::testing::Values(0, 1000));

}  // namespace
