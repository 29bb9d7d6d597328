#include "net/address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

namespace {

TNetAddress Parsed(const char* text) {
    TNetAddress a;
    EXPECT_TRUE(TNetAddress::Parse(text, a)) << text;
    return a;
}

TEST(NetAddress, ParseAndText) {
    struct Case {
        const char* text;
        bool valid;
        int family;
        const char* shown;  // Text()
    };
    const Case cases[] = {
        {"127.0.0.1", true, AF_INET, "127.0.0.1"},
        {"0.0.0.0", true, AF_INET, "0.0.0.0"},
        {"255.255.255.255", true, AF_INET, "255.255.255.255"},
        {"::1", true, AF_INET6, "::1"},
        {"0:0:0:0:0:0:0:1", true, AF_INET6, "::1"},
        {"2001:0DB8:0000:0000:0000:ff00:0042:8329", true, AF_INET6, "2001:db8::ff00:42:8329"},
        {"2001:db8:0:0:1:0:0:1", true, AF_INET6, "2001:db8::1:0:0:1"},  // the first longest run of zeros
        {"fe80::1", true, AF_INET6, "fe80::1"},
        {"::", true, AF_INET6, "::"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true, AF_INET6, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        // IPv4-mapped: the IPv4 address.
        {"::ffff:192.168.1.2", true, AF_INET, "192.168.1.2"},
        {"::ffff:c0a8:102", true, AF_INET, "192.168.1.2"},
        {"0:0:0:0:0:ffff:127.0.0.1", true, AF_INET, "127.0.0.1"},
        {"", false, 0, ""},
        {"[::1]", false, 0, ""},
        {"::1%lo", false, 0, ""},
        {"::1/128", false, 0, ""},
        {"127.0.0.1 ", false, 0, ""},
        {"127.0.0", false, 0, ""},
        {"256.0.0.1", false, 0, ""},
        {":::1", false, 0, ""},
        {"1:2:3:4:5:6:7:8:9", false, 0, ""},
        {"localhost", false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TNetAddress a;
        ASSERT_EQ(TNetAddress::Parse(c.text, a), c.valid);
        if (!c.valid) {
            EXPECT_TRUE(a.IsNone());  // unchanged
            continue;
        }
        EXPECT_EQ(a.Family(), c.family);
        EXPECT_EQ(a.Text().Std(), c.shown);
        TNetAddress again;
        ASSERT_TRUE(TNetAddress::Parse(a.Text().View(), again));
        EXPECT_EQ(again, a);
    }
    std::string nul("::1\0x", 5);
    TNetAddress a;
    EXPECT_FALSE(TNetAddress::Parse(nul, a));
    EXPECT_FALSE(TNetAddress::Parse(std::string(200, '1'), a));
}

TEST(NetAddress, NoAddressAndIPv4Forms) {
    EXPECT_TRUE(TNetAddress().IsNone());
    EXPECT_EQ(TNetAddress().Text().Std(), "");
    EXPECT_TRUE(TNetAddress(in_addr{0}).IsNone());  // 0.0.0.0 from a message: no client
    const TNetAddress v4(in_addr{htonl(0x0A000102u)});
    EXPECT_TRUE(v4.IsV4());
    EXPECT_EQ(v4.V4HostOrder(), 0x0A000102u);
    EXPECT_EQ(v4, TNetAddress::FromV4HostOrder(0x0A000102u));
    EXPECT_EQ(v4.Text().Std(), "10.0.1.2");
    EXPECT_EQ(v4.Length(), 4);
    EXPECT_EQ(Parsed("::1").Length(), 16);
    EXPECT_EQ(Parsed("::1").V4HostOrder(), 0u);
    EXPECT_TRUE(TNetAddress::FromV4HostOrder(0).IsV4());
    char field[8];
    EXPECT_STREQ(Parsed("2001:db8::1").Format(field, sizeof field), "2001:db");  // cut to fit
}

TEST(NetAddress, FromSockAddr) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = in6addr_loopback;
    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::ffff:127.0.0.2", &mapped.sin6_addr);
    sockaddr_storage unix_{};
    unix_.ss_family = AF_UNIX;
    struct Case {
        const char* name;
        const void* sa;
        socklen_t length;
        bool valid;
        const char* shown;
    } const cases[] = {
        {"IPv4", &in, sizeof in, true, "127.0.0.1"},
        {"IPv6", &in6, sizeof in6, true, "::1"},
        {"IPv4-mapped", &mapped, sizeof mapped, true, "127.0.0.2"},
        {"short IPv4", &in, sizeof in - 1, false, ""},
        {"short IPv6", &in6, sizeof in, false, ""},
        {"another family", &unix_, sizeof unix_, false, ""},
        {"nothing", nullptr, 0, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TNetAddress a;
        EXPECT_EQ(TNetAddress::FromSockAddr(static_cast<const sockaddr*>(c.sa), c.length, a), c.valid);
        EXPECT_EQ(a.Text().Std(), c.shown);
    }
}

TEST(NetAddress, PrefixesMasksAndOrder) {
    EXPECT_EQ(Parsed("2001:db8:1:2:3:4:5:6").Prefix64(), Parsed("2001:db8:1:2::"));
    EXPECT_EQ(Parsed("2001:db8:1:2::").Prefix64(), Parsed("2001:db8:1:2::"));
    EXPECT_NE(Parsed("2001:db8:1:3::1").Prefix64(), Parsed("2001:db8:1:2::1").Prefix64());
    EXPECT_EQ(Parsed("10.1.2.3").Prefix64(), Parsed("10.1.2.3"));  // IPv4: unchanged
    EXPECT_EQ(Parsed("10.1.2.3").Masked(8), Parsed("10.0.0.0"));
    EXPECT_EQ(Parsed("10.1.2.3").Filled(8), Parsed("10.255.255.255"));
    EXPECT_EQ(Parsed("10.1.2.3").Masked(0), Parsed("0.0.0.0"));
    EXPECT_EQ(Parsed("10.1.2.3").Masked(32), Parsed("10.1.2.3"));
    EXPECT_EQ(Parsed("2001:db8:abcd::1").Masked(33), Parsed("2001:db8:8000::"));
    EXPECT_EQ(Parsed("2001:db8::").Filled(126), Parsed("2001:db8::3"));
    EXPECT_EQ(Parsed("2001:db8::1").Masked(200), Parsed("2001:db8::1"));

    // Numeric order within a family; every IPv4 address before every IPv6 one.
    EXPECT_LT(Parsed("9.255.255.255"), Parsed("10.0.0.0"));
    EXPECT_LT(Parsed("2001:db8::ff"), Parsed("2001:db8::100"));
    EXPECT_LT(Parsed("255.255.255.255"), Parsed("::"));
    EXPECT_LT(TNetAddress(), Parsed("0.0.0.0"));

    std::unordered_set<TNetAddress, TNetAddressHash> set{Parsed("::1"), Parsed("0:0:0:0:0:0:0:1"), Parsed("127.0.0.1"),
                                                         Parsed("::ffff:127.0.0.1")};
    EXPECT_EQ(set.size(), 2u);
}

}  // namespace
