#include <gtest/gtest.h>

#include <climits>

#include "protocol/codecs.h"
#include "test_util.h"

namespace {

TEST(CodecsTest, EscapeRoundTrip) {
    EXPECT_EQ(zelEncodeStrings("a\r\nb", 0), String("a%0D%0Ab"));
    EXPECT_EQ(zelDecodeStrings("a%0D%0Ab", 0), String("a\r\nb"));
    String withZero("x\0\n", 3);
    EXPECT_EQ(zelEncodeStrings(withZero), String("x\0%0A", 5));
    EXPECT_EQ(zelDecodeStrings(zelEncodeStrings(withZero)), withZero);
    EXPECT_TRUE(zelEncodeStrings(nullptr, 0).IsEmpty());
    EXPECT_TRUE(zelDecodeStrings(nullptr, 5).IsEmpty());
}

TEST(CodecsTest, EscapeDecodingTable) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"%0a", "%0a"},        // lower case stays
        {"%0A%0D", "\n\r"},
        {"%%0A", "%\n"},
        {"%0", "%0"},          // percent sign in the last two positions
        {"x%0", "x%0"},
        {"x%", "x%"},
        {"%", "%"},
        {"ab%0A", "ab\n"},     // escape that ends exactly at the text's end
        {"%1A", "%1A"},
        {"%0B", "%0B"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(zelDecodeStrings(c.in, 0), String(c.out)) << c.in;
    // The length bounds the scan: an escape cut by it is copied as is.
    EXPECT_EQ(zelDecodeStrings("ab%0A", 4), String("ab%0"));
}

TEST(CodecsTest, BooleanTable) {
    const struct {
        const char* text;
        bool value;
    } cases[] = {{"1", true}, {"0", false}, {"", false}, {"01", false}, {"true", false},
                 {"1 ", false}, {" 1", false}, {"11", false}, {nullptr, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(zelDecodeBool(c.text), c.value) << (c.text ? c.text : "(null)");
        if (c.text) {
            EXPECT_EQ(zelDecodeBool(String(c.text)), c.value) << c.text;
        }
    }
}

TEST(CodecsTest, IntegerTable) {
    const struct {
        const char* text;
        int plain;              // as atoi, clamped
        long long wide;         // as atoll
        bool valid;             // isdecimalnum accepts it
    } cases[] = {
        {"42", 42, 42, true},
        {"-7", -7, -7, true},
        {"", 0, 0, true},
        {"1-2", 1, 1, true},
        {"--3", 0, 0, true},
        {"  12", 12, 12, false},
        {"+5", 5, 5, false},
        {"12abc", 12, 12, false},
        {"abc", 0, 0, false},
        {"4294967296", INT_MAX, 4294967296LL, true},
        {"-99999999999", INT_MIN, -99999999999LL, true},
        {"99999999999999999999", INT_MAX, LLONG_MAX, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(zelDecodeInt(c.text), c.plain);
        EXPECT_EQ(zelDecodeInt(String(c.text)), c.plain);
        EXPECT_EQ(zelDecodeInt64(c.text), c.wide);
        EXPECT_EQ(zelDecodeInt64(String(c.text)), c.wide);
        int out = -1234;
        long long out64 = -1234;
        EXPECT_EQ(zelDecodeInt(c.text, out), c.valid);
        EXPECT_EQ(zelDecodeInt64(String(c.text), out64), c.valid);
        EXPECT_EQ(out, c.valid ? c.plain : -1234);
        EXPECT_EQ(out64, c.valid ? c.wide : -1234);
    }
    int out = 9;
    EXPECT_FALSE(zelDecodeInt(static_cast<const char*>(nullptr), out));
    EXPECT_EQ(out, 9);
}

}  // namespace
