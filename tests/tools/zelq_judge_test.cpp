// The judgement of plugin mode: replies, missing replies and text-log
// scans turned into a status and a status line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zelq/judge.h"
#include "zelq/options.h"
#include "zelq/range.h"
#include "zelq/state.h"

namespace {

using Args = std::vector<std::string>;

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
        {"space available to users, the total as maximum", {"-c", "2000:", "TEST-UNC", "/"},
         Reply("200", {"  8000", "  1000", "   900"}), TPluginStatus::Critical,
         "UNC CRITICAL: available 900 B | available=900B;;2000:;0;8000"},
        {"free bytes chosen", {"--value", "2", "TEST-UNC", "/"}, Reply("200", {"  8000", "  1000", "   900"}),
         TPluginStatus::Ok, "UNC OK: free 1000 B | free=1000B;;;0;8000"},
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
         TPluginStatus::Ok, "Disk /var OK: available 3 B | available=3B;;;0;5"},
        {"agent text cannot break the line", {"TEST-ShellScript"}, Reply("200", {"scriptres: a|b%0Ac\x1b[2J"}),
         TPluginStatus::Ok, "SHELLSCRIPT OK: scriptres: a/b c [2J"},
        {"C1 controls in UTF-8 and as lone bytes are blanks too", {"TEST-ShellScript"},
         Reply("200", {"scriptres: a\xc2\x9b" "31mb\x9d" "0;x\x07" "c caf\xc3\xa9"}), TPluginStatus::Ok,
         "SHELLSCRIPT OK: scriptres: a 31mb 0;x c caf\xc3\xa9"},
        {"maximum not a number", {"TEST-UNC", "/"}, Reply("200", {"8000;9", "1000", "900"}), TPluginStatus::Unknown,
         "UNC UNKNOWN: value line 1 is not a number: \"8000;9\""},
        {"maximum with an escape sequence", {"TEST-UNC", "/"}, Reply("200", {"\x1b]0;owned\x07", "1000", "900"}),
         TPluginStatus::Unknown, "UNC UNKNOWN: value line 1 is not a number: \"]0;owned\""},
        {"maximum empty", {"TEST-UNC", "/"}, Reply("200", {"", "1000", "900"}), TPluginStatus::Unknown,
         "UNC UNKNOWN: value line 1 is not a number: \"\""},
        {"value with a C1 control", {"TEST-UNC", "/"}, Reply("200", {"8000", "1000", "10\xc2\x9b" "00"}),
         TPluginStatus::Unknown, "UNC UNKNOWN: value line 3 is not a number: \"10 00\""},
        {"maximum not needed when the total itself is judged", {"--value", "1", "TEST-UNC", "/"},
         Reply("200", {"8000", "x", "y"}), TPluginStatus::Ok, "UNC OK: total 8000 B (7.8 KiB) | total=8000B;;;0"},
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

TEST(ZelqPluginJudge, DefaultCriticalOnlyWithoutRanges) {
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

// ----------------------------------------------------------- text-log exchanges

std::vector<std::string> Texts(const TStrList& l) {
    std::vector<std::string> out;
    for (int i = 0; i < l.Count(); ++i) out.push_back(l[i].Std());
    return out;
}

TEST(ZelqTextLogExchange, StateLinesGoAfterTheSearchTextOrTheFileName) {
    TTextLogState s;
    s.position = 40;
    s.size = 50;
    s.time = 60;
    const struct {
        const char* label;
        std::vector<std::string> user;
        bool alarmKind;
        std::vector<std::string> sent;
    } cases[] = {
        {"text log, file and text only", {"/f", "error"}, false, {"/f", "error", "40", "50", "60"}},
        {"text log with the options", {"/f", "error", "", "1", "0", "0"}, false,
         {"/f", "error", "40", "50", "60", "", "1", "0", "0"}},
        {"alarm log, file only", {"/f"}, true, {"/f", "40", "50", "60"}},
        {"alarm log with filters", {"/f", "1", "a", "b"}, true, {"/f", "40", "50", "60", "1", "a", "b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TStrList user;
        for (const std::string& u : c.user) user.Add(String(u));
        EXPECT_EQ(Texts(TextLogParams(user, c.alarmKind, s)), c.sent);
    }
}

TEST(ZelqTextLogExchange, RepliesReadIntoTheNextState) {
    TTextLogState before;
    before.position = 1;
    before.size = 2;
    before.time = 3;
    before.alarm = true;
    before.line = "old alarm";
    const struct {
        const char* label;
        Args args;
        TReplyLines reply;
        bool ok;
        bool matched, more, alarm;
        std::string line;       // the state's line after the reply, or the verdict's line
        int64_t position;
    } cases[] = {
        {"a match, more to come", {"TEST-TextLog", "/f", "e"},
         Reply("200", {"1", "disk error%0D%0Aon sda", "1", "100", "101", "102", "4096"}), true, true, true, true,
         "disk error\r\non sda", 100},
        {"a line longer than an agent sends is kept in part", {"TEST-TextLog", "/f", "e"},
         Reply("200", {"1", std::string(100 * 1024, 'x'), "0", "100", "101", "102", "4096"}), true, true, false, true,
         std::string(kMaxStateLine, 'x'), 100},
        {"nothing new keeps the last line", {"TEST-TextLog", "/f", "e"},
         Reply("200", {"0", "", "0", "100", "101", "102", "4096"}), true, false, false, true, "old alarm", 100},
        {"alarm reset", {"TEST-TextLog2", "/f"}, Reply("200", {"1", "all clear", "0", "7", "8", "9", "4096", "0"}),
         true, true, false, false, "all clear", 7},
        {"alarm raised", {"TEST-TextLog2", "/f"}, Reply("200", {"1", "fire", "0", "7", "8", "9", "4096", "1"}), true,
         true, false, true, "fire", 7},
        {"alarm reply without its alarm line", {"TEST-TextLog2", "/f"},
         Reply("200", {"1", "fire", "0", "7", "8", "9", "4096"}), false, false, false, false,
         "TEXTLOG2 UNKNOWN: unexpected reply: 1 fire 0 7 8 9 4096", 0},
        {"position not a whole number", {"TEST-TextLog", "/f", "e"},
         Reply("200", {"0", "", "0", "1.5", "200", "300", "4096"}), false, false, false, false,
         "TEXTLOG UNKNOWN: unexpected reply: 0 0 1.5 200 300 4096", 0},
        {"missing file", {"TEST-TextLog", "/f", "e"}, Reply("301", {"File does not exist"}), false, false, false,
         false, "TEXTLOG CRITICAL: File does not exist", 0},
        {"refused", {"TEST-TextLog", "/f", "e"}, Reply("600", {"test is not allowed"}), false, false, false, false,
         "TEXTLOG UNKNOWN: 600 not allowed by the agent's settings: test is not allowed", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TTextLogStep step;
        TPluginResult verdict;
        const bool ok = ReadTextLogReply(Plugin(c.args), c.reply, before, step, verdict);
        ASSERT_EQ(ok, c.ok) << verdict.line;
        if (!ok) {
            EXPECT_EQ(verdict.line, c.line);
            continue;
        }
        EXPECT_EQ(step.matched, c.matched);
        EXPECT_EQ(step.more, c.more);
        EXPECT_EQ(step.next.alarm, c.alarm);
        EXPECT_EQ(step.next.line, c.line);
        EXPECT_EQ(step.next.position, c.position);
        EXPECT_EQ(step.next.size, c.position + 1);
        EXPECT_EQ(step.next.time, c.position + 2);
    }
}

}  // namespace
