// The escaper of agent text in its three forms.
#include <gtest/gtest.h>

#include <string>

#include "zelq/escape.h"

namespace {

TEST(ZelqEscape, EveryFormOnTheSameBytes) {
    const struct {
        const char* label;
        std::string in;
        std::string terminal;
        std::string field;
        std::string json;
    } cases[] = {
        {"plain", "abc 123", "abc 123", "abc 123", "abc 123"},
        {"tab", "a\tb", "a\tb", "a\\x09b", "a\\u0009b"},
        {"line ends", "\r\n", "\\x0D\\x0A", "\\x0D\\x0A", "\\u000d\\u000a"},
        {"zero byte", std::string("a\0b", 3), "a\\x00b", "a\\x00b", "a\\u0000b"},
        {"escape sequence", "\x1b[2J", "\\x1B[2J", "\\x1B[2J", "\\u001b[2J"},
        {"unit separator and DEL", "\x1f\x7f", "\\x1F\\x7F", "\\x1F\\x7F", "\\u001f\\u007f"},
        {"quote and backslash only matter to JSON", "a\"b\\c", "a\"b\\c", "a\"b\\c", "a\\\"b\\\\c"},
        {"valid UTF-8", "caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9"},
        {"invalid UTF-8 only matters to JSON", "caf\xe9\xff", "caf\xe9\xff", "caf\xe9\xff", "caf\\u00e9\\u00ff"},
        {"C1 CSI in UTF-8", "a\xc2\x9b" "31m", "a\\xC2\\x9B31m", "a\\xC2\\x9B31m", "a\\u009b31m"},
        {"C1 bounds in UTF-8", "\xc2\x80\xc2\x9f\xc2\xa0", "\\xC2\\x80\\xC2\\x9F\xc2\xa0",
         "\\xC2\\x80\\xC2\\x9F\xc2\xa0", "\\u0080\\u009f\xc2\xa0"},
        {"raw C1 bytes (OSC title, CSI)", "\x9d" "0;t\x9c\x9b" "1m", "\\x9D0;t\\x9C\\x9B1m", "\\x9D0;t\\x9C\\x9B1m",
         "\\u009d0;t\\u009c\\u009b1m"},
        {"raw C1 byte bounds", "\x80\x9f\xa0", "\\x80\\x9F\xa0", "\\x80\\x9F\xa0", "\\u0080\\u009f\\u00a0"},
        {"C1 byte after a cut sequence", "\xe2\x9b", "\xe2\\x9B", "\xe2\\x9B", "\\u00e2\\u009b"},
        {"continuation bytes 0x80-0x9F inside valid UTF-8", "\xe2\x80\x9c\xf0\x9f\x98\x80",
         "\xe2\x80\x9c\xf0\x9f\x98\x80", "\xe2\x80\x9c\xf0\x9f\x98\x80", "\xe2\x80\x9c\xf0\x9f\x98\x80"},
        {"overlong C1 is invalid, not a character", "\xe0\x82\x9b", "\xe0\\x82\\x9B", "\xe0\\x82\\x9B",
         "\\u00e0\\u0082\\u009b"},
        {"C1 and tab in one text", "\t\xc2\x85", "\t\\xC2\\x85", "\\x09\\xC2\\x85", "\\u0009\\u0085"},
        {"empty", "", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Escaped(c.in, TEscapeForm::Terminal), c.terminal);
        EXPECT_EQ(Escaped(c.in, TEscapeForm::Field), c.field);
        EXPECT_EQ(Escaped(c.in, TEscapeForm::Json), c.json);
        EXPECT_EQ(JsonString(c.in), "\"" + c.json + "\"");
    }
}

TEST(ZelqEscape, AppendsAfterWhatIsThere) {
    std::string out = "x=";
    AppendEscaped(out, "\a", TEscapeForm::Terminal);
    AppendEscaped(out, "\a", TEscapeForm::Json);
    EXPECT_EQ(out, "x=\\x07\\u0007");
}

}  // namespace
