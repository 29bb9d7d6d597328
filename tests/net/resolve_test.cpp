#include "net/resolve.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>

#include "common/unresolvable.h"
#include <unistd.h>

#include <string>

#include "net/sockets.h"

namespace {

struct HostCase {
    const char* host;
    int result;
    unsigned int addrHostOrder;  // 0: any loopback address
    const char* error;
};

TEST(GetHostIP, ResolvesDottedNamesAndRefusesUnknownOnes) {
    const HostCase cases[] = {
        {"127.0.0.1", 1, 0x7F000001u, ""},
        {"10.1.2.3", 1, 0x0A010203u, ""},
        {"255.255.255.255", 1, 0xFFFFFFFFu, ""},
        {"localhost", 1, 0, ""},
        {kUnresolvableHost.c_str(), -2, 0, "Cannot resolve server name to IP address"},
        {"", -2, 0, "Cannot resolve server name to IP address"},
    };
    for (const HostCase& c : cases) {
        SCOPED_TRACE(c.host);
        unsigned int addr = 0xDEADBEEF;
        String err("stale");
        EXPECT_EQ(GetHostIP(c.host, &addr, err), c.result);
        EXPECT_STREQ(err.Data(), c.error);
        if (c.result != 1) continue;
        if (c.addrHostOrder != 0) {
            EXPECT_EQ(ntohl(addr), c.addrHostOrder);
        } else {
            EXPECT_EQ(ntohl(addr) >> 24, 127u);  // localhost
        }
    }
}

TEST(GetHostIP, NullHostIsAResolveError) {
    String err;
    EXPECT_EQ(GetHostIP(nullptr, nullptr, err), -2);
    EXPECT_STREQ(err.Data(), "Cannot resolve server name to IP address");
}

TEST(GetMyIP, MatchesTheLocalHostName) {
    char name[256] = "";
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    unsigned int expected = 0;
    String err;
    if (GetHostIP(name, &expected, err) != 1) expected = 0;
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

TEST(GetErrorStr, GivesTheSystemText) {
    EXPECT_STREQ(GetErrorStr(ECONNREFUSED).Data(), "Connection refused");
    EXPECT_STREQ(GetErrorStr(ETIMEDOUT).Data(), "Connection timed out");
}

TEST(IpErrMsg, HoldsTheGenericTextOfEachCode) {
    const char* expected[] = {"Winsock error", "Connection error", "Cannot read data",
                              "Cannot send data", "Cannot create socket",
                              "Cannot resolve host name to IP address", "Cannot init WinSock",
                              "Timeout", ""};
    for (int code = -7; code <= 1; ++code) {
        SCOPED_TRACE(code);
        EXPECT_STREQ(ipErrMsg[code + 7], expected[code + 7]);
        EXPECT_STREQ(IpErrText(code), expected[code + 7]);
    }
    EXPECT_STREQ(IpErrText(-8), "");
    EXPECT_STREQ(IpErrText(2), "");
}

}  // namespace
