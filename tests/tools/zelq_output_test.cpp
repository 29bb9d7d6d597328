#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zelq/json.h"
#include "zelq/output.h"

namespace {

TReplyLines Reply(const char* code, std::vector<String> lines) {
    TReplyLines r;
    r.code = code;
    r.lines = std::move(lines);
    return r;
}

TEST(ZelqReply, SplitsCodeAndValueLines) {
    const struct {
        const char* label;
        std::string text;
        const char* code;
        std::vector<std::string> lines;
    } cases[] = {
        {"message", "200\nOk\n\r", "200", {"Ok"}},
        {"code only", "200\n\r", "200", {}},
        {"empty value line kept", "200\na\n\nb\n\r", "200", {"a", "", "b"}},
        {"lone end mark", "\r", "", {}},
        {"empty text", "", "", {}},
        {"no end mark", "301\nFile doesn`t exist\n", "301", {"File doesn`t exist"}},
        {"no final line feed", "500\nnot implemented yet\r", "500", {"not implemented yet"}},
        {"escapes stay for the formatter", "200\nA=x%0Ay\n\r", "200", {"A=x%0Ay"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TReplyLines r = SplitReply(String(std::string_view(c.text)));
        EXPECT_EQ(r.code, c.code);
        std::vector<std::string> got;
        for (const auto& l : r.lines) got.push_back(l.Std());
        EXPECT_EQ(got, c.lines);
    }
}

TEST(ZelqReply, MeaningsAndExitStatuses) {
    const struct {
        const char* code;
        const char* meaning;
        int exitStatus;
    } cases[] = {
        {"200", "success", 0},
        {"300", "operation failed", 1},
        {"301", "could not be carried out", 1},
        {"302", "another upgrade in progress", 1},
        {"500", "not understood or not supported", 2},
        {"501", "wrong or missing parameters", 2},
        {"502", "end-of-transmission mark missing", 2},
        {"600", "not allowed by the agent's settings", 2},
        {"999", "unknown result code", 2},
        {"", "unknown result code", 2},
        {"200 ", "unknown result code", 2},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(ResultMeaning(c.code), c.meaning) << c.code;
        EXPECT_EQ(ExitStatusForCode(c.code), c.exitStatus) << c.code;
    }
    EXPECT_TRUE(IsAlignedCommand("GetInfo"));
    EXPECT_TRUE(IsAlignedCommand("GetSettings"));
    EXPECT_FALSE(IsAlignedCommand("getinfo"));
    EXPECT_FALSE(IsAlignedCommand("SetSettings"));
}

TEST(ZelqFormat, DecodedOutput) {
    const struct {
        const char* label;
        TReplyLines reply;
        bool aligned;
        const char* expected;
    } cases[] = {
        {"code and message", Reply("500", {"Unknown command \"Nope\""}), false,
         "500 not understood or not supported\nUnknown command \"Nope\"\n"},
        {"escaped line breaks become lines", Reply("200", {"scriptres: ok", "a%0D%0Ab%0Ac%0Dd%0D%0A"}), false,
         "200 success\nscriptres: ok\na\nb\nc\nd\n"},
        {"empty value line", Reply("200", {""}), false, "200 success\n\n"},
        {"unknown code", Reply("777", {}), false, "777 unknown result code\n"},
        {"no code", Reply("", {}), false, "unknown result code\n"},
        {"not aligned keeps name=value", Reply("200", {"Port=1055"}), false, "200 success\nPort=1055\n"},
        {"two columns",
         Reply("200", {"AgentName=zel", "Available tests=TCP%0D%0AUDP%0D%0A", "Comment=", "Port=1055", "free text"}),
         true,
         "200 success\n"
         "AgentName        zel\n"
         "Available tests  TCP\n"
         "                 UDP\n"
         "Comment\n"
         "Port             1055\n"
         "free text\n"},
        {"value keeps its own blanks and '='", Reply("200", {"A=  x=y  "}), true, "200 success\nA    x=y  \n"},
        {"control characters are made visible", Reply("200", {"bell\a esc\x1b[2J del\x7f", "tab\tok"}), false,
         "200 success\nbell\\x07 esc\\x1B[2J del\\x7F\ntab\tok\n"},
        {"C1 controls too, other bytes as they are",
         Reply("200", {"csi\xc2\x9b" "2J osc\x9d" "0;t\x9c caf\xc3\xa9 latin\xe9"}), false,
         "200 success\ncsi\\xC2\\x9B2J osc\\x9D0;t\\x9C caf\xc3\xa9 latin\xe9\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(FormatDecoded(c.reply, c.aligned), c.expected);
    }
}

TEST(ZelqFormat, LongNamesDoNotWidenTheColumnBeyondItsLimit) {
    const std::string longName(40, 'N');
    TReplyLines r = Reply("200", {String(std::string_view(longName + "=v")), "A=1"});
    const std::string out = FormatDecoded(r, true);
    EXPECT_NE(out.find(longName + "  v\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nA" + std::string(31, ' ') + "  1\n"), std::string::npos) << out;
}

// One reply of each value type: the value under its name, typed; the lines
// as received in raw.
TEST(ZelqFormat, JsonOutputNamesAndTypesTheValues) {
    const struct {
        const char* label;
        const char* command;
        TReplyLines reply;
        std::string json;
    } cases[] = {
        {"integer", "TEST-CountFiles", Reply("200", {"7"}), R"({"code": "200", "values": {"count": 7}, "raw": ["7"]})"},
        {"64-bit, padding dropped", "TEST-FolderSize", Reply("200", {"     3"}),
         R"({"code": "200", "values": {"size": 3}, "raw": ["     3"]})"},
        {"64-bit beyond 32 bits, negative integer", "TEST-TCP", Reply("301", {"Connection refused", "-6"}),
         R"({"code": "301", "values": {"error": "Connection refused", "reason": -6}, "raw": ["Connection refused", "-6"]})"},
        {"real", "TEST-CPU", Reply("200", {"12.5000"}), R"({"code": "200", "values": {"usage": 12.5000}, "raw": ["12.5000"]})"},
        {"date and its ISO form", "TEST-FileExists",
         Reply("200", {"4294967296", "11122026003811", "01012000000000", "/etc/x", "min", "27"}),
         R"({"code": "200", "values": {"size": 4294967296, "changed": "11122026003811", "changed_iso": "2026-12-11T00:38:11", )"
         R"("modified": "01012000000000", "modified_iso": "2000-01-01T00:00:00", "path": "/etc/x", "age_unit": "min", "age": 27}, )"
         R"("raw": ["4294967296", "11122026003811", "01012000000000", "/etc/x", "min", "27"]})"},
        {"boolean", "TEST-FileCompare", Reply("200", {"0"}), R"({"code": "200", "values": {"match": false}, "raw": ["0"]})"},
        {"escaped text decoded, JSON-escaped", "TEST-ShellScript", Reply("200", {"scriptres: \"ok\"", "a%0D%0Ab\t"}),
         R"({"code": "200", "values": {"result": "scriptres: \"ok\"", "output": "a\u000d\u000ab\u0009"}, )"
         R"("raw": ["scriptres: \"ok\"", "a%0D%0Ab\u0009"]})"},
        {"named lines", "GetInfo", Reply("200", {"AgentVersion=1.29", "Service=0", "Port=1055", "Available tests=TCP%0D%0A", "New=x"}),
         R"({"code": "200", "values": {"AgentVersion": "1.29", "Service": false, "Port": 1055, "Available tests": "TCP\u000d\u000a", )"
         R"("New": "x"}, "raw": ["AgentVersion=1.29", "Service=0", "Port=1055", "Available tests=TCP%0D%0A", "New=x"]})"},
        {"entries of a listing", "GetFilesList", Reply("200", {"/etc/", "1", "2", "hosts", "0"}),
         R"({"code": "200", "values": {"folder": "/etc/", "count": 1, "lines_per_entry": 2, "entries": ["hosts", "0"]}, )"
         R"("raw": ["/etc/", "1", "2", "hosts", "0"]})"},
        {"a listing with nothing listed", "GetFilesList", Reply("200", {"/srv/empty/", "0", "2"}),
         R"({"code": "200", "values": {"folder": "/srv/empty/", "count": 0, "lines_per_entry": 2, "entries": []}, )"
         R"("raw": ["/srv/empty/", "0", "2"]})"},
        {"escaped path of a file", "TEST-FileExists",
         Reply("200", {"     3", "11122026003811", "11122026003811", "/srv/a%0Ab", "min", "0"}),
         R"({"code": "200", "values": {"size": 3, "changed": "11122026003811", "changed_iso": "2026-12-11T00:38:11", )"
         R"("modified": "11122026003811", "modified_iso": "2026-12-11T00:38:11", "path": "/srv/a\u000ab", )"
         R"("age_unit": "min", "age": 0}, )"
         R"("raw": ["     3", "11122026003811", "11122026003811", "/srv/a%0Ab", "min", "0"]})"},
        {"escaped folder of a listing", "GetFilesList", Reply("200", {"/srv/a%0Db/", "1", "2", "logs", "16"}),
         R"({"code": "200", "values": {"folder": "/srv/a\u000db/", "count": 1, "lines_per_entry": 2, )"
         R"("entries": ["logs", "16"]}, "raw": ["/srv/a%0Db/", "1", "2", "logs", "16"]})"},
        {"not a number stays text", "TEST-CountFiles", Reply("200", {"12x"}), R"({"code": "200", "values": {"count": "12x"}, "raw": ["12x"]})"},
        {"refusal text", "TEST-UNC", Reply("501", {"Path not specified"}),
         R"({"code": "501", "values": {"text": "Path not specified"}, "raw": ["Path not specified"]})"},
        {"raw only: a word the reference does not know", "Nope", Reply("500", {"Unknown command \"Nope\""}),
         R"({"code": "500", "values": {}, "raw": ["Unknown command \"Nope\""]})"},
        {"no values", "SetSettings", Reply("200", {}), R"({"code": "200", "values": {}, "raw": []})"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatJson(c.reply, c.command), c.json + "\n") << c.label;
}

// One line taken (--value N, as fleet lines do) shows that line alone: a
// listing's entries are not made up as an empty list.
TEST(ZelqFormat, JsonOfOneLineOfAListing) {
    const TReplyLines listed = Reply("200", {"/etc/", "1", "2", "hosts", "0"});
    EXPECT_EQ(JsonReplyMembers("GetFilesList", listed, 1),
              R"("code": "200", "values": {"folder": "/etc/"}, "raw": ["/etc/"])");
    EXPECT_EQ(JsonReplyMembers("GetFilesList", listed, 3),
              R"("code": "200", "values": {"lines_per_entry": 2}, "raw": ["2"])");
    EXPECT_EQ(JsonReplyMembers("GetFilesList", Reply("200", {"/srv/empty/", "0", "2"}), 1),
              R"("code": "200", "values": {"folder": "/srv/empty/"}, "raw": ["/srv/empty/"])");
}

TEST(ZelqFormat, JsonStringEscaping) {
    const struct {
        const char* label;
        std::string in;
        std::string out;  // without the surrounding quotes
    } cases[] = {
        {"plain", "abc 123", "abc 123"},
        {"quote and backslash", "a\"b\\c", "a\\\"b\\\\c"},
        {"slash needs nothing", "a/b", "a/b"},
        {"line ends and tab", "\r\n\t", "\\u000d\\u000a\\u0009"},
        {"zero byte", std::string("a\0b", 3), "a\\u0000b"},
        {"unit separator and DEL", "\x1f\x7f", "\\u001f\\u007f"},
        {"two-byte UTF-8", "caf\xc3\xa9", "caf\xc3\xa9"},
        {"three-byte UTF-8", "\xe2\x82\xac", "\xe2\x82\xac"},
        {"four-byte UTF-8", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
        {"highest code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"Latin-1 byte", "caf\xe9", "caf\\u00e9"},
        {"stray continuation byte", "\x80x", "\\u0080x"},
        {"C1 control in UTF-8", "\xc2\x9b" "1m", "\\u009b1m"},
        {"truncated sequence at the end", "a\xc3", "a\\u00c3"},
        {"truncated sequence before ASCII", "\xe2\x82z", "\\u00e2\\u0082z"},
        {"overlong slash", "\xc0\xaf", "\\u00c0\\u00af"},
        {"overlong three-byte", "\xe0\x80\xaf", "\\u00e0\\u0080\\u00af"},
        {"surrogate", "\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},
        {"invalid lead byte", "\xff\xfe", "\\u00ff\\u00fe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(JsonString(c.in), "\"" + c.out + "\"");
    }
}

}  // namespace
