// Plugin mode without an agent: the range syntax, the threshold decisions,
// the judgement of replies and the text-log state file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/proc_walk.h"
#include "zelq/options.h"
#include "zelq/plugin.h"
#include "zelq/range.h"
#include "zelq/state.h"
#include "zelq_fixture.h"

namespace {

using Args = std::vector<std::string>;

TThresholdRange Range(const std::string& text) {
    TThresholdRange r;
    std::string err;
    EXPECT_TRUE(ParseThresholdRange(text, r, err)) << text << ": " << err;
    return r;
}

TEST(ZelqRange, SyntaxAccepted) {
    const struct {
        const char* text;
        bool inside, startInf, endInf;
        double start, end;
    } cases[] = {
        {"10", false, false, false, 0, 10},
        {"10:", false, false, true, 10, 0},
        {"~:10", false, true, false, 0, 10},
        {"10:20", false, false, false, 10, 20},
        {"@10:20", true, false, false, 10, 20},
        {"@10", true, false, false, 0, 10},
        {"-5:-1", false, false, false, -5, -1},
        {"0.5:2.25", false, false, false, 0.5, 2.25},
        {":7", false, false, false, 0, 7},
        {"~:", false, true, true, 0, 0},
        {"3:3", false, false, false, 3, 3},
        {"+4", false, false, false, 0, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TThresholdRange r = Range(c.text);
        EXPECT_TRUE(r.given);
        EXPECT_EQ(r.inside, c.inside);
        EXPECT_EQ(r.startInfinite, c.startInf);
        EXPECT_EQ(r.endInfinite, c.endInf);
        if (!c.startInf) {
            EXPECT_DOUBLE_EQ(r.start, c.start);
        }
        if (!c.endInf) {
            EXPECT_DOUBLE_EQ(r.end, c.end);
        }
        EXPECT_EQ(r.text, c.text);
    }
}

TEST(ZelqRange, SyntaxRefused) {
    for (const char* text : {"", "@", "x", "10:x", "~", "20:10", "1:2:3", "10 ", "1e3", "--1", ".", "~10:20",
                             "@@1", "nan", "inf:", "10:~"}) {
        TThresholdRange r;
        std::string err;
        EXPECT_FALSE(ParseThresholdRange(text, r, err)) << "\"" << text << "\"";
        EXPECT_FALSE(err.empty()) << text;
        EXPECT_FALSE(r.given) << text;
    }
}

TEST(ZelqRange, AlertDecisions) {
    // Endpoints are inside the range: "10" alerts below 0 and above 10.
    const struct {
        const char* range;
        double value;
        bool alerts;
    } cases[] = {
        {"10", -1, true},    {"10", 0, false},      {"10", 10, false},    {"10", 10.5, true},
        {"10:", 9.99, true}, {"10:", 10, false},    {"10:", 1e18, false}, {"~:10", -1e18, false},
        {"~:10", 10, false}, {"~:10", 11, true},    {"10:20", 9, true},   {"10:20", 15, false},
        {"10:20", 21, true}, {"@10:20", 10, true},  {"@10:20", 20, true}, {"@10:20", 9.9, false},
        {"@10:20", 21, false}, {"@10:", 5, false},  {"@10:", 1e12, true}, {"@~:0", -3, true},
        {"-5:-1", 0, true},  {"-5:-1", -3, false},  {"0", 0, false},      {"0", 1, true},
        {"1:", 0, true},     {"1:", 1, false},      {"3:3", 3, false},    {"3:3", 2, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RangeAlerts(Range(c.range), c.value), c.alerts) << c.range << " with " << c.value;
    EXPECT_FALSE(RangeAlerts(TThresholdRange(), -1e300));
}

TEST(ZelqRange, CriticalBeforeWarning) {
    const struct {
        const char* warning;
        const char* critical;
        double value;
        TPluginStatus status;
    } cases[] = {
        {"80", "90", 50, TPluginStatus::Ok},
        {"80", "90", 85, TPluginStatus::Warning},
        {"80", "90", 95, TPluginStatus::Critical},
        {"", "90", 85, TPluginStatus::Ok},
        {"80", "", 95, TPluginStatus::Warning},
        {"", "", 1e9, TPluginStatus::Ok},
        // Free space: warning below 10, critical below 5.
        {"10:", "5:", 7, TPluginStatus::Warning},
        {"10:", "5:", 4, TPluginStatus::Critical},
        // A warning range wider than the critical one does not hide it.
        {"100", "50", 70, TPluginStatus::Critical},
    };
    for (const auto& c : cases) {
        TThresholdRange w = *c.warning ? Range(c.warning) : TThresholdRange();
        TThresholdRange cr = *c.critical ? Range(c.critical) : TThresholdRange();
        EXPECT_EQ(ThresholdStatus(w, cr, c.value), c.status) << c.warning << " / " << c.critical << " " << c.value;
    }
}

TEST(ZelqRange, PlainNumbers) {
    double v = 0;
    EXPECT_TRUE(ParsePlainNumber("     0", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(ParsePlainNumber("12.5000", v));
    EXPECT_EQ(v, 12.5);
    EXPECT_TRUE(ParsePlainNumber("-2", v));
    EXPECT_EQ(v, -2);
    EXPECT_TRUE(ParsePlainNumber(" 9223372036854775807 ", v));
    for (const char* bad : {"", " ", "12a", "0x10", "1e5", "1.2.3", "1 2", "10.12.2024 10:00:00", "inf"})
        EXPECT_FALSE(ParsePlainNumber(bad, v)) << bad;
}

// ----------------------------------------------------------- judgement

TZelqOptions Plugin(const Args& args) {
    TZelqOptions o;
    std::string err;
    Args all{"--plugin"};
    all.insert(all.end(), args.begin(), args.end());
    EXPECT_TRUE(ParseZelqArgs(all, o, err)) << err;
    return o;
}

TReplyLines Reply(const std::string& code, const std::vector<std::string>& lines) {
    TReplyLines r;
    r.code = String(code);
    for (const std::string& l : lines) r.lines.push_back(String(l));
    return r;
}

TEST(ZelqPluginJudge, RepliesByCommand) {
    const struct {
        const char* label;
        Args args;
        TReplyLines reply;
        TPluginStatus status;
        const char* line;
    } cases[] = {
        {"folder size OK", {"TEST-FolderSize", "/srv"}, Reply("200", {"  1000"}), TPluginStatus::Ok,
         "FOLDERSIZE OK: size 1000 B | size=1000B;;;0"},
        {"folder size WARNING with KiB", {"-w", "1000", "-c", "5000", "TEST-FolderSize", "/srv"},
         Reply("200", {"  2048"}), TPluginStatus::Warning,
         "FOLDERSIZE WARNING: size 2048 B (2.0 KiB) | size=2048B;1000;5000;0"},
        {"count CRITICAL", {"-c", "@5:", "TEST-CountFiles", "/q"}, Reply("200", {"7"}), TPluginStatus::Critical,
         "COUNTFILES CRITICAL: count 7 | count=7;;@5:;0"},
        {"process count", {"-c", "1:", "TEST-Process", "", "sshd"}, Reply("200", {"0"}), TPluginStatus::Critical,
         "PROCESS CRITICAL: count 0 | count=0;;1:;0"},
        {"CPU with percent", {"-w", "80", "TEST-CPU"}, Reply("200", {"12.5000"}), TPluginStatus::Ok,
         "CPU OK: usage 12.5000 % | usage=12.5000%;80;;0;100"},
        {"TCP time", {"-w", "100", "-c", "1000", "TEST-TCP", "h", "80", "1000", "", "0"}, Reply("200", {"250", ""}),
         TPluginStatus::Warning, "TCP WARNING: time 250 ms | time=250ms;100;1000;0"},
        {"free space with the total as maximum", {"-c", "2000:", "TEST-UNC", "/"},
         Reply("200", {"  8000", "  1000", "   900"}), TPluginStatus::Critical,
         "UNC CRITICAL: free 1000 B | free=1000B;;2000:;0;8000"},
        {"available bytes chosen", {"--value", "3", "TEST-UNC", "/"}, Reply("200", {"  8000", "  1000", "   900"}),
         TPluginStatus::Ok, "UNC OK: available 900 B | available=900B;;;0;8000"},
        {"exit code", {"-w", "0", "-c", "1", "TEST-ExternalPrg", "x"}, Reply("200", {"2"}), TPluginStatus::Critical,
         "EXTERNALPRG CRITICAL: exitcode 2 | exitcode=2;0;1"},
        {"file found", {"TEST-FileExists", "/f"},
         Reply("200", {"    10", "1.1.2024 0:0:0", "1.1.2024 0:0:0", "/f", "min", "3"}), TPluginStatus::Ok,
         "FILEEXISTS OK: found /f | found=1;;1:;0;1"},
        {"file missing", {"TEST-FileExists", "/f"}, Reply("301", {"no such file or acess denied"}),
         TPluginStatus::Critical, "FILEEXISTS CRITICAL: no such file or acess denied | found=0;;1:;0;1"},
        {"file that must not exist", {"-c", "0", "TEST-FileExists", "/lock"},
         Reply("301", {"no such file or acess denied"}), TPluginStatus::Ok,
         "FILEEXISTS OK: no such file or acess denied | found=0;;0;0;1"},
        {"file age by position", {"--value", "6", "-w", "60", "TEST-FileExists", "/f"},
         Reply("200", {"    10", "1.1.2024 0:0:0", "1.1.2024 0:0:0", "/f", "min", "75"}), TPluginStatus::Warning,
         "FILEEXISTS WARNING: age_minutes 75 | age_minutes=75;60"},
        {"compare not equal", {"TEST-FileCompare", "1", "/a", "/b"}, Reply("200", {"0"}), TPluginStatus::Critical,
         "FILECOMPARE CRITICAL: found 0 | found=0;;1:;0"},
        {"failed probe", {"TEST-TCP", "h", "1"}, Reply("301", {"Connection refused", "-6"}), TPluginStatus::Critical,
         "TCP CRITICAL: Connection refused -6"},
        {"test switched off", {"TEST-CPU"}, Reply("600", {"test is not allowed"}), TPluginStatus::Unknown,
         "CPU UNKNOWN: 600 not allowed by the agent's settings: test is not allowed"},
        {"wrong parameter", {"TEST-CountFiles"}, Reply("501", {"Wrong parameter"}), TPluginStatus::Unknown,
         "COUNTFILES UNKNOWN: 501 wrong or missing parameters: Wrong parameter"},
        {"unknown command", {"TEST-Nope"}, Reply("500", {"Unknown command \"TEST-Nope\""}), TPluginStatus::Unknown,
         "NOPE UNKNOWN: 500 not understood or not supported: Unknown command \"TEST-Nope\""},
        {"no default value", {"TEST-ShellScript", "/bin/sh %script%", "x"},
         Reply("200", {"scriptres: all fine", "a%0D%0Ab%0D%0A"}), TPluginStatus::Ok,
         "SHELLSCRIPT OK: scriptres: all fine"},
        {"ranges without a value", {"-w", "1", "GetInfo"}, Reply("200", {"AgentName=x"}), TPluginStatus::Unknown,
         "GETINFO UNKNOWN: -w and -c need a value: give --value N for GetInfo"},
        {"value line missing", {"--value", "4", "TEST-UNC", "/"}, Reply("200", {"1", "2", "3"}),
         TPluginStatus::Unknown, "UNC UNKNOWN: the reply has no value line 4 (it has 3)"},
        {"value line not a number", {"--value", "1", "GetInfo"}, Reply("200", {"AgentName=x"}),
         TPluginStatus::Unknown, "GETINFO UNKNOWN: value line 1 is not a number: \"AgentName=x\""},
        {"service name given", {"--service", "Disk /var", "TEST-UNC", "/var"}, Reply("200", {"5", "4", "3"}),
         TPluginStatus::Ok, "Disk /var OK: free 4 B | free=4B;;;0;5"},
        {"agent text cannot break the line", {"TEST-ShellScript"}, Reply("200", {"scriptres: a|b%0Ac\x1b[2J"}),
         TPluginStatus::Ok, "SHELLSCRIPT OK: scriptres: a/b c [2J"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const TPluginResult r = JudgeReply(Plugin(c.args), c.reply);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.line, c.line);
    }
}

TEST(ZelqPluginJudge, NoReplyAndFailures) {
    const TZelqOptions o = Plugin({"TEST-CPU"});
    TAskResult refused;
    refused.outcome = TExchangeOutcome::Failed;
    refused.error = "cannot connect to 127.0.0.1:9: Connection refused";
    EXPECT_EQ(JudgeNoReply(o, refused).status, TPluginStatus::Critical);
    EXPECT_EQ(JudgeNoReply(o, refused).line, "CPU CRITICAL: cannot connect to 127.0.0.1:9: Connection refused");
    TAskResult late = refused;
    late.timedOut = true;
    late.error = "timed out after 1 s waiting for the reply from h:1055";
    EXPECT_EQ(JudgeNoReply(o, late).status, TPluginStatus::Critical);
    TAskResult none;
    none.outcome = TExchangeOutcome::NoReply;
    const TPluginResult r = JudgeNoReply(o, none);
    EXPECT_EQ(r.status, TPluginStatus::Unknown);
    EXPECT_EQ(r.line.rfind("CPU UNKNOWN: no reply: the agent refused the request", 0), 0u) << r.line;
}

TEST(ZelqPluginJudge, TextLogs) {
    TTextLogState s;
    const struct {
        const char* label;
        Args args;
        int matches;
        bool alarm;
        bool first;
        bool more;
        TPluginStatus status;
        const char* line;
    } cases[] = {
        {"first scan", {"TEST-TextLog", "f", "e"}, 0, false, true, false, TPluginStatus::Ok,
         "TEXTLOG OK: first scan: the end of the log is recorded | matches=0;;0;0"},
        {"nothing new", {"TEST-TextLog", "f", "e"}, 0, false, false, false, TPluginStatus::Ok,
         "TEXTLOG OK: no new matching lines | matches=0;;0;0"},
        {"two new", {"TEST-TextLog", "f", "e"}, 2, false, false, false, TPluginStatus::Critical,
         "TEXTLOG CRITICAL: 2 new matching lines, the last: last line | matches=2;;0;0"},
        {"own ranges", {"-w", "0", "-c", "5", "TEST-TextLog", "f", "e"}, 1, false, false, true,
         TPluginStatus::Warning,
         "TEXTLOG WARNING: 1 new matching line: last line; more follow in the next check | matches=1;0;5;0"},
        {"alarm raised", {"TEST-TextLog2", "f"}, 1, true, false, false, TPluginStatus::Critical,
         "TEXTLOG2 CRITICAL: alarm: alarm line (1 new matching line) | alarm=1;;0;0;1"},
        {"alarm still raised", {"TEST-TextLog2", "f"}, 0, true, false, false, TPluginStatus::Critical,
         "TEXTLOG2 CRITICAL: alarm: alarm line | alarm=1;;0;0;1"},
        {"alarm reset", {"TEST-TextLog2", "f"}, 1, false, false, false, TPluginStatus::Ok,
         "TEXTLOG2 OK: reset: last line (1 new matching line) | alarm=0;;0;0;1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        s.alarm = c.alarm;
        s.line = "alarm line";
        const TPluginResult r = JudgeTextLog(Plugin(c.args), c.matches, "last line", s, c.first, c.more, "");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.line, c.line);
    }
}

TEST(ZelqPluginOptions, CommandLines) {
    const struct {
        Args args;
        const char* reason;  // nullptr: accepted
    } cases[] = {
        {{"--plugin", "-w", "10", "-c20", "--value", "2", "--state", "/s", "--service", "X", "TEST-UNC", "/"},
         nullptr},
        {{"--plugin", "-H", "h", "-p", "1", "-t", "2", "-P", "p", "-f", "f", "GetInfo"}, nullptr},
        {{"--plugin", "--value=3", "GetInfo"}, nullptr},
        {{"-w", "10", "GetInfo"}, "-w and -c need --plugin"},
        {{"--state", "/s", "GetInfo"}, "--state needs --plugin"},
        {{"--value", "1", "GetInfo"}, "--value needs --plugin or several hosts"},
        {{"--plugin", "-w", "20:10", "GetInfo"}, "-w: \"20:10\" is no range"},
        {{"--plugin", "-c"}, "-c needs a value"},
        {{"--plugin", "--value", "0", "GetInfo"}, "--value needs a value line number"},
        {{"--plugin", "--json", "GetInfo"}, "--raw and --json do not apply"},
        {{"--plugin", "-H", "a", "-H", "b", "GetInfo"}, "--plugin checks one agent"},
        {{"--plugin", "--service", "a|b", "GetInfo"}, "must not contain"},
    };
    for (const auto& c : cases) {
        TZelqOptions o;
        std::string err;
        const bool ok = ParseZelqArgs(c.args, o, err);
        if (c.reason == nullptr) {
            EXPECT_TRUE(ok) << err;
        } else {
            EXPECT_FALSE(ok) << c.args[0];
            EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        }
    }
    TZelqOptions o = Plugin({"-w", "10", "-c20", "--value", "2", "TEST-UNC"});
    EXPECT_TRUE(o.plugin);
    EXPECT_EQ(o.warning.text, "10");
    EXPECT_EQ(o.critical.end, 20);
    EXPECT_EQ(o.valueIndex, 2);
}

TEST(ZelqPluginOptions, DefaultCriticalOnlyWithoutRanges) {
    TThresholdRange w, c;
    EffectiveThresholds(Plugin({"TEST-FileExists", "/f"}), w, c);
    EXPECT_FALSE(w.given);
    EXPECT_EQ(c.text, "1:");
    EffectiveThresholds(Plugin({"-w", "0", "TEST-FileExists", "/f"}), w, c);
    EXPECT_EQ(w.text, "0");
    EXPECT_FALSE(c.given);
    EffectiveThresholds(Plugin({"--value", "1", "TEST-FileExists", "/f"}), w, c);
    EXPECT_FALSE(c.given);
    EffectiveThresholds(Plugin({"TEST-FolderSize", "/f"}), w, c);
    EXPECT_FALSE(w.given || c.given);
}

// ----------------------------------------------------------- state file

TEST(ZelqTextLogState, DefaultFolder) {
    std::string folder, err;
    EXPECT_TRUE(DefaultStateFolder("/x/cache", "/home/u", folder, err));
    EXPECT_EQ(folder, "/x/cache/zelq");
    EXPECT_TRUE(DefaultStateFolder("relative", "/home/u", folder, err));  // not absolute: ignored
    EXPECT_EQ(folder, "/home/u/.cache/zelq");
    EXPECT_TRUE(DefaultStateFolder(nullptr, "/home/u", folder, err));
    EXPECT_EQ(folder, "/home/u/.cache/zelq");
    EXPECT_FALSE(DefaultStateFolder("", nullptr, folder, err));
    EXPECT_NE(err.find("--state"), std::string::npos);
}

TEST(ZelqTextLogState, NamesDifferByCheck) {
    const std::string a = TextLogStateKey("h", 1055, "TEST-TextLog", "/var/log/a\nerror\n");
    const std::string b = TextLogStateKey("h", 1055, "TEST-TextLog", "/var/log/a\nwarn\n");
    const std::string c = TextLogStateKey("h", 1056, "TEST-TextLog", "/var/log/a\nerror\n");
    EXPECT_NE(TextLogStateFileName(a), TextLogStateFileName(b));
    EXPECT_NE(TextLogStateFileName(a), TextLogStateFileName(c));
    EXPECT_EQ(TextLogStateFileName(a), TextLogStateFileName(a));
    EXPECT_EQ(TextLogStateFileName(a).size(), std::string("textlog-0123456789abcdef.state").size());
}

TEST(ZelqTextLogState, TextRoundTripAndForeignFiles) {
    TTextLogState s;
    s.position = 4999999999;
    s.size = 5000000000;
    s.time = 1700000000;
    s.alarm = true;
    s.line = "disk error\r\non sda";
    const std::string key = "h:1\nTEST-TextLog2\n/x\n";
    const std::string text = TextLogStateText(key, s);
    TTextLogState back;
    ASSERT_EQ(ParseTextLogState(text, key, back), TStateLoad::Loaded);
    EXPECT_EQ(back.position, s.position);
    EXPECT_EQ(back.size, s.size);
    EXPECT_EQ(back.time, s.time);
    EXPECT_TRUE(back.alarm);
    EXPECT_EQ(back.line, s.line);

    const std::string damaged[] = {
        "",
        "something else\n",
        TextLogStateText("another check", s),
        text.substr(0, text.find("size=")),
        [&] {
            std::string t = text;
            t.replace(t.find("time=") + 5, 1, "x");
            return t;
        }(),
    };
    for (const std::string& d : damaged) {
        TTextLogState out;
        EXPECT_EQ(ParseTextLogState(d, key, out), TStateLoad::Other) << d;
    }
}

class ZelqStateFile : public ZelqFileTest {};

TEST_F(ZelqStateFile, SavedAtomicallyInNewFolders) {
    const std::string path = scratch_.File("a/b/check.state");
    TTextLogState s;
    s.position = 10;
    s.size = 11;
    s.time = 12;
    std::string err;
    TTextLogState loaded;
    EXPECT_EQ(LoadTextLogState(path, "k", loaded, err), TStateLoad::Missing);
    ASSERT_TRUE(SaveTextLogState(path, "k", s, err)) << err;
    struct stat st;
    ASSERT_EQ(stat(scratch_.File("a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    s.position = 20;
    ASSERT_TRUE(SaveTextLogState(path, "k", s, err)) << err;
    ASSERT_EQ(LoadTextLogState(path, "k", loaded, err), TStateLoad::Loaded);
    EXPECT_EQ(loaded.position, 20);
    // Nothing but the state file is left in its folder.
    std::vector<std::string> names;
    ASSERT_TRUE(proc_walk::EntryNames(scratch_.File("a/b"), names));
    EXPECT_EQ(names, std::vector<std::string>{"check.state"});
    EXPECT_EQ(LoadTextLogState(path, "other key", loaded, err), TStateLoad::Other);
}

TEST_F(ZelqStateFile, UnwritableAndUnreadablePlaces) {
    const std::string file = File("plain", "x");
    std::string err;
    TTextLogState s;
    EXPECT_FALSE(SaveTextLogState(file + "/sub/check.state", "k", s, err));
    EXPECT_NE(err.find("is not a folder"), std::string::npos) << err;
    // A folder where the state file should be cannot be read as one.
    ASSERT_EQ(mkdir(scratch_.File("dir.state").c_str(), 0700), 0);
    EXPECT_EQ(LoadTextLogState(scratch_.File("dir.state"), "k", s, err), TStateLoad::Failed);
    EXPECT_FALSE(SaveTextLogState(scratch_.File("dir.state"), "k", s, err));
}

}  // namespace
