// Opening the agent's listening socket: arguments, attempts and the pause
// that the tests may shorten.
#include "daemon/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "net/sockets.h"

namespace {

// The port of a socket of either family (the port sits at the same place
// in both address structures).
int LocalPort(int fd) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
    return ntohs(reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
}

uint32_t LocalAddress(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohl(sa.sin_addr.s_addr);
}

// A loopback port held by a listener of the test.
struct TBusyPort {
    TFd holder;
    int port = 0;
    TBusyPort() {
        String err;
        if (TcpListen("127.0.0.1", 0, nullptr, holder, err)) port = LocalPort(holder.Get());
    }
};

TEST(ListenRetryPauseMs, TakesWholeMillisecondsUpToAMinute) {
    struct TCase {
        const char* text;
        int ms;
    };
    const TCase cases[] = {
        {nullptr, 1000}, {"", 1000},       {"0", 0},         {"25", 25},        {"60000", 60000},
        {"60001", 1000}, {"999999", 1000}, {"-5", 1000},     {"abc", 1000},     {"12a", 1000},
        {" 5", 1000},    {"5 ", 1000},     {"1e3", 1000},    {"00050", 50},
    };
    EXPECT_EQ(kDefaultListenRetryMs, 1000);
    EXPECT_EQ(kListenAttempts, 3);
    for (const TCase& c : cases) EXPECT_EQ(ListenRetryPauseMs(c.text), c.ms) << (c.text ? c.text : "(null)");
}

TEST(Listen, OpensTheGivenHostAndPort) {
    // A port free on every address of both families (a loopback-only probe
    // could hand out a port that another address still holds, for example
    // in TIME_WAIT after a test with many connections).
    TFd probe;
    String probeErr;
    ASSERT_TRUE(TcpListen("", 0, nullptr, probe, probeErr)) << probeErr.Data();
    const int port = LocalPort(probe.Get());
    ASSERT_GT(port, 0);
    probe.Reset();  // free again; the kernel does not hand it out at once

    struct TCase {
        const char* host;
        uint32_t address;
    };
    for (TCase c : {TCase{"127.0.0.1", INADDR_LOOPBACK}, TCase{"", INADDR_ANY}}) {
        SCOPED_TRACE(c.host);
        TFd sock;
        String err;
        ASSERT_TRUE(Listen(c.host, port, 0, sock, err)) << err.Data();
        EXPECT_GT(sock.Get(), 2);
        EXPECT_EQ(LocalPort(sock.Get()), port);
        EXPECT_EQ(LocalAddress(sock.Get()), c.address);
    }
}

TEST(Listen, FailsWithTheLastErrorWhenThePortStaysBusy) {
    TBusyPort busy;
    ASSERT_NE(busy.port, 0);
    TFd sock(dup(busy.holder.Get()));  // anything held before is dropped
    String err;
    EXPECT_FALSE(Listen("127.0.0.1", busy.port, 1, sock, err));
    EXPECT_FALSE(sock.Valid());
    EXPECT_STREQ(err.Data(), "socket() or bind() error");
}

TEST(Listen, RefusesAPortOutsideTheRangeWithoutTrying) {
    for (int port : {0, -1, 65536, 70000}) {
        TFd sock;
        String err;
        // A pause of a minute: an attempt would show as a hung test.
        EXPECT_FALSE(Listen("127.0.0.1", port, 60000, sock, err)) << port;
        EXPECT_FALSE(sock.Valid());
        EXPECT_STREQ(err.Data(), "Invalid port number");
    }
}

}  // namespace
