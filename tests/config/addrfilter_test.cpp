#include "config/addrfilter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/settings.h"

namespace {

std::vector<std::string> Texts(const std::vector<String>& problems) {
    std::vector<std::string> out;
    for (const String& p : problems) out.emplace_back(p.View());
    return out;
}

TEST(DottedAddress, StrictFourDecimalParts) {
    struct Case {
        const char* text;
        bool valid;
        uint32_t address;
    };
    const Case cases[] = {
        {"127.0.0.1", true, 0x7F000001u},
        {"0.0.0.0", true, 0u},
        {"255.255.255.255", true, 0xFFFFFFFFu},
        {"10.20.30.40", true, 0x0A141E28u},
        {"256.0.0.1", false, 0},
        {"10.0.0", false, 0},
        {"10.0.0.1.2", false, 0},
        {"10.0.0.01", false, 0},    // a leading zero reads as octal elsewhere
        {"10.0.0.", false, 0},
        {".10.0.0.1", false, 0},
        {"10..0.1", false, 0},
        {"10.0.0.1 ", false, 0},
        {"+1.0.0.1", false, 0},
        {"1000.0.0.1", false, 0},
        {"a.b.c.d", false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t address = 0xDEADBEEFu;
        EXPECT_EQ(ParseDottedAddress(c.text, address), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(address, c.address) << c.text;
        }
    }
}

TEST(AddressItem, AddressesRangesAndPrefixes) {
    struct Case {
        const char* item;
        bool valid;
        uint32_t first, last;
    };
    const Case cases[] = {
        {"10.0.0.7", true, 0x0A000007u, 0x0A000007u},
        {"10.0.0.1-10.0.0.20", true, 0x0A000001u, 0x0A000014u},
        {"10.0.0.20-10.0.0.1", true, 0x0A000001u, 0x0A000014u},   // either order
        {"10.0.0.5-10.0.0.5", true, 0x0A000005u, 0x0A000005u},
        {"10.0.0.0/8", true, 0x0A000000u, 0x0AFFFFFFu},
        {"10.1.2.3/8", true, 0x0A000000u, 0x0AFFFFFFu},           // bits past the prefix ignored
        {"192.168.1.0/24", true, 0xC0A80100u, 0xC0A801FFu},
        {"192.168.1.77/32", true, 0xC0A8014Du, 0xC0A8014Du},
        {"172.16.0.0/12", true, 0xAC100000u, 0xAC1FFFFFu},
        {"0.0.0.0/0", true, 0u, 0xFFFFFFFFu},
        {"1.2.3.4/0", true, 0u, 0xFFFFFFFFu},
        {"10.0.0.0/33", false, 0, 0},
        {"10.0.0.0/", false, 0, 0},
        {"10.0.0.0/08", false, 0, 0},
        {"10.0.0.0/-1", false, 0, 0},
        {"10.0.0.0/8/8", false, 0, 0},
        {"/8", false, 0, 0},
        {"10.0.0.1-", false, 0, 0},
        {"-10.0.0.1", false, 0, 0},
        {"10.0.0.1-x", false, 0, 0},
        {"10.0.0.1-10.0.0.2-10.0.0.3", false, 0, 0},
        {"10.0.0.0/8-10.0.0.1", false, 0, 0},
        {"10.0.0.300", false, 0, 0},
        {"localhost", false, 0, 0},
        // IPv4-mapped IPv6 items are IPv4 items.
        {"::ffff:10.0.0.1", true, 0x0A000001u, 0x0A000001u},
        {"::FFFF:a00:1", true, 0x0A000001u, 0x0A000001u},
        {"::ffff:10.1.2.3/104", true, 0x0A000000u, 0x0AFFFFFFu},
        {"::ffff:0.0.0.0/96", true, 0u, 0xFFFFFFFFu},
        {"::ffff:10.0.0.1-10.0.0.9", false, 0, 0},  // a range is written in one form
    };
    for (const auto& c : cases) {
        TAddressRange range;
        EXPECT_EQ(ParseAddressItem(c.item, range), c.valid) << c.item;
        if (!c.valid) continue;
        EXPECT_TRUE(range.first.IsV4() && range.last.IsV4()) << c.item;
        EXPECT_EQ(range.first.V4HostOrder(), c.first) << c.item;
        EXPECT_EQ(range.last.V4HostOrder(), c.last) << c.item;
    }
}

TEST(AddressItem, IPv6AddressesRangesAndPrefixes) {
    struct Case {
        const char* item;
        bool valid;
        const char* first;  // texts of the ends, in the compressed form
        const char* last;
    };
    const Case cases[] = {
        {"::1", true, "::1", "::1"},
        {"0:0:0:0:0:0:0:1", true, "::1", "::1"},
        {"0000:0000:0000:0000:0000:0000:0000:0001", true, "::1", "::1"},
        {"2001:DB8::A", true, "2001:db8::a", "2001:db8::a"},
        {"::", true, "::", "::"},
        {"2001:db8::/32", true, "2001:db8::", "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"2001:db8:1:2:3:4:5:6/64", true, "2001:db8:1:2::", "2001:db8:1:2:ffff:ffff:ffff:ffff"},
        {"2001:db8::1/128", true, "2001:db8::1", "2001:db8::1"},
        {"fe80::/10", true, "fe80::", "febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"::/0", true, "::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"2001:db8::1-2001:db8::ff", true, "2001:db8::1", "2001:db8::ff"},
        {"2001:db8::ff-2001:db8::1", true, "2001:db8::1", "2001:db8::ff"},  // either order
        {"::1.2.3.4", true, "::1.2.3.4", "::1.2.3.4"},  // IPv4-compatible: an IPv6 address
        {"2001:db8::/129", false, "", ""},
        {"2001:db8::/064", false, "", ""},
        {"2001:db8::/", false, "", ""},
        {"2001:db8::/x", false, "", ""},
        {"::ffff:10.0.0.0/95", false, "", ""},  // reaches past the IPv4-mapped block
        {"[::1]", false, "", ""},
        {"fe80::1%eth0", false, "", ""},
        {":::1", false, "", ""},
        {"2001:db8::g", false, "", ""},
        {"1:2:3:4:5:6:7:8:9", false, "", ""},
        {"2001:db8::1-10.0.0.1", false, "", ""},  // two families
        {"10.0.0.1-::1", false, "", ""},
        {"2001:db8::1-", false, "", ""},
        {"2001:db8::/32-2001:db9::", false, "", ""},
        {"::1-::2-::3", false, "", ""},
    };
    for (const auto& c : cases) {
        TAddressRange range;
        EXPECT_EQ(ParseAddressItem(c.item, range), c.valid) << c.item;
        if (!c.valid) continue;
        EXPECT_TRUE(range.first.IsV6() && range.last.IsV6()) << c.item;
        EXPECT_EQ(range.first.Text().Std(), c.first) << c.item;
        EXPECT_EQ(range.last.Text().Std(), c.last) << c.item;
    }
}

TEST(AddressItem, SeparatorsSplitItemsAndEntries) {
    struct Case {
        const char* list;
        std::vector<std::string> items;    // by NextAddressItem
        std::vector<std::string> entries;  // by NextFilterEntry
    };
    const Case cases[] = {
        {"", {}, {}},
        {" ,;\t\r\n", {}, {}},
        {"10.0.0.1 , 10.0.0.2", {"10.0.0.1", "10.0.0.2"}, {"10.0.0.1", "10.0.0.2"}},
        {"10.0.0.1", {"10.0.0.1"}, {"10.0.0.1"}},
        {"10.0.0.1 10.0.0.2", {"10.0.0.1", "10.0.0.2"}, {"10.0.0.1", "10.0.0.2"}},
        {"10.0.0.1,10.0.0.2;10.0.0.3", {"10.0.0.1", "10.0.0.2", "10.0.0.3"}, {"10.0.0.1,10.0.0.2;10.0.0.3"}},
        {"  10.0.0.1,, 10.0.0.2\r\n10.0.0.3/8\t10.0.0.4-10.0.0.5,",
         {"10.0.0.1", "10.0.0.2", "10.0.0.3/8", "10.0.0.4-10.0.0.5"},
         {"10.0.0.1,,", "10.0.0.2", "10.0.0.3/8", "10.0.0.4-10.0.0.5,"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> items, entries;
        std::string_view rest = c.list, piece;
        while (NextAddressItem(rest, piece)) items.emplace_back(piece);
        EXPECT_TRUE(rest.empty()) << c.list;
        rest = c.list;
        while (NextFilterEntry(rest, piece)) entries.emplace_back(piece);
        EXPECT_EQ(items, c.items) << c.list;
        EXPECT_EQ(entries, c.entries) << c.list;
    }
}

struct AllowCase {
    const char* list;
    const char* address;
    bool allowed;
    const char* error;  // expected error text, "" for none
};

TEST(IPAllowed, ListsRangesAndPrefixes) {
    const AllowCase cases[] = {
        {"127.0.0.1", "127.0.0.1", 1, ""},
        {"127.0.0.1", "127.0.0.2", 0, ""},
        {"10.0.0.1-10.0.0.20,192.168.1.5", "10.0.0.7", 1, ""},
        {"10.0.0.1-10.0.0.20,192.168.1.5", "192.168.1.5", 1, ""},
        {"10.0.0.1-10.0.0.20,192.168.1.5", "10.0.0.21", 0, ""},
        {"10.0.0.1-10.0.0.20", "10.0.0.20", 1, ""},
        {"10.0.0.1-10.0.0.20", "10.0.0.1", 1, ""},
        {"10.0.0.1-10.0.0.20", "10.0.0.0", 0, ""},
        {"10.0.0.20-10.0.0.1", "10.0.0.7", 1, ""},
        // Blanks separate items, as commas and semicolons do.
        {"10.0.0.1, 10.0.0.2", "10.0.0.2", 1, ""},
        {"10.0.0.1 10.0.0.2", "10.0.0.1", 1, ""},
        {"10.0.0.1 10.0.0.2", "10.0.0.2", 1, ""},
        {"10.0.0.1;10.0.0.2", "10.0.0.2", 1, ""},
        {"10.0.0.1\r\n10.0.0.2\t10.0.0.3", "10.0.0.3", 1, ""},
        {" ,10.0.0.1,, ", "10.0.0.1", 1, ""},
        // Prefixes.
        {"10.0.0.0/8", "10.255.1.2", 1, ""},
        {"10.0.0.0/8", "11.0.0.0", 0, ""},
        {"10.0.0.0/8", "9.255.255.255", 0, ""},
        {"192.168.1.0/24 127.0.0.1", "192.168.1.255", 1, ""},
        {"192.168.1.0/24 127.0.0.1", "192.168.2.0", 0, ""},
        {"192.168.1.7/32", "192.168.1.7", 1, ""},
        {"192.168.1.7/32", "192.168.1.6", 0, ""},
        {"0.0.0.0/0", "203.0.113.9", 1, ""},
        {"0.0.0.0/0", "255.255.255.255", 1, ""},
        {"255.255.255.255", "255.255.255.255", 1, ""},
        // A bad item matches nothing and is named; the others still count.
        {"abc", "10.0.0.1", 0, "Invalid IP address (abc) specified"},
        {"", "127.0.0.1", 0, ""},
        {"10.0.0.300,10.0.0.1", "10.0.0.1", 1, "Invalid IP address (10.0.0.300) specified"},
        {"10.0.0.1,10.0.0.300,bad", "10.0.0.1", 1, "Invalid IP address (10.0.0.300) specified"},
        {"10.0.0.1-x,10.0.0.9", "10.0.0.1", 0, "Invalid IP address (10.0.0.1-x) specified"},
        {"10.0.0.0/33", "10.0.0.1", 0, "Invalid IP address (10.0.0.0/33) specified"},
        {"10.0.0.1a", "10.0.0.1", 0, "Invalid IP address (10.0.0.1a) specified"},
        // Blanks around a dash split the range into three items.
        {"10.0.0.1 - 10.0.0.9", "10.0.0.5", 0, "Invalid IP address (-) specified"},
        {"10.0.0.1 - 10.0.0.9", "10.0.0.9", 1, "Invalid IP address (-) specified"},
        // IPv6: compared as addresses, not as texts.
        {"::1", "::1", 1, ""},
        {"::1", "0:0:0:0:0:0:0:1", 1, ""},
        {"0:0:0:0:0:0:0:1", "::1", 1, ""},
        {"::1", "::2", 0, ""},
        {"2001:DB8::1", "2001:db8::1", 1, ""},
        {"2001:db8::/32", "2001:db8:ffff::1", 1, ""},
        {"2001:db8::/32", "2001:db9::1", 0, ""},
        {"2001:db8::/32", "2001:db7:ffff:ffff:ffff:ffff:ffff:ffff", 0, ""},
        {"2001:db8::1-2001:db8::ff", "2001:db8::80", 1, ""},
        {"2001:db8::1-2001:db8::ff", "2001:db8::100", 0, ""},
        {"::/0", "2001:db8::1", 1, ""},
        // One family never matches the other ...
        {"127.0.0.1", "::1", 0, ""},
        {"0.0.0.0/0", "::1", 0, ""},
        {"::/0", "127.0.0.1", 0, ""},
        {"::1.2.3.4", "1.2.3.4", 0, ""},
        // ... except that IPv4-mapped addresses are their IPv4 addresses.
        {"::ffff:127.0.0.1", "127.0.0.1", 1, ""},
        {"127.0.0.1", "::ffff:127.0.0.1", 1, ""},
        {"::ffff:10.0.0.0/104", "10.9.9.9", 1, ""},
        {"::ffff:0:0/96", "::1", 0, ""},
        // Mixed lists, and the texts of bad IPv6 items.
        {"127.0.0.1, ::1; 10.0.0.0/8 2001:db8::/48", "::1", 1, ""},
        {"127.0.0.1, ::1; 10.0.0.0/8 2001:db8::/48", "2001:db8:0:ffff::1", 1, ""},
        {"127.0.0.1, ::1; 10.0.0.0/8 2001:db8::/48", "2001:db8:1::1", 0, ""},
        {"::1-127.0.0.1", "::1", 0, "Invalid IP address (::1-127.0.0.1) specified"},
        {"[::1]", "::1", 0, "Invalid IP address ([::1]) specified"},
        {"::1/129,::1", "::1", 1, "Invalid IP address (::1/129) specified"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.list) + " / " + c.address);
        String error;
        EXPECT_EQ(IPAllowed(c.address, String(c.list), error), c.allowed);
        EXPECT_EQ(std::string(error.View()), c.error);
    }
}

TEST(IPAllowed, NetworkOrderFormAndBadAddress) {
    String error;
    EXPECT_EQ(IPAllowed(inet_addr("10.1.2.3"), String("10.1.2.0-10.1.2.255"), error), 1);
    EXPECT_EQ(IPAllowed(inet_addr("10.1.2.3"), String("10.1.0.0/16"), error), 1);
    EXPECT_EQ(IPAllowed("not an address", String("10.1.2.3"), error), 0);
    EXPECT_EQ(IPAllowed(nullptr, String("0.0.0.0/0"), error), 0);
    EXPECT_EQ(IPAllowed("[::1]", String("::1"), error), 0);
    EXPECT_EQ(IPAllowed(TNetAddress(), String("0.0.0.0/0 ::/0"), error), 0);  // no address
    TNetAddress v6;
    ASSERT_TRUE(TNetAddress::Parse("2001:db8::5", v6));
    EXPECT_EQ(IPAllowed(v6, String("2001:db8::1-2001:db8::9"), error), 1);
}

// The effective list holds the entries in force, CR LF between them; an
// entry admits exactly the addresses of its items, never one of which it
// is only a part or that is only a part of it.
TEST(ConnectionFilter, EntriesAreAddressListItems) {
    const String list("\r\n10.0.0.12\r\n110.0.0.1\r\n 192.168.0.5 \r\n172.16.0.0/12\r\n"
                      "10.9.0.1-10.9.0.3,10.8.0.1\r\nbad\r\n");
    struct Case {
        const char* address;
        bool admitted;
    };
    const Case cases[] = {
        {"10.0.0.12", true},   {"110.0.0.1", true},   {"192.168.0.5", true},   {"10.0.0.1", false},
        {"0.0.0.1", false},    {"10.0.0.123", false}, {"", false},             {"192.168.0.50", false},
        {"172.16.0.1", true},  {"172.31.255.255", true}, {"172.32.0.0", false}, {"10.9.0.2", true},
        {"10.9.0.4", false},   {"10.8.0.1", true},    {"not an address", false}, {"10.0.0.012", false},
    };
    for (const auto& c : cases) EXPECT_EQ(FilterAdmits(list, c.address), c.admitted) << c.address;
    EXPECT_FALSE(FilterAdmits(String("\r\n"), "127.0.0.1"));
    EXPECT_FALSE(FilterAdmits(list, nullptr));
}

TEST(ConnectionFilter, IPv6EntriesAndClients) {
    const String list("\r\n127.0.0.1\r\n0:0:0:0:0:0:0:1\r\n2001:db8:aa::/48\r\nfd00::1-fd00::9,10.0.0.1\r\n");
    struct Case {
        const char* address;
        bool admitted;
    };
    const Case cases[] = {
        {"::1", true},           {"127.0.0.1", true},       {"::ffff:127.0.0.1", true}, {"::2", false},
        {"2001:db8:aa:ffff::1", true}, {"2001:db8:ab::1", false}, {"fd00::5", true},     {"fd00::a", false},
        {"10.0.0.1", true},      {"::ffff:10.0.0.1", true}, {"::10.0.0.1", false},      {"[::1]", false},
        {"::1%lo", false},
    };
    for (const auto& c : cases) EXPECT_EQ(FilterAdmits(list, c.address), c.admitted) << c.address;
    EXPECT_FALSE(FilterAdmits(String("\r\n::/0\r\n0.0.0.0/0\r\n"), TNetAddress()));
}

// Deriving the settings builds the filter's list from the entries in force:
// blanks separate entries wherever they come from (the file's line, a
// remote change's one line, or one entry per line).
TEST(ConnectionFilter, DerivedFromListAndMarks) {
    struct Case {
        const char* list;
        const char* marks;
        const char* effective;
        const char* admitted;  // admitted addresses, blank-separated
        const char* refused;
    };
    const Case cases[] = {
        {"127.0.0.1 10.0.0.9", "11", "\r\n127.0.0.1\r\n10.0.0.9\r\n", "127.0.0.1 10.0.0.9", "10.0.0.90"},
        {"127.0.0.1\r\n10.0.0.9", "01", "\r\n10.0.0.9\r\n", "10.0.0.9", "127.0.0.1"},
        {"127.0.0.1 10.0.0.0/8\t192.168.0.1-192.168.0.9", "111",
         "\r\n127.0.0.1\r\n10.0.0.0/8\r\n192.168.0.1-192.168.0.9\r\n", "127.0.0.1 10.20.30.40 192.168.0.5",
         "11.0.0.1 192.168.0.10"},
        {"127.0.0.1 10.0.0.9", "1", "\r\n127.0.0.1\r\n", "127.0.0.1", "10.0.0.9"},   // no mark: off
        {"127.0.0.2 , 127.0.0.3", "01", "\r\n127.0.0.3\r\n", "127.0.0.3", "127.0.0.2"},
        {"0.0.0.0/0", "0", "\r\n", "", "127.0.0.1"},
        {"127.0.0.1 ::1 2001:db8::/32", "101", "\r\n127.0.0.1\r\n2001:db8::/32\r\n", "127.0.0.1 2001:db8::5",
         "::1 2001:db9::1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.list) + " / " + c.marks);
        TZELSettings s;
        s.filterlist = c.list;
        s.filtermarks = c.marks;
        s.tmpdir = "/";
        String err;
        s.DeriveComputedFields(err);
        EXPECT_TRUE(err.IsEmpty()) << err.Data();
        EXPECT_EQ(s.effectivefilterlist, c.effective);
        std::string_view rest = c.admitted, address;
        while (NextAddressItem(rest, address))
            EXPECT_TRUE(FilterAdmits(s.effectivefilterlist, std::string(address).c_str())) << address;
        rest = c.refused;
        while (NextAddressItem(rest, address))
            EXPECT_FALSE(FilterAdmits(s.effectivefilterlist, std::string(address).c_str())) << address;
    }
}

TEST(CheckAddressList, ManagementLists) {
    struct Case {
        const char* list;
        bool valid;
        std::vector<std::string> problems;
    };
    const Case cases[] = {
        {"127.0.0.1", true, {}},
        {"", true, {}},
        {"127.0.0.1 10.0.0.0/8, 192.168.1.1-192.168.1.9;0.0.0.0/0", true, {}},
        {"127.0.0.1 10.0.0.300", false, {"Invalid IP address (10.0.0.300) specified"}},
        {"x,10.0.0.1,y/8", false, {"Invalid IP address (x) specified", "Invalid IP address (y/8) specified"}},
        {"::1 2001:db8::/32, fe80::1-fe80::9;::ffff:10.0.0.0/104", true, {}},
        {"::1 2001:db8::/129 :::1", false,
         {"Invalid IP address (2001:db8::/129) specified", "Invalid IP address (:::1) specified"}},
    };
    for (const auto& c : cases) {
        std::vector<String> problems;
        EXPECT_EQ(CheckAddressList(String(c.list), problems), c.valid) << c.list;
        EXPECT_EQ(Texts(problems), c.problems) << c.list;
    }
}

TEST(CheckAddressList, FilterListsAndMarks) {
    struct Case {
        const char* list;
        const char* marks;
        bool valid;
        std::vector<std::string> problems;
    };
    const Case cases[] = {
        {"127.0.0.1", "1", true, {}},
        {"127.0.0.1 10.0.0.9", "10", true, {}},          // a mark '0' is off on purpose: no report
        {"127.0.0.1 10.0.0.9", "1", true, {"Entry (10.0.0.9) has no filter mark and is off"}},
        {"127.0.0.1\r\n10.0.0.0/8\r\n10.1.1.1-10.1.1.5", "1", true,
         {"Entry (10.0.0.0/8) has no filter mark and is off",
          "Entry (10.1.1.1-10.1.1.5) has no filter mark and is off"}},
        {"127.0.0.1 10.0.0.9", "", true,
         {"Entry (127.0.0.1) has no filter mark and is off", "Entry (10.0.0.9) has no filter mark and is off"}},
        {"127.0.0.1", "111", true, {}},                   // more marks than entries: not this check's report
        {"10.0.0.1,10.0.0.2 10.0.0.3", "11", true, {}},   // one entry of two items, one mark
        {"10.0.0.1 , 10.0.0.2", "11", true, {}},          // a lone comma is no entry
        // Unparsable items first, then the entries without a mark.
        {"10.0.0.1 bad 10.0.0.2", "1", false,
         {"Invalid IP address (bad) specified", "Entry (bad) has no filter mark and is off",
          "Entry (10.0.0.2) has no filter mark and is off"}},
        {"10.0.0.1 10.0.0.256", "01", false, {"Invalid IP address (10.0.0.256) specified"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.list) + " / " + c.marks);
        std::vector<String> problems;
        EXPECT_EQ(CheckAddressList(String(c.list), String(c.marks), problems), c.valid);
        EXPECT_EQ(Texts(problems), c.problems);
    }
}

// Each bad entry is reported once, up to a limit, then one count of the rest.
TEST(CheckAddressList, LongReportsAreCut) {
    std::string list;
    const int n = kAddressListReportLimit + 7;
    for (int i = 0; i < n; ++i) list += "10.0.0." + std::to_string(256 + i) + " ";
    std::vector<String> problems;
    EXPECT_FALSE(CheckAddressList(String(list.c_str()), String(""), problems));
    ASSERT_EQ(problems.size(), static_cast<size_t>(2 * (kAddressListReportLimit + 1)));
    EXPECT_EQ(problems[0], "Invalid IP address (10.0.0.256) specified");
    EXPECT_EQ(problems[kAddressListReportLimit], "and 7 more invalid IP addresses");
    EXPECT_EQ(problems[kAddressListReportLimit + 1], "Entry (10.0.0.256) has no filter mark and is off");
    EXPECT_EQ(problems.back(), "and 7 more entries without a filter mark");
}

TEST(CheckAddressList, SettingsNameTheirKey) {
    TZELSettings s;
    s.filterlist = "127.0.0.1\r\n10.0.0.9";
    s.filtermarks = "1";
    s.manageaddr = "127.0.0.1 10.0.0.0/8";
    s.updateaddr = "127.0.0.1,10.0.0.x";
    std::vector<String> problems;
    EXPECT_FALSE(CheckAddressSettings(s, problems));
    EXPECT_EQ(Texts(problems), (std::vector<std::string>{"filterlist: Entry (10.0.0.9) has no filter mark and is off",
                                                         "updateaddr: Invalid IP address (10.0.0.x) specified"}));
    s.updateaddr = "127.0.0.1";
    problems.clear();
    EXPECT_TRUE(CheckAddressSettings(s, problems));
    EXPECT_EQ(problems.size(), 1u);
}

}  // namespace
