#include "net/syncsocket.h"

#include <gtest/gtest.h>

#include "common/unresolvable.h"
#include <sys/socket.h>

#include <string>

#include "foundation/fd.h"
#include "net/sockets.h"
#include "net_test_util.h"

namespace {

using nettest::BoundLoopback;
using nettest::ClosedPort;
using nettest::CloseOnExec;
using nettest::LocalPort;

// A TCP listener on 127.0.0.1 and the server side of one accepted connection.
class TcpPeer : public ::testing::Test {
protected:
    void SetUp() override {
        String err;
        ASSERT_TRUE(TcpListen("127.0.0.1", 0, nullptr, listener, err)) << err.Data();
        port = LocalPort(listener.Get());
    }
    void ConnectClient(int timeoutMs) {
        ASSERT_EQ(client.Connect("127.0.0.1", port, timeoutMs), 1) << client.LastError.Data();
        server.Reset(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_TRUE(server.Valid());
    }
    std::string ServerRead() {
        char buf[256];
        ssize_t n = recv(server.Get(), buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

    TFd listener, server;
    int port = 0;
    TSyncSocket client{TSyncSocket::TCP};
};

TEST_F(TcpPeer, ExchangesDataBothWays) {
    for (int timeoutMs : {0, 1000}) {
        SCOPED_TRACE(timeoutMs);
        ConnectClient(timeoutMs);
        EXPECT_TRUE(CloseOnExec(client.Socket));
        EXPECT_EQ(client.Connected(), 1);
        EXPECT_EQ(client.SendString("hello server", 0), 12);
        EXPECT_EQ(ServerRead(), "hello server");
        ASSERT_EQ(send(server.Get(), "hi", 2, 0), 2);
        String got("stale");
        EXPECT_EQ(client.ReadString(got, 1000), 2);
        EXPECT_STREQ(got.Data(), "hi");
        EXPECT_STREQ(client.LastError.Data(), "");
        client.Disconnect();
        EXPECT_EQ(client.Socket, -1);
        EXPECT_EQ(client.Connected(), 0);
    }
}

TEST_F(TcpPeer, ReadStringTimesOutWithoutData) {
    ConnectClient(0);
    String got("stale");
    EXPECT_EQ(client.ReadString(got, 50), 0);
    EXPECT_STREQ(client.LastError.Data(), "Timeout");
    EXPECT_TRUE(got.IsEmpty());
}

TEST_F(TcpPeer, ReadStringSeesThePeerClose) {
    ConnectClient(1000);
    server.Reset();
    String got;
    EXPECT_EQ(client.ReadString(got, 1000), 0);
    EXPECT_STREQ(client.LastError.Data(), "");
}

TEST_F(TcpPeer, ReadStringReadsOneChunkAtMost20480Bytes) {
    ConnectClient(0);
    const std::string big(30000, 'z');
    size_t sent = 0;
    while (sent < big.size()) {
        ssize_t n = send(server.Get(), big.data() + sent, big.size() - sent, 0);
        ASSERT_GT(n, 0);
        sent += static_cast<size_t>(n);
    }
    String got;
    int total = 0;
    while (total < 30000) {
        int n = client.ReadString(got, 1000);
        ASSERT_GT(n, 0) << client.LastError.Data();
        EXPECT_LE(n, 20480);
        EXPECT_EQ(got.Length(), n);  // emptied before each read
        total += n;
    }
    EXPECT_EQ(total, 30000);
}

TEST_F(TcpPeer, EmptySendSendsNothing) {
    ConnectClient(0);
    EXPECT_EQ(client.SendBuf("abc", 0, 0), 0);
    EXPECT_EQ(client.SendBuf("abc", -5, 0), 0);
    EXPECT_EQ(client.SendString("", 0), 0);
    char c;
    EXPECT_EQ(recv(server.Get(), &c, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(client.SendBuf("abc", 2, 0), 2);
    EXPECT_EQ(ServerRead(), "ab");
}

TEST_F(TcpPeer, ReconnectClosesThePreviousSocket) {
    ConnectClient(0);
    TFd firstServer(server.Release());
    ConnectClient(0);
    // The old connection was closed: its server side reads end of stream.
    char c;
    EXPECT_EQ(recv(firstServer.Get(), &c, 1, 0), 0);
}

TEST(TSyncSocket, FailedConnectKeepsNoSocket) {
    ClosedPort closed;
    for (int timeoutMs : {0, 1000}) {
        TSyncSocket s(TSyncSocket::TCP);
        EXPECT_EQ(s.Connect("127.0.0.1", closed.port, timeoutMs), -6);
        EXPECT_STREQ(s.LastError.Data(), "Connection refused");
        EXPECT_EQ(s.Socket, -1);
        EXPECT_EQ(s.Connected(), 0);
    }
    for (int type : {TSyncSocket::TCP, TSyncSocket::UDP}) {
        TSyncSocket s(type);
        EXPECT_EQ(s.Connect(kUnresolvableHost.c_str(), 9, 0), -2);
        EXPECT_STREQ(s.GetLastError().Data(), "Cannot resolve server name to IP address");
        EXPECT_EQ(s.Socket, -1);
    }
}

TEST(TSyncSocket, SendWithoutSocketFails) {
    TSyncSocket s(TSyncSocket::TCP);
    EXPECT_EQ(s.SendBuf("x", 1, 0), -4);
    EXPECT_FALSE(s.LastError.IsEmpty());
    String got;
    EXPECT_EQ(s.ReadString(got, 0), 0);
    EXPECT_STREQ(s.LastError.Data(), "Timeout");
}

TEST(TSyncSocket, UdpExchange) {
    TFd server = BoundLoopback(SOCK_DGRAM);
    ASSERT_TRUE(server.Valid());
    TSyncSocket client(TSyncSocket::UDP);
    ASSERT_EQ(client.Connect("127.0.0.1", LocalPort(server.Get()), 0), 1) << client.LastError.Data();
    EXPECT_TRUE(CloseOnExec(client.Socket));
    EXPECT_EQ(client.Connected(), 1);

    // A zero-length send must not produce an (empty) datagram.
    EXPECT_EQ(client.SendBuf("ignored", 0, 0), 0);
    EXPECT_EQ(client.SendString("ping", 0), 4);
    char buf[64];
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(server.Get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_EQ(recv(server.Get(), buf, sizeof buf, MSG_DONTWAIT), -1);  // nothing else arrived

    ASSERT_EQ(sendto(server.Get(), "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), fromLen), 4);
    String got;
    EXPECT_EQ(client.ReadString(got, 1000), 4);
    EXPECT_STREQ(got.Data(), "pong");
    EXPECT_EQ(client.ReadString(got, 50), 0);
    EXPECT_STREQ(client.LastError.Data(), "Timeout");
}

}  // namespace
