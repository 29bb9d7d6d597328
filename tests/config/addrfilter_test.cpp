#include "config/addrfilter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

struct AllowCase {
    const char* list;
    const char* address;
    bool allowed;
    const char* error;  // expected error text, "" for none
};

TEST(IPAllowed, ListsAndRanges) {
    const AllowCase cases[] = {
        {"127.0.0.1", "127.0.0.1", true, ""},
        {"127.0.0.1", "127.0.0.2", false, ""},
        {"10.0.0.1-10.0.0.20,192.168.1.5", "10.0.0.7", true, ""},
        {"10.0.0.1-10.0.0.20,192.168.1.5", "192.168.1.5", true, ""},
        {"10.0.0.1-10.0.0.20,192.168.1.5", "10.0.0.21", false, ""},
        {"10.0.0.1-10.0.0.20", "10.0.0.20", true, ""},
        {"10.0.0.20-10.0.0.1", "10.0.0.7", true, ""},
        {"10.0.0.1, 10.0.0.2", "10.0.0.2", true, "Illegal character ( ) specified"},
        {"10.0.0.1 10.0.0.2", "10.0.0.1", false, "Invalid IP address (10.0.0.110.0.0.2) specified"},
        {"abc", "10.0.0.1", false, "Illegal character (a) specified"},
        {"", "127.0.0.1", false, ""},
        {"10.0.0.300,10.0.0.1", "10.0.0.1", false, "Invalid IP address (10.0.0.300) specified"},
        {"10.0.0.1-x,10.0.0.9", "10.0.0.1", true, "Invalid IP address () specified"},
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
    EXPECT_TRUE(IPAllowed(inet_addr("10.1.2.3"), String("10.1.2.0-10.1.2.255"), error));
    EXPECT_FALSE(IPAllowed("not an address", String("10.1.2.3"), error));
}

TEST(GetItem, ConsumesOneItem) {
    String list("10.0.0.1-10.0.0.3,10.0.0.9");
    String error;
    unsigned int first = 0, last = 0;
    getitem(list, first, last, error);
    EXPECT_EQ(first, 0x0A000001u);
    EXPECT_EQ(last, 0x0A000003u);
    EXPECT_EQ(std::string(list.View()), "10.0.0.9");
    getitem(list, first, last, error);
    EXPECT_EQ(first, 0x0A000009u);
    EXPECT_EQ(last, 0u);
    getitem(list, first, last, error);
    EXPECT_EQ(first, 0u);
    EXPECT_TRUE(error.IsEmpty());
}

TEST(ListChars, OnlyDigitsDotsDashesCommas) {
    for (char c : std::string("0123456789.-,")) EXPECT_TRUE(islistsetchar(c)) << c;
    for (char c : std::string(" a/;:\r\n")) EXPECT_FALSE(islistsetchar(c)) << c;
}

// An entry admits exactly its own address, never one that is only a part
// of it or of which it is only a part.
TEST(ConnectionFilter, WholeEntriesOnly) {
    const String list("\r\n10.0.0.12\r\n110.0.0.1\r\n 192.168.0.5 \r\n");
    struct Case {
        const char* address;
        bool admitted;
    };
    const Case cases[] = {
        {"10.0.0.12", true}, {"110.0.0.1", true}, {"192.168.0.5", true}, {"10.0.0.1", false},
        {"0.0.0.1", false},  {"10.0.0.123", false}, {"", false},         {"192.168.0.50", false},
    };
    for (const auto& c : cases) EXPECT_EQ(FilterAdmits(list, c.address), c.admitted) << c.address;
    EXPECT_FALSE(FilterAdmits(String("\r\n"), "127.0.0.1"));
}

}  // namespace
