#include "net/resolve.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>

#include "common/unresolvable.h"
#include <unistd.h>

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/io.h"


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

TEST(MyAddressText, IsTheDottedAddressOfGetMyIPWhenThereIsOne) {
    const unsigned int v4 = GetMyIP();
    const String text = MyAddressText();
    if (v4 != 0) {
        EXPECT_EQ(text, IP2String(v4));
    } else {
        // No IPv4 address: an IPv6 one, or the all-zeros address.
        EXPECT_TRUE(text == "0.0.0.0" || text.Pos(':') > 0) << text.Data();
    }
}

// The host texts that name an address without a look-up.
TEST(ParseNumericHost, LiteralsOfBothFamiliesWithAndWithoutBrackets) {
    struct TCase {
        const char* host;
        bool ok;
        int family;        // of the address, when ok
        const char* text;  // the address as written back, when ok
        bool bracketed;
    };
    const TCase cases[] = {
        {"127.0.0.1", true, AF_INET, "127.0.0.1", false},
        {"127.1", true, AF_INET, "127.0.0.1", false},  // the classic parser's short forms stay
        {"::1", true, AF_INET6, "::1", false},
        {"[::1]", true, AF_INET6, "::1", true},
        {"0:0:0:0:0:0:0:1", true, AF_INET6, "::1", false},
        {"[0:0::1]", true, AF_INET6, "::1", true},
        {"2001:DB8::a", true, AF_INET6, "2001:db8::a", false},
        {"::ffff:127.0.0.1", true, AF_INET6, "::ffff:127.0.0.1", false},
        {"fe80::1%lo", true, AF_INET6, "fe80::1%lo", false},
        {"[fe80::1%lo]", true, AF_INET6, "fe80::1%lo", true},
        // A dotted all-ones address goes to the look-up, as before.
        {"255.255.255.255", false, 0, "", false},
        {"localhost", false, 0, "", false},
        {"", false, 0, "", false},
        {"1::2::3", false, 0, "", false},
        {"::1]", false, 0, "", false},
        {"::1 ", false, 0, "", false},
        {"fe80::1%nosuchdevice0", false, 0, "", false},
        // Brackets hold an IPv6 literal and nothing else: never a name.
        {"[::1]:80", false, 0, "", true},
        {"[127.0.0.1]", false, 0, "", true},
        {"[localhost]", false, 0, "", true},
        {"[]", false, 0, "", true},
        {"[", false, 0, "", true},
        {"[::1", false, 0, "", true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.host + "\"");
        TSockAddr addr;
        bool bracketed = !c.bracketed;
        EXPECT_EQ(ParseNumericHost(c.host, addr, bracketed), c.ok);
        EXPECT_EQ(bracketed, c.bracketed);
        if (!c.ok) continue;
        EXPECT_EQ(addr.Family(), c.family);
        EXPECT_EQ(addr.len, c.family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        EXPECT_STREQ(addr.Text().Data(), c.text);
        EXPECT_EQ(addr.Port(), 0);
    }
    TSockAddr untouched;
    bool bracketed = true;
    EXPECT_FALSE(ParseNumericHost(nullptr, untouched, bracketed));
    EXPECT_FALSE(bracketed);
}

TEST(ResolveHostAddrs, LiteralsNamesAndFailures) {
    const std::string kNoName = "Cannot resolve server name to IP address";
    const std::string kInvalid = ErrnoText(EINVAL).Data();
    struct TCase {
        const char* host;
        int port;
        bool ok;
        TNetFailure failure;
        std::string err;
        const char* first;  // the first address, when ok
    };
    const TCase cases[] = {
        {"127.0.0.1", 0, true, TNetFailure::None, "", "127.0.0.1"},
        {"127.0.0.1", 65535, true, TNetFailure::None, "", "127.0.0.1"},
        {"::1", 80, true, TNetFailure::None, "", "::1"},
        {"[::1]", 80, true, TNetFailure::None, "", "::1"},
        {"::1", 65536, false, TNetFailure::Connect, kInvalid, nullptr},
        {"[::1]", -1, false, TNetFailure::Connect, kInvalid, nullptr},
        {"127.0.0.1", 65536, false, TNetFailure::Connect, kInvalid, nullptr},
        // A name is resolved before its port is judged.
        {kUnresolvableHost.c_str(), 70000, false, TNetFailure::Resolve, kNoName, nullptr},
        {kUnresolvableHost.c_str(), 80, false, TNetFailure::Resolve, kNoName, nullptr},
        {"[::1]:80", 80, false, TNetFailure::Resolve, kNoName, nullptr},
        {"[127.0.0.1]", 80, false, TNetFailure::Resolve, kNoName, nullptr},
        {"", 80, false, TNetFailure::Resolve, kNoName, nullptr},
        {nullptr, 80, false, TNetFailure::Resolve, kNoName, nullptr},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.host ? c.host : "(null)") + " port " + std::to_string(c.port));
        std::vector<TSockAddr> addrs(3);  // anything held before is dropped
        TNetFailure failure = TNetFailure::Timeout;
        String err("stale");
        EXPECT_EQ(ResolveHostAddrs(c.host, c.port, SOCK_STREAM, addrs, failure, err), c.ok);
        EXPECT_EQ(failure, c.failure);
        EXPECT_EQ(err.Std(), c.err);
        if (!c.ok) {
            EXPECT_TRUE(addrs.empty());
            continue;
        }
        ASSERT_EQ(addrs.size(), 1u);
        EXPECT_STREQ(addrs[0].Text().Data(), c.first);
        EXPECT_EQ(addrs[0].Port(), c.port);
    }
}

// A name comes back with the first address of each family, in the order
// the system's resolver gives them, with the port.
TEST(ResolveHostAddrs, NamesKeepTheResolversOrder) {
    for (const char* name : {"localhost", "ip6-localhost", "ip6-loopback"}) {
        SCOPED_TRACE(name);
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* raw = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &raw) != 0) continue;  // not known here
        std::vector<std::string> expected;
        std::vector<int> families;
        for (const addrinfo* a = raw; a != nullptr; a = a->ai_next) {
            char text[NI_MAXHOST] = "";
            getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
            const bool familySeen = std::find(families.begin(), families.end(), a->ai_family) != families.end();
            if (!familySeen) {
                families.push_back(a->ai_family);
                expected.push_back(text);
            }
        }
        freeaddrinfo(raw);
        std::vector<TSockAddr> addrs;
        TNetFailure failure = TNetFailure::Timeout;
        String err;
        ASSERT_TRUE(ResolveHostAddrs(name, 4321, SOCK_STREAM, addrs, failure, err)) << err.Data();
        std::vector<std::string> got;
        for (const TSockAddr& a : addrs) {
            got.push_back(a.Text().Std());
            EXPECT_EQ(a.Port(), 4321);
        }
        EXPECT_EQ(got, expected);
    }
}

TEST(TSockAddr, PortsTextsAndEquality) {
    const TSockAddr v4 = SockAddrV4(htonl(0x7F000001u), 1055);
    EXPECT_EQ(v4.Family(), AF_INET);
    EXPECT_EQ(v4.Port(), 1055);
    EXPECT_STREQ(v4.Text().Data(), "127.0.0.1");
    TSockAddr v6;
    bool bracketed = false;
    ASSERT_TRUE(ParseNumericHost("[::1]", v6, bracketed));
    v6.SetPort(65535);
    EXPECT_EQ(v6.Port(), 65535);
    EXPECT_STREQ(v6.Text().Data(), "::1");
    TSockAddr same;
    ASSERT_TRUE(ParseNumericHost("0::0:1", same, bracketed));
    EXPECT_FALSE(same == v6);  // the port differs
    same.SetPort(65535);
    EXPECT_TRUE(same == v6);
    EXPECT_FALSE(v4 == v6);
    const TSockAddr none;
    EXPECT_EQ(none.Port(), 0);
    EXPECT_TRUE(none.Text().IsEmpty());
}

}  // namespace
