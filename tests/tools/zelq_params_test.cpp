#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/fd.h"
#include "protocol/codecs.h"
#include "zelq/params.h"
#include "zelq_fixture.h"

namespace {

// A scratch folder for parameter files and a pipe standing in for
// standard input.
class ZelqParams : public ZelqFileTest {
protected:
    void SetUp() override {
        ZelqFileTest::SetUp();
        if (HasFatalFailure()) return;
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        stdinRead_.Reset(fds[0]);
        stdinWrite_.Reset(fds[1]);
    }
    // Writes text to the pipe and closes its write end.
    void FeedStdin(const std::string& text) {
        ASSERT_EQ(write(stdinWrite_.Get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
        stdinWrite_.Reset();
    }
    TFd stdinRead_, stdinWrite_;
};

TEST_F(ZelqParams, FileParametersAreSentEscaped) {
    const std::string script = "#!/bin/sh\r\necho \"scriptres: ok\"\nexit 0\n";
    const std::string binary("a\0b\rc", 5);
    struct {
        const char* label;
        std::string content;
        std::string expected;
    } cases[] = {
        {"script with CR LF and LF", script, "#!/bin/sh%0D%0Aecho \"scriptres: ok\"%0Aexit 0%0A"},
        {"empty file", "", ""},
        {"zero byte and lone CR", binary, std::string("a\0b%0Dc", 7)},
        {"percent signs stay as they are", "100% sure", "100% sure"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string path = File(std::to_string(n++) + ".in", c.content);
        String line;
        std::string err;
        ASSERT_TRUE(ExpandParam("@" + path, false, stdinRead_.Get(), line, err)) << err;
        EXPECT_EQ(line.Std(), c.expected);
        // The agent's decoding gives the file back.
        EXPECT_EQ(zelDecodeStrings(line).Std(), c.content);
    }
}

TEST_F(ZelqParams, StandardInputParameter) {
    FeedStdin("line 1\nline 2\n");
    String line;
    std::string err;
    ASSERT_TRUE(ExpandParam("@-", false, stdinRead_.Get(), line, err)) << err;
    EXPECT_EQ(line, "line 1%0Aline 2%0A");
}

TEST_F(ZelqParams, LiteralAndPlainParameters) {
    const struct {
        const char* arg;
        bool literal;
        const char* expected;
    } cases[] = {
        {"/var/log/syslog", false, "/var/log/syslog"},
        {"", false, ""},
        {"a@b", false, "a@b"},
        {"@/no/such/file", true, "@/no/such/file"},
        {"@-", true, "@-"},
        {"50%0A", false, "50%0A"},
    };
    for (const auto& c : cases) {
        String line;
        std::string err;
        ASSERT_TRUE(ExpandParam(c.arg, c.literal, stdinRead_.Get(), line, err)) << c.arg << ": " << err;
        EXPECT_EQ(line, c.expected);
    }
}

TEST_F(ZelqParams, RefusedParameters) {
    const struct {
        std::string arg;
        bool literal;
        const char* reason;
    } cases[] = {
        {"@" + scratch_.File("missing"), false, "cannot read"},
        {"@" + scratch_.Path(), false, "cannot read"},  // a folder
        {"@", false, "needs a file name"},
        {"two\nlines", false, "line break"},
        {"cr\r", true, "line break"},
    };
    for (const auto& c : cases) {
        String line;
        std::string err;
        EXPECT_FALSE(ExpandParam(c.arg, c.literal, stdinRead_.Get(), line, err)) << c.arg;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
    }
}

TEST_F(ZelqParams, RequestTextHasOneLinePerParameter) {
    const std::string body = File("comment", "first\nsecond");
    TZelqOptions o;
    o.command = "SetSettings";
    o.params = {"Timeout=20000", "@" + body, ""};
    String text;
    std::string err;
    ASSERT_TRUE(BuildZelqRequest(o, stdinRead_.Get(), text, err)) << err;
    EXPECT_EQ(text, "SetSettings\nTimeout=20000\nfirst%0Asecond\n\n\r");

    o.params.clear();
    o.command = "GetInfo";
    ASSERT_TRUE(BuildZelqRequest(o, stdinRead_.Get(), text, err)) << err;
    EXPECT_EQ(text, "GetInfo\n\r");
}

TEST_F(ZelqParams, StandardInputOnlyOnce) {
    FeedStdin("x");
    TZelqOptions o;
    o.command = "X";
    o.params = {"@-", "@-"};
    String text;
    std::string err;
    EXPECT_FALSE(BuildZelqRequest(o, stdinRead_.Get(), text, err));
    EXPECT_NE(err.find("only once"), std::string::npos) << err;

    o.literal = true;  // then "@-" is plain text and may repeat
    ASSERT_TRUE(BuildZelqRequest(o, stdinRead_.Get(), text, err)) << err;
    EXPECT_EQ(text, "X\n@-\n@-\n\r");
}

}  // namespace
