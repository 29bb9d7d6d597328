// "TEST-TextLog" and "TEST-TextLog2" through the dispatcher, on small logs the
// tests write and append to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "checks/log_scanner.h"
#include "common/handler_fixture.h"
#include "common/scratch_dir.h"

namespace {

struct TLogReply {
    std::string code;
    std::string text;  // the failure text
    long long result = -99;
    std::string line;
    bool more = false;
    TLogState st;
    long long current = 0;
    int alarm = -1;
};

long long Num(const std::string& s) { return std::stoll(s); }

TLogReply Parse(const TReplyTable& t) {
    TLogReply r;
    r.code = t.code;
    if (t.code != "200") {
        if (!t.lines.empty()) r.text = t.lines[0];
        return r;
    }
    EXPECT_GE(t.lines.size(), 7u) << t.raw;
    if (t.lines.size() < 7) return r;
    r.result = Num(t.lines[0]);
    r.line = t.lines[1];
    r.more = t.lines[2] == "1";
    r.st.position = Num(t.lines[3]);
    r.st.size = Num(t.lines[4]);
    r.st.time = Num(t.lines[5]);
    r.current = Num(t.lines[6]);
    if (t.lines.size() > 7) r.alarm = t.lines[7] == "1" ? 1 : 0;
    return r;
}

bool Append(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    return ::close(fd) == 0 && ok;
}

long long MTime(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_mtime) : -1;
}

std::string S(long long v) { return std::to_string(v); }

struct TSearch {
    const char* text = "error";
    int expr = 0;
    int scanAll = 0;
    int caseSensitive = 0;
    int wholeWord = 0;
};

class TextLogTest : public HandlerFixture {
protected:
    void SetUp() override {
        HandlerFixture::SetUp();
        ASSERT_TRUE(dir.Valid());
    }

    TLogReply TextLog(const std::string& file, const TLogState& st, const TSearch& s = {}) {
        return Parse(Call("TEST-TextLog", {file, zelEncodeStrings(String(s.text)).Std(), S(st.position), S(st.size),
                                           S(st.time), S(s.expr), S(s.scanAll), S(s.caseSensitive), S(s.wholeWord)}));
    }

    TLogReply TextLog2(const std::string& file, const TLogState& st, int scanAll, const std::string& alarm,
                       int alarmExpr, int useReset, const std::string& reset, int resetExpr) {
        return Parse(Call("TEST-TextLog2", {file, S(st.position), S(st.size), S(st.time), S(scanAll), alarm,
                                            S(alarmExpr), "0", "0", S(useReset), reset, S(resetExpr), "0", "0"}));
    }

    // A log holding `before`, already seen by a first request.
    TLogState Watch(const std::string& file, const std::string& before, const TSearch& s = {}) {
        EXPECT_TRUE(WriteTextFile(file, before));
        TLogReply r = TextLog(file, TLogState{}, s);
        EXPECT_EQ(r.code, "200");
        EXPECT_EQ(r.result, 0);
        return r.st;
    }

    TScratchDir dir;
    std::string log = dir.File("app.log");
};

// ---- Following a log: what each request reports -------------------------

struct TReport {
    std::string line;  // "" for no line
    bool more;
};

struct TFollowCase {
    const char* name;
    std::string appended;
    TSearch search;
    std::vector<TReport> reports;  // the replies, request after request
};

void PrintTo(const TFollowCase& c, std::ostream* os) { *os << c.name; }

class TextLogFollowTest : public TextLogTest, public ::testing::WithParamInterface<TFollowCase> {};

TEST_P(TextLogFollowTest, ReportsInOrder) {
    const TFollowCase& c = GetParam();
    TLogState st = Watch(log, "begin error\n", c.search);
    ASSERT_TRUE(Append(log, c.appended));
    for (size_t i = 0; i < c.reports.size(); ++i) {
        TLogReply r = TextLog(log, st, c.search);
        ASSERT_EQ(r.code, "200") << r.text;
        EXPECT_EQ(r.line, c.reports[i].line) << "reply " << i;
        EXPECT_EQ(r.more, c.reports[i].more) << "reply " << i;
        EXPECT_EQ(r.result > 0, !c.reports[i].line.empty()) << "reply " << i;
        st = r.st;
    }
}

TSearch Expr(const char* text) {
    TSearch s;
    s.text = text;
    s.expr = 1;
    return s;
}
TSearch ScanAll() {
    TSearch s;
    s.scanAll = 1;
    return s;
}
TSearch CaseSensitive() {
    TSearch s;
    s.caseSensitive = 1;
    return s;
}

const std::string kLongLine = "error" + std::string(4995, 'x');

INSTANTIATE_TEST_SUITE_P(
    Table, TextLogFollowTest,
    ::testing::Values(
        TFollowCase{"AppendedLine", "disk error\n", {}, {{"disk error", false}, {"", false}}},
        TFollowCase{"NoMatch", "all fine\n", {}, {{"", false}}},
        TFollowCase{"TwoMatches", "error one\nok\nerror two\n", {}, {{"error one", true}, {"error two", false}, {"", false}}},
        TFollowCase{"TwoMatchesScanAll", "error one\nok\nerror two\n", ScanAll(), {{"error two", false}, {"", false}}},
        TFollowCase{"CrLfAndBlankLines", "a error\r\n\r\n\nb error\r\n", {}, {{"a error", true}, {"b error", false}}},
        TFollowCase{"CarriageReturnOnly", "a error\rb error\r", {}, {{"a error", true}, {"b error", false}}},
        TFollowCase{"NulByte", std::string("bin\0error\n", 10), {}, {{std::string("bin\0error", 9), false}}},
        TFollowCase{"LongLineCutTo1024", kLongLine + "\n", {}, {{kLongLine.substr(0, 1024), false}}},
        TFollowCase{"UnterminatedTail", "error without end", {}, {{"", false}, {"", false}}},
        TFollowCase{"IgnoringCase", "DISK ERROR\n", {}, {{"DISK ERROR", false}}},
        TFollowCase{"MatchingCase", "DISK ERROR\n", CaseSensitive(), {{"", false}}},
        TFollowCase{"Expression", "error debug\nerror disk\n", Expr("'error' and not 'debug'"), {{"error disk", false}}},
        TFollowCase{"BadExpression", "error\n", Expr("'error"), {{"", false}}},
        TFollowCase{"NegativeExpression", "debug\ninfo\n", Expr("not 'debug'"), {{"info", false}}}),
    [](const ::testing::TestParamInfo<TFollowCase>& i) { return std::string(i.param.name); });

// ---- States ---------------------------------------------------------------

TEST_F(TextLogTest, FirstRequestRecordsTheEndAndReportsNothing) {
    std::string content;
    for (int i = 0; i < 50; ++i) content += "error " + std::to_string(100 + i) + "\n";  // 10 bytes a line
    ASSERT_TRUE(WriteTextFile(log, content));
    TLogReply r = TextLog(log, TLogState{});
    ASSERT_EQ(r.code, "200");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.line, "");
    EXPECT_FALSE(r.more);
    EXPECT_EQ(r.st.position, 499);
    EXPECT_EQ(r.st.size, 500);
    EXPECT_EQ(r.st.time, MTime(log));
    EXPECT_EQ(r.current, 500);
}

TEST_F(TextLogTest, MatchResultAndPosition) {
    TLogState st = Watch(log, "hello\n");
    ASSERT_TRUE(Append(log, "disk error\n"));
    TLogReply r = TextLog(log, st);
    ASSERT_EQ(r.code, "200");
    EXPECT_EQ(r.result, 5 + 6);  // where reading began + position in the line
    EXPECT_EQ(r.line, "disk error");
    EXPECT_EQ(r.st.position, 17);
    EXPECT_EQ(r.st.size, 17);
    EXPECT_EQ(r.st.time, MTime(log));
    EXPECT_EQ(r.current, 17);
}

TEST_F(TextLogTest, MoreFlagKeepsTheStateBehindTheFirstLine) {
    TLogState st = Watch(log, "hello\n");
    ASSERT_TRUE(Append(log, "error one\nerror two\n"));
    TLogReply r = TextLog(log, st);
    EXPECT_TRUE(r.more);
    EXPECT_EQ(r.st.position, 16);
    EXPECT_EQ(r.st.size, 6);  // as received: the rest is still unseen
    r = TextLog(log, r.st);
    EXPECT_EQ(r.line, "error two");
    EXPECT_FALSE(r.more);
    EXPECT_EQ(r.st.position, 26);
    EXPECT_EQ(r.st.size, 26);
}

TEST_F(TextLogTest, LineCompletedLaterIsReportedWhole) {
    TLogState st = Watch(log, "hello\n");
    ASSERT_TRUE(Append(log, "disk err"));
    TLogReply r = TextLog(log, st);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.st.position, 5);
    EXPECT_EQ(r.st.size, 14);
    ASSERT_TRUE(Append(log, "or\n"));
    r = TextLog(log, r.st);
    EXPECT_EQ(r.line, "disk error");
    EXPECT_EQ(r.st.position, 17);
}

TEST_F(TextLogTest, TruncatedLogIsScannedFromTheStart) {
    TLogState st = Watch(log, std::string(300, 'x') + "\n");
    ASSERT_TRUE(WriteTextFile(log, "error again\n"));
    TLogReply r = TextLog(log, st);
    EXPECT_EQ(r.line, "error again");
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.st.position, 12);
}

// A log empty at the first request: its first scan records the empty file
// (size 0, its time); what is written before the next request is reported.
TEST_F(TextLogTest, EmptyLogIsReadFromItsStartNextTime) {
    ASSERT_TRUE(WriteTextFile(log, ""));
    TLogReply r = TextLog(log, TLogState{});
    ASSERT_EQ(r.code, "200");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.st.size, 0);
    EXPECT_EQ(r.st.position, -1);
    EXPECT_EQ(r.st.time, MTime(log));
    EXPECT_FALSE(r.more);
    r = TextLog(log, r.st);  // still empty
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.st.size, 0);
    EXPECT_NE(r.st.time, 0);
    ASSERT_TRUE(Append(log, "error before the next request\nsecond error\n"));
    r = TextLog(log, r.st);
    EXPECT_EQ(r.line, "error before the next request");
    EXPECT_EQ(r.result, 1);
    EXPECT_TRUE(r.more);
    EXPECT_EQ(r.st.position, 30);
    r = TextLog(log, r.st);
    EXPECT_EQ(r.line, "second error");
    EXPECT_FALSE(r.more);
    EXPECT_EQ(r.st.size, 43);
    r = TextLog(log, r.st);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.line, "");
}

// "TEST-TextLog2" on a log that was empty: the alarm line is reported once.
TEST_F(TextLogTest, EmptyLogRaisesTheAlarmOnce) {
    ASSERT_TRUE(WriteTextFile(log, ""));
    TLogReply r = TextLog2(log, TLogState{}, 0, "alarm", 0, 1, "clear", 0);
    ASSERT_EQ(r.code, "200");
    EXPECT_EQ(r.result, 0);
    ASSERT_TRUE(Append(log, "an alarm line\n"));
    r = TextLog2(log, r.st, 0, "alarm", 0, 1, "clear", 0);
    EXPECT_EQ(r.line, "an alarm line");
    EXPECT_EQ(r.alarm, 1);
    EXPECT_FALSE(r.more);
    r = TextLog2(log, r.st, 0, "alarm", 0, 1, "clear", 0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.alarm, 0);
}

TEST_F(TextLogTest, UnchangedFileIsAnsweredFromTheState) {
    TLogState st = Watch(log, "hello\n");
    TLogReply r = TextLog(log, st);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.st.position, st.position);
    EXPECT_EQ(r.st.size, st.size);
    EXPECT_EQ(r.st.time, st.time);
}

// ---- Names and parameters -------------------------------------------------

TEST_F(TextLogTest, FailuresAndParameters) {
    ASSERT_TRUE(WriteTextFile(log, "x\n"));
    TLogReply r = TextLog(dir.File("none.log"), TLogState{});
    EXPECT_EQ(r.code, "301");
    EXPECT_EQ(r.text, "File does not exist");
    r = Parse(Call("TEST-TextLog", {log, "error", "abc", "0", "0"}));
    EXPECT_EQ(r.code, "501");
    EXPECT_EQ(r.text, "Wrong parameter");
    r = Parse(Call("TEST-TextLog2", {log, "0", "1x", "0"}));
    EXPECT_EQ(r.code, "501");
    r = Parse(Call("TEST-TextLog", {log, "error", "", "", ""}));  // empty values read as 0
    EXPECT_EQ(r.code, "200");
    EXPECT_EQ(r.st.position, 1);
    r = TextLog(dir.File("*.log"), TLogState{});  // wildcards
    EXPECT_EQ(r.code, "200");
    EXPECT_EQ(r.st.size, 2);
}

TEST_F(TextLogTest, SymlinkedLogIsFollowed) {
    ASSERT_EQ(::mkdir(dir.File("data").c_str(), 0755), 0);
    const std::string target = dir.File("data/app.log");
    const std::string link = dir.File("link.log");
    ASSERT_TRUE(WriteTextFile(target, "hello\n"));
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    TLogReply r = TextLog(link, TLogState{});
    ASSERT_EQ(r.code, "200") << r.text;
    ASSERT_TRUE(Append(target, "link error\n"));
    r = TextLog(link, r.st);
    EXPECT_EQ(r.line, "link error");
}

TEST_F(TextLogTest, FifoIsRefusedWithoutWaiting) {
    const std::string fifo = dir.File("pipe.log");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    TLogReply r = TextLog(fifo, TLogState{5, 6, 0});
    EXPECT_EQ(r.code, "301");
    EXPECT_EQ(r.text, "File \"pipe.log\" not found");
}

// ---- Alarm and reset ------------------------------------------------------

TEST_F(TextLogTest, AlarmAndResetConditions) {
    TLogState st = Watch(log, "hello\n");
    ASSERT_TRUE(Append(log, "service up\nservice down up\nnoise\n"));
    // Reset text "up", alarm expression 'down': the first line meets only the
    // reset, the second both (the alarm wins).
    TLogReply r = TextLog2(log, st, 0, "'down'", 1, 1, "up", 0);
    ASSERT_EQ(r.code, "200") << r.text;
    EXPECT_EQ(r.line, "service up");
    EXPECT_EQ(r.alarm, 0);
    EXPECT_TRUE(r.more);
    EXPECT_EQ(r.result, 5 + 9);
    r = TextLog2(log, r.st, 0, "'down'", 1, 1, "up", 0);
    EXPECT_EQ(r.line, "service down up");
    EXPECT_EQ(r.alarm, 1);
    EXPECT_FALSE(r.more);
    // Without the reset only the alarm line is reported.
    r = TextLog2(log, st, 0, "'down'", 1, 0, "up", 0);
    EXPECT_EQ(r.line, "service down up");
    EXPECT_EQ(r.alarm, 1);
    // Nothing reported: alarm flag 0.
    r = TextLog2(log, r.st, 0, "'down'", 1, 0, "up", 0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.alarm, 0);
    // Scan-all: the last matching line, whichever condition it met.
    r = TextLog2(log, st, 1, "down", 0, 1, "noise", 0);
    EXPECT_EQ(r.line, "noise");
    EXPECT_EQ(r.alarm, 0);
}

// ---- Memory ---------------------------------------------------------------

long long StatusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string k;
    while (in >> k) {
        if (k == key) {
            long long v = 0;
            in >> v;
            return v;
        }
        in.ignore(1 << 12, '\n');
    }
    return -1;
}

// 100 MiB without a line feed: the agent reads it all but holds only its
// buffers, and reports the line once it ends.
TEST_F(TextLogTest, LineWithoutEndKeepsMemoryFlat) {
    TLogState st = Watch(log, "start\n");
    {
        std::ofstream out(log, std::ios::app | std::ios::binary);
        const std::string chunk(1 << 20, 'x');
        for (int i = 0; i < 100; ++i) out << chunk;
    }
    {
        std::ofstream peak("/proc/self/clear_refs");
        peak << "5";  // restart the peak (VmHWM) from here
    }
    const long long before = StatusKb("VmRSS:");
    TLogReply r = TextLog(log, st);
    const long long peak = StatusKb("VmHWM:");
    ASSERT_EQ(r.code, "200");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.st.position, 5);
    ASSERT_GT(before, 0);
    EXPECT_LT(peak - before, 16 * 1024) << "resident size grew by " << (peak - before) << " KiB";

    ASSERT_TRUE(Append(log, " error\n"));
    r = TextLog(log, r.st);
    EXPECT_EQ(r.line, std::string(1024, 'x'));
    EXPECT_EQ(r.result, 5 + (100LL << 20) + 2);
    EXPECT_EQ(r.st.position, 6 + (100LL << 20) + 7);
}

}  // namespace
