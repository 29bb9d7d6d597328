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
