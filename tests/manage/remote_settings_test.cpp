#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/handler_fixture.h"
#include "common/scratch_dir.h"
#include "config/settings.h"
#include "manage/remote_changes.h"

namespace {

// What the settings warned about, kept by the sink the tests install.
std::mutex warnings_mutex;
std::vector<std::string> g_warnings;
void KeepWarning(const char* text) {
    std::lock_guard<std::mutex> lock(warnings_mutex);
    g_warnings.push_back(text);
}
std::vector<std::string> TakeWarnings() {
    std::lock_guard<std::mutex> lock(warnings_mutex);
    std::vector<std::string> out;
    out.swap(g_warnings);
    return out;
}

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
        SetSettingsWarningSink(KeepWarning);
        TakeWarnings();
    }
    void TearDown() override {
        SetSettingsWarningSink(nullptr);
        HandlerFixture::TearDown();
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
    const size_t commentKey = static_cast<size_t>(FindRemoteSettingsKey("Comment") - kSettingsKeys);
    const size_t tcpSwitch = static_cast<size_t>(FindRemoteSettingsKey("TCP") - kSettingsKeys);
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
        EXPECT_EQ(r.raw, std::string("300\n") + kEmptyPasswordRefused);
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

// A request is judged whole before anything changes: one refused value
// among good ones leaves the settings in force and the file as they were,
// and the reply names the setting and the value.
TEST_F(RemoteSettings, BadValuesAreRefusedWhole) {
    struct Case {
        std::string line;
        const char* name;
        const char* shown;  // the value as the reply shows it
        const char* why;
    } const cases[] = {
        {"Port=0", "Port", "0", "a port number from 1 to 65535 expected"},
        {"Port=70000", "Port", "70000", "a port number from 1 to 65535 expected"},
        {"Port=065536", "Port", "065536", "a port number from 1 to 65535 expected"},
        {"Port=abc", "Port", "abc", "a port number from 1 to 65535 expected"},
        {"Port=6000x", "Port", "6000x", "a port number from 1 to 65535 expected"},
        {"Port=-1", "Port", "-1", "a port number from 1 to 65535 expected"},
        {"Port=", "Port", "", "a port number from 1 to 65535 expected"},
        {"Timeout=abc", "Timeout", "abc", "a number expected"},
        {"Timeout=12x", "Timeout", "12x", "a number expected"},
        {"Timeout=", "Timeout", "", "a number expected"},
        {"Timeout=-", "Timeout", "-", "a number expected"},
        {"Timeout=99999999999", "Timeout", "99999999999", "a number expected"},
        {"TCP=yes", "TCP", "yes", "0 or 1 expected"},
        {"LogOkConn=2", "LogOkConn", "2", "0 or 1 expected"},
        {"IPFiltering=", "IPFiltering", "", "0 or 1 expected"},
        {"Syslog=10", "Syslog", "10", "0 or 1 expected"},
        {"IPFilterAddr=127.0.0.1 10.0.0.300", "IPFilterAddr", "127.0.0.1 10.0.0.300",
         "Invalid IP address (10.0.0.300) specified"},
        {"ManageAddr=localhost", "ManageAddr", "localhost", "Invalid IP address (localhost) specified"},
        {"UpdateAddr=127.0.0.1,10.0.0.1-10.0.0.256", "UpdateAddr", "127.0.0.1,10.0.0.1-10.0.0.256",
         "Invalid IP address (10.0.0.1-10.0.0.256) specified"},
        {"Password=new\rpass", "Password", "(not shown)", "a line break cannot be saved"},
        {"Comment=two\rlines", "Comment", "two%0Dlines", "a line break cannot be saved"},
        {"OkLogFile=a\rb", "OkLogFile", "a%0Db", "a line break cannot be saved"},
        {"Comment=" + std::string(70, 'c') + "\rx", "Comment", nullptr, "a line break cannot be saved"},
    };
    const std::string before = ReadTextFile(cfg_);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        // The bad value first and last: nothing before or after it applies.
        for (const std::vector<std::string>& lines :
             {std::vector<std::string>{c.line, "BadLogFile=changed", "Text Log=0", "AllowUpdates=0"},
              std::vector<std::string>{"BadLogFile=changed", "Text Log=0", "AllowUpdates=0", c.line}}) {
            TReplyTable r = Call("SetSettings", lines);
            EXPECT_EQ(r.code, "300");
            const std::string shown = c.shown != nullptr ? c.shown : std::string(64, 'c') + "...";
            EXPECT_EQ(r.raw, std::string("300\nInvalid value of ") + c.name + ": '" + shown + "' (" + c.why +
                                 "); settings not changed");
            auto s = ZELSettings.Get();
            EXPECT_EQ(s->badlogfile, "log2.txt");
            EXPECT_EQ(s->textlog, 1);
            EXPECT_EQ(s->allowupdates, 1);
            EXPECT_EQ(s->comment, "before");
            EXPECT_EQ(s->tcp, 1);
            EXPECT_EQ(s->port, 5050);
            EXPECT_EQ(s->password, "secret");
            EXPECT_EQ(ReadTextFile(cfg_), before);
        }
    }
}

// Accepted values are held as the file gives them back; unknown names are
// skipped with a log line each.
TEST_F(RemoteSettings, AcceptedValuesInForceAndInTheFile) {
    using S = TZELSettings;
    struct Case {
        std::vector<std::string> lines;
        std::function<void(const S&)> check;
        std::vector<std::string> fileLines;  // each found in the file
        std::vector<std::string> warnings;
    } const cases[] = {
        {{"Port=6001", "Timeout=20000"},
         [](const S& s) {
             EXPECT_EQ(s.port, 6001);
             EXPECT_EQ(s.timeout, 20000);
         },
         {"port=6001\r\n", "timeout=20000\r\n"},
         {}},
        // 0 means the default, in force as in the file; below 0: no deadline.
        {{"Timeout=0"}, [](const S& s) { EXPECT_EQ(s.timeout, 4000); }, {"timeout=4000\r\n"}, {}},
        {{"Timeout=-1"}, [](const S& s) { EXPECT_EQ(s.timeout, -1); }, {"timeout=-1\r\n"}, {}},
        {{"Port=65535", "TCP=0", "LogOkConn=1"},
         [](const S& s) {
             EXPECT_EQ(s.port, 65535);
             EXPECT_EQ(s.tcp, 0);
             EXPECT_EQ(s.logsuccess, 1);
         },
         {"port=65535\r\n", "tcp=0\r\n", "logsuccess=1\r\n"},
         {}},
        // Blanks, tabs and escaped line ends all separate filter entries.
        {{"IPFilterAddr=10.0.0.1  10.0.0.2\t10.1.0.0/16%0D%0A%0D%0A10.0.0.5-10.0.0.9%0A"},
         [](const S& s) { EXPECT_EQ(s.filterlist, "10.0.0.1\r\n10.0.0.2\r\n10.1.0.0/16\r\n10.0.0.5-10.0.0.9"); },
         {"filterlist=10.0.0.1 10.0.0.2 10.1.0.0/16 10.0.0.5-10.0.0.9\r\n"},
         {}},
        {{"ManageAddr=127.0.0.1, 10.0.0.0/8", "UpdateAddr=10.0.0.9-10.0.0.1;127.0.0.1"},
         [](const S& s) {
             EXPECT_EQ(s.manageaddr, "127.0.0.1, 10.0.0.0/8");
             EXPECT_EQ(s.updateaddr, "10.0.0.9-10.0.0.1;127.0.0.1");
         },
         {"manageaddr=127.0.0.1, 10.0.0.0/8\r\n", "updateaddr=10.0.0.9-10.0.0.1;127.0.0.1\r\n"},
         {}},
        // Names of other agent versions (and of the file) are skipped.
        {{"logsuccess=1", "Comment=after", "text log=0", "NoSuchName=x"},
         [](const S& s) {
             EXPECT_EQ(s.logsuccess, 0);
             EXPECT_EQ(s.textlog, 1);
             EXPECT_EQ(s.comment, "after");
         },
         {"comment=after\r\n"},
         {"SetSettings: unknown setting name 'logsuccess' skipped",
          "SetSettings: unknown setting name 'text log' skipped",
          "SetSettings: unknown setting name 'NoSuchName' skipped"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.front());
        String err;
        ASSERT_TRUE(ZELSettings.LoadOptions(err)) << err.Data();
        TakeWarnings();
        TReplyTable r = Call("SetSettings", c.lines);
        EXPECT_EQ(r.code, "200");
        c.check(*ZELSettings.Get());
        const std::string file = ReadTextFile(cfg_);
        for (const std::string& line : c.fileLines) EXPECT_NE(file.find(line), std::string::npos) << line << file;
        EXPECT_EQ(TakeWarnings(), c.warnings);
        // And the file gives the same settings back.
        EXPECT_EQ(Call("ReloadCfg").code, "200");
        c.check(*ZELSettings.Get());
        ASSERT_TRUE(WriteTextFile(cfg_, "port=5050\npassword=secret\ncomment=before\nzelpath=" +
                                            scratch_.File("zel") + "\ntmpdir=" + scratch_.Path() + "\n"));
        Settings([](TZELSettings& s) { s.port = 0; });
    }
}

// Thousands of unknown names make a few log lines, not thousands.
TEST_F(RemoteSettings, UnknownNamesAreLoggedWithinALimit) {
    std::vector<std::string> lines;
    for (int i = 0; i < 1000; ++i) lines.push_back("name" + std::to_string(i) + "=1");
    EXPECT_EQ(Call("SetSettings", lines).code, "200");
    std::vector<std::string> warnings = TakeWarnings();
    ASSERT_EQ(warnings.size(), static_cast<size_t>(kUnknownNamesKept + 1));
    EXPECT_EQ(warnings.front(), "SetSettings: unknown setting name 'name0' skipped");
    EXPECT_EQ(warnings.back(), "SetSettings: " + std::to_string(1000 - kUnknownNamesKept) +
                                   " more unknown setting names skipped");
}

// Set, read, reload, read again: every setting the server may change is the
// same in force before and after the reload, for every remote name.
TEST_F(RemoteSettings, SetReloadRoundTripKeepsEverySetting) {
    using S = TZELSettings;
    struct Case {
        const char* line;
        int S::*number;    // or
        String S::*text;
        const char* expect;  // the value in force, as text
    };
    std::vector<Case> cases = {
        {"Comment=web server 2", nullptr, &S::comment, "web server 2"},
        {"Port=6001", &S::port, nullptr, "6001"},
        {"Timeout=0", &S::timeout, nullptr, "4000"},
        {"Password=new=pass word", nullptr, &S::password, "new=pass word"},
        {"LogOkConn=1", &S::logsuccess, nullptr, "1"},
        {"LogBadConn=0", &S::logfails, nullptr, "0"},
        {"OkLogFile=/var/log/ok.txt", nullptr, &S::oklogfile, "/var/log/ok.txt"},
        {"BadLogFile=bad log.txt", nullptr, &S::badlogfile, "bad log.txt"},
        {"IPFiltering=1", &S::filteractive, nullptr, "1"},
        {"IPFilterAddr=127.0.0.1 10.0.0.0/8%0D%0A10.0.0.1-10.0.0.9", nullptr, &S::filterlist,
         "127.0.0.1\r\n10.0.0.0/8\r\n10.0.0.1-10.0.0.9"},
        {"IPFilterMarks=101", nullptr, &S::filtermarks, "101"},
        {"AllowUpdates=0", &S::allowupdates, nullptr, "0"},
        {"AllowRManage=1", &S::allowmanage, nullptr, "1"},
        {"UpdateAddr=10.0.0.1, 127.0.0.1", nullptr, &S::updateaddr, "10.0.0.1, 127.0.0.1"},
        {"ManageAddr=127.0.0.0/8", nullptr, &S::manageaddr, "127.0.0.0/8"},
        {"Execute external command=1", &S::executeaction, nullptr, "1"},
        {"TCP/UDP send=1", &S::tcpudpaction, nullptr, "1"},
        {"Syslog=1", &S::syslogaction, nullptr, "1"},
    };
    // Every switch with a file key, turned to the other value than its default.
    for (const TZELSettingsKey& k : kSettingsKeys)
        if (k.isSwitch && k.key != nullptr && k.remote != nullptr && k.statusList != TZELStatusList::Actions)
            cases.push_back({nullptr, k.number, nullptr, k.numberDefault ? "0" : "1"});
    std::vector<std::string> lines;
    std::vector<std::string> storage;
    storage.reserve(cases.size());
    for (Case& c : cases) {
        if (c.line == nullptr) {
            const TZELSettingsKey* k = nullptr;
            for (const TZELSettingsKey& row : kSettingsKeys)
                if (row.number == c.number) k = &row;
            storage.push_back(std::string(k->remote) + "=" + c.expect);
            c.line = storage.back().c_str();
        }
        lines.push_back(c.line);
    }
    // The table names every setting that has a remote name and a file key.
    for (const TZELSettingsKey& k : kSettingsKeys) {
        if (k.remote == nullptr || k.key == nullptr) continue;
        bool covered = false;
        for (const Case& c : cases)
            covered = covered || (k.number != nullptr && c.number == k.number) || (k.text != nullptr && c.text == k.text);
        EXPECT_TRUE(covered) << k.remote;
    }
    auto value = [](const S& s, const Case& c) {
        return c.number != nullptr ? std::to_string(s.*c.number) : std::string((s.*c.text).View());
    };

    ASSERT_EQ(Call("SetSettings", lines).code, "200");
    const TReplyTable set = Call("GetSettings");
    auto inForce = ZELSettings.Get();
    ASSERT_EQ(Call("ReloadCfg").raw, "200\nOk");
    const TReplyTable reloaded = Call("GetSettings");
    auto fromFile = ZELSettings.Get();
    for (const Case& c : cases) {
        EXPECT_EQ(value(*inForce, c), c.expect) << c.line;
        EXPECT_EQ(value(*fromFile, c), c.expect) << c.line;
    }
    EXPECT_EQ(set.lines, reloaded.lines);
}

// A reload reports each problem of the address lists once, as a warning;
// the settings still load.
TEST_F(RemoteSettings, ReloadReportsAddressListProblems) {
    struct Case {
        std::string lines;
        std::vector<std::string> warnings;
    } const cases[] = {
        {"", {}},
        {"filterlist=127.0.0.1 10.0.0.0/8\nfiltermarks=11\nmanageaddr=127.0.0.1, 10.0.0.1-10.0.0.9\n", {}},
        {"filterlist=127.0.0.1 10.0.0.300 10.0.0.9\nfiltermarks=11\nmanageaddr=localhost,127.0.0.1\n"
         "updateaddr=10.0.0.1/33\n",
         {"filterlist: Invalid IP address (10.0.0.300) specified",
          "filterlist: Entry (10.0.0.9) has no filter mark and is off",
          "manageaddr: Invalid IP address (localhost) specified",
          "updateaddr: Invalid IP address (10.0.0.1/33) specified"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        ASSERT_TRUE(WriteTextFile(cfg_, "port=5050\npassword=secret\nzelpath=" + scratch_.File("zel") +
                                            "\ntmpdir=" + scratch_.Path() + "\n" + c.lines));
        TakeWarnings();
        EXPECT_EQ(Call("ReloadCfg").raw, "200\nOk");
        EXPECT_EQ(TakeWarnings(), c.warnings);
    }
}

}  // namespace
