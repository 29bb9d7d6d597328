#include "foundation/qdstring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string S(const String& s) { return std::string(s.View()); }

TEST(StringBasics, EmptyConstructionsHaveNoContent) {
    EXPECT_EQ(String("").Length(), 0);
    EXPECT_EQ(String(static_cast<const char*>(nullptr)).Length(), 0);
    EXPECT_STREQ(String().Data(), "");
}

TEST(StringBasics, BinarySafety) {
    const char raw[] = {'a', '\0', 'b', '\0'};
    String s(raw, 4);
    EXPECT_EQ(s.Length(), 4);
    String t = s + String(raw, 3);
    EXPECT_EQ(t.Length(), 7);
    EXPECT_EQ(t.Pos(String("\0b", 2)), 2);
    EXPECT_NE(s, String("a"));
    EXPECT_EQ(String(raw, 4), s);
    TStrList l;
    l.Add(s);
    EXPECT_EQ(l[0], s);
}

TEST(StringBasics, AssignmentRules) {
    String s("abc");
    s = s;
    EXPECT_EQ(S(s), "abc");
    s = static_cast<const char*>(nullptr);
    EXPECT_EQ(s.Length(), 0);
    s = "x";
    s += s;
    EXPECT_EQ(S(s), "xx");
    s.AddData(nullptr, 5);
    EXPECT_EQ(S(s), "xx");
}

TEST(StringBasics, SetLengthReservesForDirectWrites) {
    String s;
    s.SetLength(10);
    EXPECT_EQ(s.Length(), 10);
    EXPECT_EQ(s[1], '\0');
    std::memcpy(s.Buffer(), "hello", 5);
    s.SetLength(5);
    EXPECT_EQ(S(s), "hello");
    s.SetLength(0);
    EXPECT_EQ(s.Length(), 0);
}

struct PosCase {
    const char* text;
    const char* needle;
    int expected;
};

TEST(StringSearch, PosAndMempos) {
    const PosCase cases[] = {
        {"axb", "x", 2}, {"axb", "", 0}, {"", "a", 0}, {"xab", "ab", 2}, {"ab", "abc", 0}, {"abab", "ab", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + c.needle);
        EXPECT_EQ(String(c.text).Pos(c.needle), c.expected);
        EXPECT_EQ(mempos(c.text, static_cast<int>(strlen(c.text)), c.needle, static_cast<int>(strlen(c.needle))),
                  c.expected);
    }
    EXPECT_EQ(String("axb").Pos('x'), 2);
    EXPECT_EQ(String("axb").Pos('z'), 0);
    EXPECT_EQ(String("abc").Pos(static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(memposi("xxHeLLo", 7, "hello", 5), 3);
    EXPECT_EQ(mempos("xxHeLLo", 7, "hello", 5), 0);
    EXPECT_EQ(mempos(nullptr, 3, "a", 1), 0);
}

TEST(StringEdit, DeleteAndCopy) {
    struct Case {
        int pos, count;
        const char* afterDelete;
        const char* copy;
    };
    const Case cases[] = {
        {2, 100, "h", "ello"}, {0, 1, "hello", "h"}, {6, 1, "hello", ""}, {1, 0, "hello", ""},
        {4, 10, "hel", "lo"},  {2, 2, "hlo", "el"},  {5, 1, "hell", "o"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pos * 1000 + c.count);
        String s("hello");
        s.Delete(c.pos, c.count);
        EXPECT_EQ(S(s), c.afterDelete);
        EXPECT_EQ(S(String("hello").Copy(c.pos, c.count)), c.copy);
    }
    EXPECT_EQ(S(String("hello").Copy(3, String("hello").Length())), "llo");
}

TEST(StringEdit, TrimAndLowerCase) {
    struct Case {
        std::string in, trimmed, asciiTrimmed;
    };
    const Case trims[] = {
        {" \t abc \r\n", "abc", "abc"},
        {"\x80\xff\x90", "", "\x80\xff\x90"},
        {"   ", "", ""},
        {"a b", "a b", "a b"},
        {"\xc3\xa9x\xc3\xa9", "x", "\xc3\xa9x\xc3\xa9"},
        {std::string("\0 /var/log/caf\xc3\xa9\x01", 17), "/var/log/caf", "/var/log/caf\xc3\xa9"},
        {"", "", ""},
    };
    for (const auto& c : trims) {
        String s(c.in);
        EXPECT_EQ(S(s.Trim()), c.trimmed) << c.in;
        String a(c.in);
        EXPECT_EQ(S(a.TrimAscii()), c.asciiTrimmed) << c.in;
    }
    EXPECT_EQ(S(String("abc").LowerCase()), "abc");
    EXPECT_EQ(S(String("AbC\xc4").LowerCase()), "abc\xc4");
}

TEST(StringEdit, ReplaceAll) {
    struct Case {
        const char *text, *what, *with;
        int caseSensitive;
        const char* expected;
    };
    const Case cases[] = {
        {"a b c", " ", "\r\n", 1, "a\r\nb\r\nc"},
        {"%X%%x%", "%x%", "1", 0, "11"},
        {"%X%%x%", "%x%", "1", 1, "%X%1"},
        {"%x%", "%x%", "1", 0, "1"},
        {"aaa", "aa", "b", 1, "ba"},
        {"abc", "", "x", 1, "abc"},
        {"abc", "b", "bb", 1, "abbc"},
        {"abc", "b", "", 1, "ac"},
    };
    for (const auto& c : cases) {
        String s(c.text);
        EXPECT_EQ(S(s.ReplaceAll(c.what, c.with, c.caseSensitive)), c.expected) << c.text << " " << c.what;
        EXPECT_EQ(S(s), c.text);
    }
}

TEST(StringEdit, GetWord) {
    struct Case {
        const char* text;
        int n;
        const char* expected;
    };
    const Case cases[] = {
        {"a,b,c", 2, "b"}, {"a,,c", 2, ""}, {"a,b,c", 4, ""}, {"a,b,c", 0, "a"},
        {"a,b,c", 3, "c"}, {",x", 1, ""},   {"abc", 1, "abc"},
    };
    for (const auto& c : cases) EXPECT_EQ(S(String(c.text).GetWord(c.n, ',')), c.expected) << c.text << c.n;
}

TEST(StringCompare, Equality) {
    EXPECT_TRUE(String() == String(""));
    EXPECT_TRUE(String() == static_cast<const char*>(nullptr));
    EXPECT_FALSE(String("a") == static_cast<const char*>(nullptr));
    EXPECT_TRUE(String("abc") == "abc");
    EXPECT_TRUE(String("abc") != "ABC");
    EXPECT_TRUE(String("ab") != "abc");
}

TEST(CharHelpers, CaseAndDecimal) {
    EXPECT_EQ(LoCase('Z'), 'z');
    EXPECT_EQ(LoCase('1'), '1');
    EXPECT_EQ(LoCase('\xC4'), '\xC4');

    struct Case {
        const char* text;
        bool expected;
    };
    const Case cases[] = {{"", true},     {"--", true},  {"-", true},   {"1-2", true},
                          {"1.5", false}, {"12", true},  {" 1", false}, {"+1", false}};
    for (const auto& c : cases) EXPECT_EQ(isdecimalnum(c.text), c.expected) << c.text;
    EXPECT_FALSE(isdecimalnum("-5", 2));
    EXPECT_TRUE(isdecimalnum("123", 3));
    EXPECT_TRUE(isdecimalnum("x", 0));
}

TEST(StrList, AddDeleteAndIndex) {
    TStrList l;
    for (int i = 0; i < 200; ++i) l.Add(String(std::to_string(i)));
    l.Add(String());
    EXPECT_EQ(l.Count(), 201);
    l.Delete(0);
    EXPECT_EQ(S(l[0]), "1");
    EXPECT_EQ(l.Count(), 200);
    EXPECT_EQ(l[199].Length(), 0);
    l.Delete(l.Count() - 1);
    EXPECT_EQ(S(l[198]), "199");
    l.Clear();
    EXPECT_EQ(l.Count(), 0);
}

TEST(StrListDeathTest, OutOfRangeIndexStopsTheProcess) {
    TStrList l;
    EXPECT_DEATH(l[0], "TStrList::operator\\[\\]");
    EXPECT_DEATH(l.Delete(0), "void TStrList::Delete\\(int\\)");
    l.Add(String("a"));
    EXPECT_DEATH(l[-1], "Assertion");
}

}  // namespace
