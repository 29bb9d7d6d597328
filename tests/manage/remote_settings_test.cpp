#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/handler_fixture.h"
#include "common/scratch_dir.h"
#include "config/settings.h"
#include "manage/remote_changes.h"

namespace {

// The real dispatcher with a configuration file of its own in a scratch
// folder, loaded into the process-wide settings.
class RemoteSettings : public HandlerFixture {
protected:
    void SetUp() override {
        HandlerFixture::SetUp();
        ASSERT_TRUE(scratch_.Valid());
        cfg_ = scratch_.File("zel.cfg");
        const std::string agent = scratch_.File("zel");
        ASSERT_TRUE(WriteTextFile(agent, "#!/bin/sh\n"));
        ASSERT_TRUE(WriteTextFile(cfg_, "port=5050\npassword=secret\ncomment=before\nzelpath=" + agent +
                                            "\ntmpdir=" + scratch_.Path() + "\n"));
        Settings([this](TZELSettings& s) {
            s.cfgfile = cfg_.c_str();
            s.port = 0;
        });
        String err;
        ASSERT_TRUE(ZELSettings.LoadOptions(err)) << err.Data();
    }

    TScratchDir scratch_;
    std::string cfg_;
};

TEST(RemoteChanges, ReadsEachLineOnceTrimmedAndTheLastValueWins) {
    struct Case {
        const char* text;
        const char* comment;  // null: not set
        int tcp;              // -1: not set
    } const cases[] = {
        {"Comment=a\n", "a", -1},
        {"  Comment =  spaced out \t\n", "spaced out", -1},
        {"Comment=a=b\n", "a=b", -1},
        {"Comment=first\nComment=second\n", "second", -1},
        {"comment=wrong case\n", nullptr, -1},
        {"Comment no equals\n", nullptr, -1},
        {"Comment=not a line", nullptr, -1},  // no line feed: not a parameter line
        {"\n\nTCP=0\n\nComment=\n", "", 0},
        {"TCP=1\nTCP=yes\n", nullptr, 0},
        {"TCP=1\r\n", nullptr, 1},
    };
    const size_t commentKey = static_cast<size_t>(FindRemoteSettingsKey("Comment") - ZELSettingsKeys);
    const size_t tcpSwitch = static_cast<size_t>(FindRemoteSettingsKey("TCP") - ZELSettingsKeys);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TRemoteChanges changes = ParseRemoteChanges(c.text);
        const TRemoteValue& comment = changes.keys[commentKey];
        EXPECT_EQ(comment.set, c.comment != nullptr);
        if (c.comment != nullptr) {
            EXPECT_EQ(comment.text.Std(), c.comment);
        }
        const TRemoteValue& tcp = changes.keys[tcpSwitch];
        EXPECT_EQ(tcp.set, c.tcp >= 0);
        if (c.tcp >= 0) {
            EXPECT_EQ(tcp.number, c.tcp);
        }
    }
}

// Switches are changed by their remote names only: the four without a file
// key too, but never by a status label or a file key.
TEST(RemoteChanges, SwitchesByTheirRemoteNames) {
    using S = TZELSettings;
    struct Case {
        const char* text;
        int S::*field;
        int expect;
    } const cases[] = {
        {"SNMP=0\n", &S::snmp, 0},
        {"NT Event Log=1\n", &S::nteventlog, 1},
        {"Drive Space=0\n", &S::freespace, 0},
        {"File Compare=0\n", &S::comparefiles, 0},
        {"TCP/UDP send=1\n", &S::tcpudpaction, 1},
        {"Syslog=1\n", &S::syslogaction, 1},
        {"Shell Script=0\n", &S::shellscript, 1},   // its status label
        {"shellscript=0\n", &S::shellscript, 1},    // its file key
        {"comparefiles=0\n", &S::comparefiles, 1},  // a file key
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TZELSettings s;
        ApplySettingsDefaults(s);
        ApplyRemoteChanges(ParseRemoteChanges(c.text), s);
        EXPECT_EQ(s.*c.field, c.expect);
    }
}

TEST_F(RemoteSettings, ChangesApplyAndReachTheFile) {
    TReplyTable r = Call("SetSettings", {"Comment=after", "Text Log=0", "IPFilterAddr=10.0.0.1%0D%0A10.0.0.2"});
    EXPECT_EQ(r.code, "200");
    auto s = ZELSettings.Get();
    EXPECT_EQ(s->comment, "after");
    EXPECT_EQ(s->textlog, 0);
    EXPECT_EQ(s->filterlist, "10.0.0.1\r\n10.0.0.2");
    const std::string file = ReadTextFile(cfg_);
    EXPECT_NE(file.find("comment=after\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("filterlist=10.0.0.1 10.0.0.2\r\n"), std::string::npos) << file;
}

// An empty password would switch authentication off and leave a file the
// next start-up refuses: the whole request is refused and nothing changes.
TEST_F(RemoteSettings, EmptyPasswordIsRefused) {
    const std::string before = ReadTextFile(cfg_);
    for (const char* line : {"Password=", "Password=   ", " Password = \t"}) {
        SCOPED_TRACE(line);
        TReplyTable r = Call("SetSettings", {"Comment=after", line, "TCP=0"});
        EXPECT_EQ(r.code, "300");
        EXPECT_EQ(r.raw, std::string("300\n") + EMPTY_PASSWORD_REFUSED);
        auto s = ZELSettings.Get();
        EXPECT_EQ(s->password, "secret");
        EXPECT_EQ(s->comment, "before");
        EXPECT_EQ(s->tcp, 1);
        EXPECT_EQ(ReadTextFile(cfg_), before);
    }
    // A later non-empty value wins, like any name given twice.
    EXPECT_EQ(Call("SetSettings", {"Password=", "Password=new one"}).code, "200");
    EXPECT_EQ(ZELSettings.Get()->password, "new one");
}

// A request of tens of thousands of lines is read in one pass: its last
// values apply (bench/settings_bench measures the time it takes).
TEST_F(RemoteSettings, LargeRequestAppliesItsLastValues) {
    std::vector<std::string> lines;
    for (int i = 0; i < 40000; ++i) lines.push_back(i % 2 ? "" : "Comment=c" + std::to_string(i));
    lines.push_back("Timeout=1234");
    TReplyTable r = Call("SetSettings", lines);
    EXPECT_EQ(r.code, "200");
    auto s = ZELSettings.Get();
    EXPECT_EQ(s->comment, "c39998");
    EXPECT_EQ(s->timeout, 1234);
}

}  // namespace
