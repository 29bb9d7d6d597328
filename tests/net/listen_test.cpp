// The listening socket of the agent: both families on one socket when no
// host is given, one address otherwise. Loopback only.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/ipv6_loopback.h"
#include "common/unresolvable.h"
#include "foundation/fd.h"
#include "net/address.h"
#include "net/sockets.h"

namespace {

int Family(int fd) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
    return sa.ss_family;
}

int Port(int fd) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
    if (sa.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
}

// A blocking connect to address:port; the socket, or invalid when refused.
TFd Connect(const char* address, int port) {
    TNetAddress a;
    if (!TNetAddress::Parse(address, a)) return TFd();
    sockaddr_storage sa{};
    socklen_t len = 0;
    if (a.IsV4()) {
        auto* in = reinterpret_cast<sockaddr_in*>(&sa);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&in->sin_addr, a.Bytes(), 4);
        len = sizeof *in;
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&sa);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&in6->sin6_addr, a.Bytes(), 16);
        len = sizeof *in6;
    }
    TFd fd(socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid() || connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), len) != 0) return TFd();
    return fd;
}

// The peer address accept() reports for the next connection.
std::string AcceptedPeer(int listenFd) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    TFd fd(accept(listenFd, reinterpret_cast<sockaddr*>(&sa), &len));
    TNetAddress a;
    if (!fd.Valid() || !TNetAddress::FromSockAddr(reinterpret_cast<sockaddr*>(&sa), len, a)) return "(none)";
    return a.Text().Std();
}

TEST(Listen, NoHostServesBothFamiliesOnOneSocket) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    for (const char* host : {static_cast<const char*>(nullptr), "", "::"}) {
        SCOPED_TRACE(host == nullptr ? "null" : host);
        String err;
        TFd fd;
        unsigned int addrlen = 0;
        ASSERT_TRUE(TcpListen(host, 0, &addrlen, fd, err)) << err.Data();
        EXPECT_EQ(Family(fd.Get()), AF_INET6);
        EXPECT_EQ(addrlen, sizeof(sockaddr_in6));
        int v6only = -1;
        socklen_t len = sizeof v6only;
        ASSERT_EQ(getsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &len), 0);
        EXPECT_EQ(v6only, 0);
        const int port = Port(fd.Get());
        // An IPv4 client is seen as its IPv4 address, never as ::ffff:a.b.c.d.
        TFd v4 = Connect("127.0.0.1", port);
        ASSERT_TRUE(v4.Valid());
        EXPECT_EQ(AcceptedPeer(fd.Get()), "127.0.0.1");
        TFd v6 = Connect("::1", port);
        ASSERT_TRUE(v6.Valid());
        EXPECT_EQ(AcceptedPeer(fd.Get()), "::1");
    }
}

TEST(Listen, OneAddressOfEitherFamily) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    struct Case {
        const char* host;
        int family;
        const char* answers;
        const char* refuses;
    } const cases[] = {
        {"127.0.0.1", AF_INET, "127.0.0.1", "::1"},
        {"::1", AF_INET6, "::1", "127.0.0.1"},
        {"0:0:0:0:0:0:0:1", AF_INET6, "::1", "127.0.0.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        String err;
        TFd fd;
        ASSERT_TRUE(TcpListen(c.host, 0, nullptr, fd, err)) << err.Data();
        EXPECT_EQ(Family(fd.Get()), c.family);
        const int port = Port(fd.Get());
        EXPECT_FALSE(Connect(c.refuses, port).Valid());
        TFd client = Connect(c.answers, port);
        ASSERT_TRUE(client.Valid());
        EXPECT_EQ(AcceptedPeer(fd.Get()), c.answers);
    }
}

// A name listens on its IPv4 address first, as before IPv6 was served, so
// that IPv4 clients of a host=localhost agent still reach it.
TEST(Listen, ANameListensOnItsIPv4AddressFirst) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo("localhost", nullptr, &hints, &found) != 0) GTEST_SKIP() << "localhost has no IPv4 address here";
    freeaddrinfo(found);
    String err;
    TFd fd;
    ASSERT_TRUE(TcpListen("localhost", 0, nullptr, fd, err)) << err.Data();
    EXPECT_EQ(Family(fd.Get()), AF_INET);
}

TEST(Listen, AnIPv6PortInUseIsRefused) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    String err;
    TFd first, second, third;
    ASSERT_TRUE(TcpListen("::1", 0, nullptr, first, err)) << err.Data();
    const int port = Port(first.Get());
    int error = 0;
    EXPECT_FALSE(TcpListen("::1", port, nullptr, second, error, err));
    EXPECT_EQ(err.Std(), "socket() or bind() error");
    EXPECT_EQ(error, EADDRINUSE);  // the reason the start-up failure names
    EXPECT_FALSE(second.Valid());
    // Every address of both families includes ::1.
    error = 0;
    EXPECT_FALSE(TcpListen("", port, nullptr, third, error, err));
    EXPECT_EQ(err.Std(), "socket() or bind() error");
    EXPECT_EQ(error, EADDRINUSE);
}

TEST(Listen, AResolverFailureHasNoSystemReason) {
    String err;
    TFd fd;
    int error = -1;
    EXPECT_FALSE(TcpListen(kUnresolvableHost.c_str(), 0, nullptr, fd, error, err));
    EXPECT_EQ(error, 0);
}

}  // namespace
