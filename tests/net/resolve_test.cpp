#include "net/resolve.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>

#include "common/unresolvable.h"
#include <unistd.h>

#include <string>


namespace {

struct HostCase {
    const char* host;
    bool ok;
    unsigned int addrHostOrder;  // 0: any loopback address
    const char* error;
};

TEST(GetHostIP, ResolvesDottedNamesAndRefusesUnknownOnes) {
    const HostCase cases[] = {
        {"127.0.0.1", true, 0x7F000001u, ""},
        {"10.1.2.3", true, 0x0A010203u, ""},
        {"255.255.255.255", true, 0xFFFFFFFFu, ""},
        {"localhost", true, 0, ""},
        {kUnresolvableHost.c_str(), false, 0, "Cannot resolve server name to IP address"},
        {"", false, 0, "Cannot resolve server name to IP address"},
    };
    for (const HostCase& c : cases) {
        SCOPED_TRACE(c.host);
        unsigned int addr = 0xDEADBEEF;
        String err("stale");
        EXPECT_EQ(GetHostIP(c.host, addr, err), c.ok);
        EXPECT_STREQ(err.Data(), c.error);
        if (!c.ok) {
            EXPECT_EQ(addr, 0xDEADBEEF);  // unchanged
            continue;
        }
        if (c.addrHostOrder != 0) {
            EXPECT_EQ(ntohl(addr), c.addrHostOrder);
        } else {
            EXPECT_EQ(ntohl(addr) >> 24, 127u);  // localhost
        }
    }
}

TEST(GetHostIP, NullHostIsAResolveError) {
    String err;
    unsigned int addr = 0;
    EXPECT_FALSE(GetHostIP(nullptr, addr, err));
    EXPECT_STREQ(err.Data(), "Cannot resolve server name to IP address");
}

TEST(GetMyIP, MatchesTheLocalHostName) {
    char name[256] = "";
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    unsigned int expected = 0;
    String err;
    if (!GetHostIP(name, expected, err)) expected = 0;
    EXPECT_EQ(GetMyIP(), expected);
}

TEST(InetNtoaSafe, CutsToTheFieldAndTerminates) {
    struct Case {
        int size;
        const char* text;
    } const cases[] = {
        {8, "192.168"}, {16, "192.168.100.200"}, {64, "192.168.100.200"}, {15, "192.168.100.20"}, {1, ""},
    };
    in_addr a{};
    a.s_addr = htonl(0xC0A864C8u);  // 192.168.100.200
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        char field[64];
        memset(field, 'x', sizeof field);
        EXPECT_EQ(inet_ntoa_safe(a, field, c.size), field);
        EXPECT_STREQ(field, c.text);
    }
    char untouched[4] = "abc";
    inet_ntoa_safe(a, untouched, 0);
    EXPECT_STREQ(untouched, "abc");
}

TEST(IP2String, GivesTheDottedForm) {
    EXPECT_STREQ(IP2String(htonl(0x0A000001u)).Data(), "10.0.0.1");
    EXPECT_STREQ(IP2String(htonl(0xFFFFFFFFu)).Data(), "255.255.255.255");
    EXPECT_STREQ(IP2String(0).Data(), "0.0.0.0");
}

TEST(ResolveSockAddr, TellsResolutionFromABadPort) {
    struct TCase {
        const char* host;
        int port;
        bool ok;
        TNetFailure failure;
    };
    const TCase cases[] = {
        {"127.0.0.1", 0, true, TNetFailure::None},
        {"127.0.0.1", 65535, true, TNetFailure::None},
        {"127.0.0.1", 65536, false, TNetFailure::Connect},
        {"127.0.0.1", -1, false, TNetFailure::Connect},
        {kUnresolvableHost.c_str(), 80, false, TNetFailure::Resolve},
        {"", 80, false, TNetFailure::Resolve},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
        sockaddr_in sa{};
        TNetFailure failure = TNetFailure::Timeout;
        String err("stale");
        EXPECT_EQ(ResolveSockAddr(c.host, c.port, sa, failure, err), c.ok);
        EXPECT_EQ(failure, c.failure);
        if (c.ok) {
            EXPECT_EQ(ntohs(sa.sin_port), c.port);
            EXPECT_EQ(sa.sin_addr.s_addr, htonl(0x7F000001u));
        } else {
            EXPECT_FALSE(err.IsEmpty());
        }
    }
}

}  // namespace
