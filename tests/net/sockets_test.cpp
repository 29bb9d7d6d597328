#include "net/sockets.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/fd.h"
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
        TFd fd(numeric ? TcpListen("127.0.0.1", 0, &addrlen, err)
                       : TcpListen("127.0.0.1", "0", &addrlen, err));
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
        TFd fd(TcpListen(host, 0, nullptr, err));
        ASSERT_GT(fd.Get(), 0) << err.Data();
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        ASSERT_EQ(getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len), 0);
        EXPECT_EQ(sa.sin_addr.s_addr, htonl(INADDR_ANY));
    }
}

TEST(TcpListen, NeverReturnsDescriptorZero) {
    // With standard input closed the lowest free number is 0, which callers
    // would take for a failure.
    TFd savedStdin(fcntl(0, F_DUPFD_CLOEXEC, 3));
    ASSERT_TRUE(savedStdin.Valid());
    close(0);
    String err;
    TFd fd(TcpListen("127.0.0.1", 0, nullptr, err));
    ASSERT_EQ(dup2(savedStdin.Get(), 0), 0);
    EXPECT_GT(fd.Get(), 2) << err.Data();
    EXPECT_TRUE(CloseOnExec(fd.Get()));
}

TEST(TcpListen, RefusesAPortInUse) {
    String err;
    TFd first(TcpListen("127.0.0.1", 0, nullptr, err));
    ASSERT_GT(first.Get(), 0) << err.Data();
    unsigned int addrlen = 1234;
    int second = TcpListen("127.0.0.1", LocalPort(first.Get()), &addrlen, err);
    EXPECT_EQ(second, 0);
    EXPECT_STREQ(err.Data(), "socket() or bind() error");
    EXPECT_EQ(addrlen, 1234u);
}

TEST(TcpListen, ReportsTheResolverTextForAnUnknownHost) {
    String err;
    EXPECT_EQ(TcpListen("no-such-host.invalid", 0, nullptr, err), 0);
    EXPECT_FALSE(err.IsEmpty());
    EXPECT_STRNE(err.Data(), "socket() or bind() error");
}

// Connect cases run with a blocking connect (0) and with a time-out.
class PerformConnectTest : public ::testing::TestWithParam<int> {};

TEST_P(PerformConnectTest, RefusedByAClosedPort) {
    ClosedPort closed;
    ASSERT_GT(closed.port, 0);
    int sock = -7;
    String err;
    EXPECT_EQ(PerformConnect(sock, "127.0.0.1", closed.port, GetParam(), err), -6);
    EXPECT_STREQ(err.Data(), "Connection refused");
    TFd owner(sock);  // the caller owns the socket on failure too
    EXPECT_GE(sock, 0);
}

TEST_P(PerformConnectTest, ConnectsToALoopbackListener) {
    String err;
    TFd listener(TcpListen("127.0.0.1", 0, nullptr, err));
    ASSERT_GT(listener.Get(), 0) << err.Data();
    int sock = -1;
    EXPECT_EQ(PerformConnect(sock, "127.0.0.1", LocalPort(listener.Get()), GetParam(), err), 1);
    TFd owner(sock);
    EXPECT_STREQ(err.Data(), "");
    ASSERT_GE(sock, 0);
    EXPECT_TRUE(CloseOnExec(sock));
    // Only a connect with a time-out switches the socket to non-blocking mode.
    EXPECT_EQ(NonBlocking(sock), GetParam() > 0);
    TFd accepted(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(accepted.Valid());
}

TEST_P(PerformConnectTest, UnknownHostLeavesNoSocket) {
    int sock = 99;
    String err;
    EXPECT_EQ(PerformConnect(sock, "no-such-host.invalid", 80, GetParam(), err), -2);
    EXPECT_EQ(sock, -1);
    EXPECT_STREQ(err.Data(), "Cannot resolve server name to IP address");
}

TEST_P(PerformConnectTest, PortOutOfRangeIsAConnectError) {
    for (int port : {-1, 65536, 70000}) {
        int sock = 99;
        String err;
        EXPECT_EQ(PerformConnect(sock, "127.0.0.1", port, GetParam(), err), -6);
        EXPECT_EQ(sock, -1);
        EXPECT_FALSE(err.IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(TimeOuts, PerformConnectTest, ::testing::Values(0, 1000));

TEST(TCPConnect, ProbesReachability) {
    String err;
    TFd listener(TcpListen("127.0.0.1", 0, nullptr, err));
    ASSERT_GT(listener.Get(), 0);
    EXPECT_EQ(TCPConnect("127.0.0.1", LocalPort(listener.Get()), 1000, err), 1);
    EXPECT_STREQ(err.Data(), "");
    ClosedPort closed;
    EXPECT_EQ(TCPConnect("127.0.0.1", closed.port, 1000, err), -6);
    EXPECT_STREQ(err.Data(), "Connection refused");
    EXPECT_EQ(TCPConnect("no-such-host.invalid", 80, 1000, err), -2);
}

TEST(TCPConnect, ClosesItsSocket) {
    // The probe releases its descriptor: the lowest free number is unchanged.
    ClosedPort closed;
    TFd slot(dup(0));
    int lowestFree = slot.Get();
    slot.Reset();
    String err;
    EXPECT_EQ(TCPConnect("127.0.0.1", closed.port, 1000, err), -6);
    TFd after(dup(0));
    EXPECT_EQ(after.Get(), lowestFree);
}

}  // namespace
