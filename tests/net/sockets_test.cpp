#include "net/sockets.h"

#include <gtest/gtest.h>

#include "common/unresolvable.h"
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

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

INSTANTIATE_TEST_SUITE_P(TimeOuts, PerformConnectTest, ::testing::Values(0, 1000));

}  // namespace
