// Reading scripts' output: leading numbers, list lines, result lines.
#include "checks/script_output.h"

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "foundation/fd.h"

namespace {

// A descriptor reading text from its start.
TFd Memory(const std::string& text) {
    TFd fd(memfd_create("zel-test", MFD_CLOEXEC));
    EXPECT_EQ(write(fd.Get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    lseek(fd.Get(), 0, SEEK_SET);
    return fd;
}

TEST(ScriptOutput, LeadingInt) {
    struct TCase {
        std::string text;
        bool ok;
        int value;
    } cases[] = {
        {"3\n", true, 3},
        {"  \n\t 42 processes", true, 42},
        {"-5", true, -5},
        {"+7", true, 7},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0},
        {"99999999999999999999999", false, 0},
        {"", false, 0},
        {"abc 3", false, 0},
        {"- 3", false, 0},
    };
    for (const TCase& c : cases) {
        int v = -99;
        EXPECT_EQ(ParseLeadingInt(String(c.text), v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(ScriptOutput, LeadingReal) {
    struct TCase {
        std::string text;
        bool ok;
        double value;
    } cases[] = {
        {"12.5\n", true, 12.5},
        {"  0", true, 0},
        {"7 %", true, 7},
        {"nan", false, 0},
        {"inf", false, 0},
        {"-infinity", false, 0},
        {"1e39", false, 0},  // beyond single precision
        {"", false, 0},
        {"busy", false, 0},
    };
    for (const TCase& c : cases) {
        double v = -99;
        EXPECT_EQ(ParseLeadingReal(String(c.text), v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_DOUBLE_EQ(v, c.value) << c.text;
        }
    }
}

TEST(ScriptOutput, ListLines) {
    const std::string longLine(600, 'x');
    struct TCase {
        std::string text, list;
    } cases[] = {
        {"a\nb\n\n", "a\r\nb\r\n"},
        {"", ""},
        {"last without line feed", "last without line feed\r\n"},
        {"x\r\n", "x\r\r\n"},
        {longLine + "\n", longLine.substr(0, 511) + "\r\n" + longLine.substr(511) + "\r\n"},
        {std::string(511, 'y') + "\nz\n", std::string(511, 'y') + "\r\nz\r\n"},
    };
    for (const TCase& c : cases) {
        TFd fd = Memory(c.text);
        TLineReader in(fd.Get());
        EXPECT_EQ(CollectListLines(in).Std(), c.list) << c.text.substr(0, 40);
    }
}

TEST(ScriptOutput, ResultLineAndFirstLines) {
    struct TCase {
        std::string text;
        int wanted;
        std::string result, output;
    } cases[] = {
        {"one\nSCRIPTRES:ok\nthree\n", 0, "SCRIPTRES:ok", ""},
        {"one\nSCRIPTRES:ok\nthree\n", 2, "SCRIPTRES:ok", "one\r\nSCRIPTRES:ok\r\n"},
        {"one\nscriptres:1\nscriptres:2\nfour\n", 10, "scriptres:1",
         "one\r\nscriptres:1\r\nscriptres:2\r\nfour\r\n"},
        {"  a  \n\n b\n\n", 5, "b", "a\r\nb\r\n"},
        {"", 5, "", ""},
        {"x\ny\n", -3, "y", ""},
    };
    for (const TCase& c : cases) {
        TFd fd = Memory(c.text);
        TLineReader in(fd.Get());
        String result, output;
        CollectScriptResult(in, c.wanted, result, output);
        EXPECT_EQ(result.Std(), c.result) << c.text;
        EXPECT_EQ(output.Std(), c.output) << c.text;
    }
}

TEST(ScriptOutput, StopsReadingOnceSettled) {
    TFd fd = Memory("one\nscriptres:yes\nthree\n");
    TLineReader in(fd.Get());
    String result, output, rest;
    CollectScriptResult(in, 1, result, output);
    ASSERT_TRUE(in.Next(rest));
    EXPECT_EQ(rest.Std(), "three\n");  // not consumed
}

TEST(ScriptOutput, ReadLimit) {
    TFd fd = Memory("0123456789");
    EXPECT_EQ(ReadPrefix(fd.Get(), 4).Std(), "0123");
}

}  // namespace
