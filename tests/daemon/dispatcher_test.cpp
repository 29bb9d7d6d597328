// The dispatcher: splitting, selection and the gate of every command word.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/handler_fixture.h"
#include "daemon/commands.h"

namespace {

using Dispatcher = HandlerFixture;

TEST_F(Dispatcher, SplittingAndSelection) {
    struct Case {
        std::string text;
        bool handled;
        std::string code;
        std::string first;  // first value line
    };
    const Case cases[] = {
        {"GetInfo\r\n", true, "200", "AgentName=QD Zelmark"},
        {"GetInfo\n", false, "502", "EndOfTransmission signal missed"},
        {" QUIT \r", true, "200", "Ok"},
        {"\r\n", false, "500", "Void request received"},
        {"quit\n\r", false, "500", "Unknown command \"quit\""},
        {"TEST-Service\nanything\n\r", true, "500", "Not applicable for UNIX/Linux"},
        {"TEST-Ping\n\r", true, "500", "not implemented yet"},
    };
    for (const Case& c : cases) {
        TReplyTable r = CallText(String(c.text));
        EXPECT_EQ(r.handled, c.handled) << c.text;
        EXPECT_EQ(r.code, c.code) << c.text;
        ASSERT_FALSE(r.lines.empty()) << c.text;
        EXPECT_EQ(r.lines[0], c.first) << c.text;
    }
}

TEST_F(Dispatcher, EveryCommandWordIsInTheTableOnce) {
    std::set<std::string> words;
    for (int i = 0; i < kCommandCount; ++i) words.insert(kCommandTable[i].word);
    EXPECT_EQ(static_cast<int>(words.size()), kCommandCount);
    EXPECT_EQ(kCommandCount, 37);
}

// With its switch off every gated word answers "600" with its refusal and
// runs nothing; with it on the handler answers (whatever it answers).
TEST_F(Dispatcher, EverySwitchGatesItsCommands) {
    struct Case {
        const char* word;
        int TZELSettings::*sw;
        const char* refusal;
    };
    using S = TZELSettings;
    const Case cases[] = {
        {"TEST-UNC", &S::unc, "test is not allowed"},
        {"TEST-FolderSize", &S::foldersize, "test is not allowed"},
        {"TEST-FileExists", &S::fileexists, "test is not allowed"},
        {"TEST-FileCompare", &S::comparefiles, "test is not allowed"},
        {"TEST-FileCRC", &S::filecrc, "test is not allowed"},
        {"TEST-CountFiles", &S::countfiles, "test is not allowed"},
        {"TEST-Process", &S::process, "test is not allowed"},
        {"GetProcessesList", &S::process, "test is not allowed"},
        {"TEST-CPU", &S::cpuusage, "test is not allowed"},
        {"TEST-ExternalPrg", &S::external, "test is not allowed"},
        {"TEST-ShellScript", &S::shellscript, "test is not allowed"},
        {"TEST-TCP", &S::tcp, "test is not allowed"},
        {"TEST-UDP", &S::udp, "test is not allowed"},
        {"TEST-TextLog", &S::textlog, "test is not allowed"},
        {"TEST-TextLog2", &S::textlog, "test is not allowed"},
        {"ACT-ExternalCmd", &S::executeaction, "operation is not allowed"},
        {"ACT-TCPUDPsend", &S::tcpudpaction, "operation is not allowed"},
        {"ACT-Syslog", &S::syslogaction, "operation is not allowed"},
        {"GetSettings", &S::allowmanage, "Operation is not allowed"},
        {"SetSettings", &S::allowmanage, "Operation is not allowed"},
        {"ReloadCfg", &S::allowmanage, "Operation is not allowed"},
        {"ReloadApp", &S::allowmanage, "Operation is not allowed"},
        {"QUIT", &S::allowmanage, "Operation is not allowed"},
        {"UpgradeCode", &S::allowupdates, "Operation is not allowed"},
    };
    for (const Case& c : cases) {
        Settings([&](S& s) { s.*(c.sw) = 0; });
        TReplyTable off = Call(c.word);
        EXPECT_TRUE(off.handled) << c.word;
        EXPECT_EQ(off.code, "600") << c.word;
        EXPECT_EQ(off.raw, std::string("600\n") + c.refusal) << c.word;
        Settings([&](S& s) { s.*(c.sw) = 1; });
    }
    EXPECT_EQ(ZELFlags.Terminate, 0);
    EXPECT_EQ(ZELFlags.Reload, 0);

    // Allowed: the handler runs and answers something other than 600. The
    // words that would stop, restart or rewrite a file are left out here.
    for (const Case& c : cases) {
        std::string w = c.word;
        if (w == "QUIT" || w == "ReloadApp" || w == "SetSettings" || w == "ReloadCfg") continue;
        TReplyTable on = Call(c.word);
        EXPECT_NE(on.code, "600") << c.word;
    }
}

TEST_F(Dispatcher, ManagementAndUpgradeFollowTheirAddressLists) {
    Settings([](TZELSettings& s) {
        s.manageaddr = "127.0.0.12";
        s.updateaddr = "10.0.0.1-10.0.0.9";
    });
    EXPECT_EQ(Call("QUIT", {}, "127.0.0.1").code, "600");
    EXPECT_EQ(ZELFlags.Terminate, 0);
    EXPECT_EQ(Call("GetSettings", {}, "127.0.0.12").code, "200");
    EXPECT_EQ(Call("UpgradeCode", {"5"}, "127.0.0.1").code, "600");
    EXPECT_EQ(Call("UpgradeCode", {"5"}, "10.0.0.5").code, "501");
    // GetInfo is never gated.
    Settings([](TZELSettings& s) { s.allowmanage = 0; });
    EXPECT_EQ(Call("GetInfo", {}, "192.0.2.1").code, "200");
}

// The folder listing is open while any file or log test is on; free space
// and the share test do not open it.
TEST_F(Dispatcher, FolderListingNeedsAnyFileTest) {
    using S = TZELSettings;
    int S::*const opening[] = {&S::foldersize, &S::countfiles, &S::fileexists, &S::filecrc, &S::comparefiles,
                               &S::textlog};
    Settings([&](S& s) {
        for (auto f : opening) s.*f = 0;
        s.unc = 1;
        s.freespace = 1;
    });
    TReplyTable closed = Call("GetFilesList", {"/"});
    EXPECT_EQ(closed.raw, "600\ntest is not allowed");
    for (auto f : opening) {
        Settings([&](S& s) { s.*f = 1; });
        EXPECT_NE(Call("GetFilesList", {"/"}).code, "600");
        Settings([&](S& s) { s.*f = 0; });
    }
}

// Platform-only words are never gated and answer their fixed refusal.
TEST_F(Dispatcher, PlatformOnlyAnswers) {
    Settings([](TZELSettings& s) {
        for (const TZELSettingsKey& k : kSettingsKeys)
            if (k.isSwitch) s.*(k.number) = 0;
    });
    struct Case {
        const char *word, *text;
    };
    const Case cases[] = {
        {"TEST-DiskSpace", "Not applicable for UNIX/Linux"},
        {"TEST-Service", "Not applicable for UNIX/Linux"},
        {"TEST-NTLog", "Not applicable for UNIX/Linux"},
        {"TEST-PerfCounter", "Not applicable for UNIX/Linux"},
        {"GetServicesList", "Not applicable for UNIX/Linux"},
        {"GetEventLogFiles", "Not applicable for UNIX/Linux"},
        {"GetEventLogSources", "Not applicable for UNIX/Linux"},
        {"GetDriveList", "not implemented yet"},
        {"TEST-SNMP", "not implemented yet"},
        {"TEST-Script", "not implemented yet"},
        {"TEST-Ping", "not implemented yet"},
    };
    for (const Case& c : cases) {
        TReplyTable r = Call(c.word, {"x", "y"});
        EXPECT_TRUE(r.handled) << c.word;
        EXPECT_EQ(r.raw, std::string("500\n") + c.text) << c.word;
    }
}

}  // namespace
