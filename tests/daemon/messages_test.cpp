#include "daemon/messages.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <syslog.h>
#include <utility>
#include <vector>

#include "common/scratch_dir.h"
#include "common/utc_zone.h"
#include "foundation/fd.h"
#include "config/settings.h"

namespace {

namespace fs = std::filesystem;

tm At(int year, int month, int day, int hour, int minute, int second) {
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

// A client address of either family from its text.
TNetAddress Addr(const char* text) {
    TNetAddress a;
    EXPECT_TRUE(TNetAddress::Parse(text, a)) << text;
    return a;
}

// ---- Line formats ---------------------------------------------------------

TEST(FormatMessageLines, StampsTimeDateAndAddress) {
    struct Case {
        tm when;
        const char* client;  // null: LOCAL
        const char* text;
        const char* console;
        const char* log;
    } const cases[] = {
        {At(2010, 3, 7, 9, 5, 3), nullptr, "Listening...\n", "[zel][09:05:03]\t zel\t\t Listening...\n",
         "[03/07/2010 09:05:03]\t zel\t\t Listening...\n"},
        {At(2010, 3, 7, 9, 5, 3), "192.168.100.200", "Request refused\n",
         "[zel][09:05:03]\t 192.168.100.200\t Request refused\n",
         "[03/07/2010 09:05:03]\t 192.168.100.200\t Request refused\n"},
        {At(2021, 12, 31, 23, 59, 59), "10.0.0.1", "no newline", "[zel][23:59:59]\t 10.0.0.1\t no newline",
         "[12/31/2021 23:59:59]\t 10.0.0.1\t no newline"},
        {At(2000, 1, 2, 0, 0, 0), nullptr, "", "[zel][00:00:00]\t zel\t\t ", "[01/02/2000 00:00:00]\t zel\t\t "},
        // IPv6 in its compressed form and in full, never cut; an IPv4-mapped
        // client as its IPv4 address.
        {At(2010, 3, 7, 9, 5, 3), "::1", "TCP connection accepted\n", "[zel][09:05:03]\t ::1\t TCP connection accepted\n",
         "[03/07/2010 09:05:03]\t ::1\t TCP connection accepted\n"},
        {At(2010, 3, 7, 9, 5, 3), "2001:0db8:0000:0000:0000:0000:0000:0001", "x\n", "[zel][09:05:03]\t 2001:db8::1\t x\n",
         "[03/07/2010 09:05:03]\t 2001:db8::1\t x\n"},
        {At(2010, 3, 7, 9, 5, 3), "2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff", "x\n",
         "[zel][09:05:03]\t 2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff\t x\n",
         "[03/07/2010 09:05:03]\t 2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff\t x\n"},
        {At(2010, 3, 7, 9, 5, 3), "::ffff:10.1.2.3", "x\n", "[zel][09:05:03]\t 10.1.2.3\t x\n",
         "[03/07/2010 09:05:03]\t 10.1.2.3\t x\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TMessageLines lines = FormatMessageLines(c.when, c.client ? Addr(c.client) : LOCAL, c.text);
        EXPECT_EQ(lines.console.Std(), c.console);
        EXPECT_EQ(lines.log.Std(), c.log);
    }
}

TEST(FormatMessageLines, CutsLongLinesTo511Characters) {
    const tm when = At(2010, 3, 7, 9, 5, 3);
    struct Case {
        std::string text;
        char last;  // last character of both lines
    } const cases[] = {
        {std::string(600, 'a'), 'a'},
        {std::string(600, 'a') + "\n", '\n'},  // the line still ends where it should
        {std::string(1000, 'b') + "\n", '\n'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.size());
        TMessageLines lines = FormatMessageLines(when, Addr("127.0.0.1"), c.text);
        ASSERT_EQ(lines.console.Length(), 511);
        ASSERT_EQ(lines.log.Length(), 511);
        EXPECT_EQ(lines.console[511], c.last);
        EXPECT_EQ(lines.log[511], c.last);
        EXPECT_EQ(lines.console[510], c.text[0]);
        EXPECT_EQ(lines.log.Std().rfind("[03/07/2010 09:05:03]\t 127.0.0.1\t ", 0), 0u);
    }
    // A line of exactly 511 characters is kept whole.
    const std::string prefix = "[zel][09:05:03]\t zel\t\t ";
    std::string fits(511 - prefix.size() - 1, 'c');
    fits += '\n';
    TMessageLines lines = FormatMessageLines(when, LOCAL, fits);
    EXPECT_EQ(lines.console.Std(), prefix + fits);
}

TEST(VisibleMessageText, ControlBytesBecomeVisibleEscapes) {
    struct Case {
        std::string text, shown;
    } const cases[] = {
        {"plain text, 100% printable ~\n", "plain text, 100% printable ~\n"},
        {"Unknown command \"a\x1b[2J\x1b]0;title\x07" "b\"\n", "Unknown command \"a\\x1B[2J\\x1B]0;title\\x07b\"\n"},
        {"word\r\n[01/01/2010 00:00:00]\t 1.2.3.4\t forged\n",
         "word\\r\\n[01/01/2010 00:00:00]\\t 1.2.3.4\\t forged\n"},
        {"TCP listen error: in use\n\n", "TCP listen error: in use\n\n"},  // the text's own line ends
        {"\n", "\n"},
        {"", ""},
        {"del\x7f bell\x07 nul-free\x01", "del\\x7F bell\\x07 nul-free\\x01"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\n", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\n"},  // UTF-8 stays
        {"c1 \xc2\x9b" "31m", "c1 \\xC2\\x9B" "31m"},  // CSI as a C1 control
        {"raw \x9b" "31m \xff \xc3", "raw \\x9B" "31m \\xFF \\xC3"},  // no UTF-8 character
        {"overlong \xc0\xaf \xe0\x80\xaf", "overlong \\xC0\\xAF \\xE0\\x80\\xAF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(VisibleMessageText(c.text), c.shown);
    }
}

TEST(FormatMessageLines, EscapedTextIsCutLikeAnyOther) {
    const tm when = At(2010, 3, 7, 9, 5, 3);
    TMessageLines lines = FormatMessageLines(when, LOCAL, std::string(600, '\x1b') + "\n");
    ASSERT_EQ(lines.log.Length(), 511);
    EXPECT_EQ(lines.log[511], '\n');
    EXPECT_EQ(lines.log.Std().find('\x1b'), std::string::npos);
}

TEST(LogFilePath, NamesWithoutDirectoryGoBesideTheConfigurationFile) {
    struct Case {
        const char* file;
        const char* cfg;
        const char* path;
    } const cases[] = {
        {"ok.txt", "/etc/zel/zel.cfg", "/etc/zel/ok.txt"},
        {"logs/ok.txt", "/etc/zel/zel.cfg", "logs/ok.txt"},
        {"/var/log/ok.txt", "/etc/zel/zel.cfg", "/var/log/ok.txt"},
        {"ok.txt", "zel.cfg", "ok.txt"},
        {"ok.txt", "conf/zel.cfg", "conf/ok.txt"},
        {"ok.txt", "", "ok.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " / " + c.cfg);
        EXPECT_EQ(LogFilePath(c.file, c.cfg).Std(), c.path);
    }
}

// ---- showmessage: routing to the console and the log files ---------------

time_t FixedClock() { return 1267952703; }  // 7 March 2010 09:05:03 UTC

class ShowMessage : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(scratch.Valid());
        dir = scratch.Path();
        SetMessageClock(FixedClock);
        Configure([](TZELSettings&) {});
    }
    void TearDown() override {
        SetMessageClock(nullptr);
        ZELSettings.Modify([](TZELSettings& s) { s = TZELSettings{}; });
    }
    // Log files ok.txt, bad.txt and verbose.txt beside dir/zel.cfg; all
    // outputs off unless `change` turns them on.
    template <class F>
    void Configure(F change) {
        const std::string cfg = dir + "/zel.cfg";
        ZELSettings.Modify([&](TZELSettings& s) {
            s = TZELSettings{};
            s.cfgfile = cfg.c_str();
            s.oklogfile = "ok.txt";
            s.badlogfile = "bad.txt";
            s.verboselogfile = "verbose.txt";
            change(s);
        });
    }
    std::string Read(const std::string& name) const {
        return ReadTextFile(name[0] == '/' ? name : scratch.File(name));
    }
    // The console output of one showmessage call.
    std::string Show(const char* text, const TNetAddress& client, MsgType kind) {
        testing::internal::CaptureStdout();
        showmessage(text, client, kind, 0);
        return testing::internal::GetCapturedStdout();
    }

    TUtcZone utc;
    TScratchDir scratch;  // removed with its content after TearDown
    std::string dir;
};

TEST_F(ShowMessage, RoutesByKindAndSettings) {
    struct Case {
        const char* name;
        MsgType kind;
        int interactive, verbose, debugverbose, logsuccess, logfails;
        bool console, ok, bad, verboseLog;
    } const cases[] = {
        {"success logged", MSG_SUCCESS, 1, 0, 0, 1, 1, true, true, false, false},
        {"success not logged", MSG_SUCCESS, 1, 0, 0, 0, 1, true, false, false, false},
        {"success verbose", MSG_SUCCESS, 0, 1, 0, 1, 0, false, true, false, true},
        {"error logged", MSG_ERROR, 1, 1, 0, 1, 1, true, false, true, true},
        {"error not logged", MSG_ERROR, 0, 0, 0, 1, 0, false, false, false, false},
        {"info", MSG_INFO, 1, 0, 0, 1, 1, true, false, false, false},
        {"info verbose", MSG_INFO, 0, 1, 0, 1, 1, false, false, false, true},
        {"debug without -vd", MSG_DEBUG, 1, 1, 0, 1, 1, false, false, false, false},
        {"debug with -vd", MSG_DEBUG, 1, 1, 1, 1, 1, true, false, false, true},
        // The audit trail does not wait for -v: the failure log has it.
        {"audit quiet daemon", MSG_AUDIT, 0, 0, 0, 0, 1, false, false, true, false},
        {"audit everywhere", MSG_AUDIT, 1, 1, 0, 1, 1, true, false, true, true},
        {"audit without logfails", MSG_AUDIT, 0, 0, 0, 1, 0, false, false, false, false},
        {"refusal quiet daemon", MSG_REFUSAL, 0, 0, 0, 1, 1, false, false, true, false},
        {"refusal interactive, no logfails", MSG_REFUSAL, 1, 0, 0, 1, 0, true, false, false, false},
    };
    const std::string logLine = "[03/07/2010 09:05:03]\t 10.1.2.3\t text\n";
    const std::string consoleLine = "[zel][09:05:03]\t 10.1.2.3\t text\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* f : {"ok.txt", "bad.txt", "verbose.txt"}) fs::remove(dir + "/" + f);
        Configure([&](TZELSettings& s) {
            s.interactive = c.interactive;
            s.verbose = c.verbose;
            s.debugverbose = c.debugverbose;
            s.logsuccess = c.logsuccess;
            s.logfails = c.logfails;
        });
        EXPECT_EQ(Show("text\n", Addr("10.1.2.3"), c.kind), c.console ? consoleLine : "");
        EXPECT_EQ(Read("ok.txt"), c.ok ? logLine : "");
        EXPECT_EQ(Read("bad.txt"), c.bad ? logLine : "");
        EXPECT_EQ(Read("verbose.txt"), c.verboseLog ? logLine : "");
    }
}

// What the system log sink received.
std::mutex sink_mutex;
std::vector<std::pair<int, std::string>> g_sinkLines;
void CaptureSink(int priority, const char* line) {
    std::lock_guard<std::mutex> lock(sink_mutex);
    g_sinkLines.emplace_back(priority, line);
}

TEST_F(ShowMessage, AuditKindsAlsoReachTheSystemLog) {
    struct Case {
        const char* name;
        MsgType kind;
        const char* client;  // null: no client address
        const char* text;
        int logfails;
        int priority;          // -1: not sent
        const char* line;
    } const cases[] = {
        {"lifecycle", MSG_AUDIT, nullptr, "Agent started\n", 1, LOG_NOTICE, "Agent started"},
        {"refusal with address", MSG_REFUSAL, "127.0.0.2", "TCP connection rejected\n", 1, LOG_WARNING,
         "127.0.0.2: TCP connection rejected"},
        {"whatever logfails says", MSG_AUDIT, nullptr, "Configuration reloaded\n", 0, LOG_NOTICE,
         "Configuration reloaded"},
        {"IPv6 refusal", MSG_REFUSAL, "fd00:1:2:3::44", "TCP connection rejected\n", 1, LOG_WARNING,
         "fd00:1:2:3::44: TCP connection rejected"},
        {"control bytes made visible", MSG_REFUSAL, "127.0.0.3", "a\x1b[2Jb\n", 1, LOG_WARNING,
         "127.0.0.3: a\\x1B[2Jb"},
        {"error", MSG_ERROR, nullptr, "Error: cannot open\n", 1, -1, ""},
        {"info", MSG_INFO, nullptr, "Listening...\n", 1, -1, ""},
        {"success", MSG_SUCCESS, "127.0.0.2", "TCP connection accepted\n", 1, -1, ""},
    };
    SetSystemLogSink(CaptureSink);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> lock(sink_mutex);
            g_sinkLines.clear();
        }
        Configure([&](TZELSettings& s) {
            s.logfails = c.logfails;
            s.logsuccess = 1;
        });
        showmessage(c.text, c.client != nullptr ? Addr(c.client) : LOCAL, c.kind, 0);
        std::lock_guard<std::mutex> lock(sink_mutex);
        if (c.priority < 0) {
            EXPECT_TRUE(g_sinkLines.empty());
            continue;
        }
        ASSERT_EQ(g_sinkLines.size(), 1u);
        EXPECT_EQ(g_sinkLines[0].first, c.priority);
        EXPECT_EQ(g_sinkLines[0].second, c.line);
    }
    SetSystemLogSink(nullptr);
}

TEST_F(ShowMessage, AppendsOneLinePerMessageWithPrivateMode) {
    Configure([](TZELSettings& s) { s.logfails = 1; });
    showmessage("first\n", LOCAL, MSG_ERROR, 0);
    showmessage("second\n", LOCAL, MSG_ERROR, 0);
    EXPECT_EQ(Read("bad.txt"),
              "[03/07/2010 09:05:03]\t zel\t\t first\n[03/07/2010 09:05:03]\t zel\t\t second\n");
    struct stat st {};
    ASSERT_EQ(stat((dir + "/bad.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0007, 0u);  // nothing for others
}

TEST_F(ShowMessage, FormatsOnlyWhenAsked) {
    Configure([](TZELSettings& s) { s.verbose = 1; });
    showmessage("%d bytes from %s\n", LOCAL, MSG_INFO, 1, 42, "client");
    const char* verbatim = "100%s sure\n";  // not a format: used as it is
    showmessage(verbatim, LOCAL, MSG_INFO, 0);
    EXPECT_EQ(Read("verbose.txt"),
              "[03/07/2010 09:05:03]\t zel\t\t 42 bytes from client\n"
              "[03/07/2010 09:05:03]\t zel\t\t 100%s sure\n");
}

TEST_F(ShowMessage, LongFormattedTextIsCut) {
    Configure([](TZELSettings& s) { s.verbose = 1; });
    const std::string big(2000, 'x');
    showmessage("%s\n", LOCAL, MSG_INFO, 1, big.c_str());
    std::string line = Read("verbose.txt");
    ASSERT_EQ(line.size(), 511u);
    EXPECT_EQ(line.back(), '\n');
}

TEST_F(ShowMessage, LogPathsWithADirectoryPartAreRelativeToTheWorkingDirectory) {
    char cwdBuf[4096];
    ASSERT_NE(getcwd(cwdBuf, sizeof cwdBuf), nullptr);
    const std::string work = dir + "/work";
    fs::create_directories(work + "/logs");
    fs::create_directories(dir + "/logs");
    ASSERT_EQ(chdir(work.c_str()), 0);
    Configure([](TZELSettings& s) {
        s.logsuccess = 1;
        s.oklogfile = "logs/ok.txt";
    });
    showmessage("done\n", LOCAL, MSG_SUCCESS, 0);
    ASSERT_EQ(chdir(cwdBuf), 0);
    EXPECT_EQ(Read(work + "/logs/ok.txt"), "[03/07/2010 09:05:03]\t zel\t\t done\n");
    EXPECT_FALSE(fs::exists(dir + "/logs/ok.txt"));
}

// What a client sends reaches the console and the failure log as one line
// of visible text.
TEST_F(ShowMessage, ClientTextCannotForgeLinesOrSendTerminalEscapes) {
    Configure([](TZELSettings& s) {
        s.interactive = 1;
        s.logfails = 1;
    });
    const char* word = "x\r\n[03/07/2010 09:05:03]\t 127.0.0.1\t forged\x1b[2J";
    testing::internal::CaptureStdout();
    showmessage("Unknown command \"%s\"\n", Addr("10.1.2.3"), MSG_ERROR, 1, word);
    const std::string console = testing::internal::GetCapturedStdout();
    const std::string shown = "Unknown command \"x\\r\\n[03/07/2010 09:05:03]\\t 127.0.0.1\\t forged\\x1B[2J\"\n";
    EXPECT_EQ(console, "[zel][09:05:03]\t 10.1.2.3\t " + shown);
    EXPECT_EQ(Read("bad.txt"), "[03/07/2010 09:05:03]\t 10.1.2.3\t " + shown);
}

// A log name that is a symbolic link, a FIFO or a folder gets nothing; the
// other logs are still written.
TEST_F(ShowMessage, LogFilesAreOnlyRegularFilesReachedWithoutALink) {
    const std::string victim = dir + "/victim.txt";
    ASSERT_TRUE(WriteTextFile(victim, "untouched\n"));
    ASSERT_EQ(symlink(victim.c_str(), (dir + "/ok.txt").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/bad.txt").c_str(), 0600), 0);
    ASSERT_EQ(symlink((dir + "/nowhere.txt").c_str(), (dir + "/dangling.txt").c_str()), 0);
    fs::create_directories(dir + "/folder.txt");
    for (const char* verboseName : {"dangling.txt", "folder.txt"}) {
        SCOPED_TRACE(verboseName);
        Configure([&](TZELSettings& s) {
            s.logsuccess = 1;
            s.logfails = 1;
            s.verbose = 1;
            s.verboselogfile = verboseName;
        });
        showmessage("one\n", LOCAL, MSG_SUCCESS, 0);
        showmessage("two\n", LOCAL, MSG_ERROR, 0);  // a FIFO without a reader: not waited for
    }
    EXPECT_EQ(Read(victim), "untouched\n");
    EXPECT_FALSE(fs::exists(dir + "/nowhere.txt"));
    Configure([](TZELSettings& s) {
        s.logsuccess = 1;
        s.oklogfile = "real.txt";
    });
    showmessage("three\n", LOCAL, MSG_SUCCESS, 0);
    EXPECT_EQ(Read("real.txt"), "[03/07/2010 09:05:03]\t zel\t\t three\n");
}

TEST_F(ShowMessage, UnopenableLogFileIsSkippedAndOthersStillWritten) {
    const std::string missing = dir + "/no-such-dir/ok.txt";
    Configure([&](TZELSettings& s) {
        s.interactive = 1;
        s.verbose = 1;
        s.logsuccess = 1;
        s.oklogfile = missing.c_str();
    });
    EXPECT_EQ(Show("kept\n", LOCAL, MSG_SUCCESS), "[zel][09:05:03]\t zel\t\t kept\n");
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_EQ(Read("verbose.txt"), "[03/07/2010 09:05:03]\t zel\t\t kept\n");
}

TEST_F(ShowMessage, WritelogIgnoresEmptyNamesAndMissingLines) {
    std::lock_guard<std::mutex> lock(showmutex);
    writelog("", "line\n");
    writelog("direct.txt", nullptr);
    EXPECT_FALSE(fs::exists(dir + "/direct.txt"));
    writelog("direct.txt", "line\n");
    EXPECT_EQ(Read("direct.txt"), "line\n");
}

// ---- Messages that may repeat: at most one per interval -----------------

// The clock of the limit, stepped by the tests.
std::atomic<long long> g_steadyMs{0};
std::chrono::steady_clock::time_point SteppedClock() {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(g_steadyMs.load()));
}

class RepeatedMessage : public ShowMessage {
protected:
    void SetUp() override {
        ShowMessage::SetUp();
        g_steadyMs = 1000000;
        SetRepeatedMessageClock(SteppedClock);
    }
    void TearDown() override {
        SetRepeatedMessageClock(nullptr);
        ShowMessage::TearDown();
    }
};

TEST_F(RepeatedMessage, PassesOncePerIntervalCountingTheRest) {
    const long long interval =
        std::chrono::duration_cast<std::chrono::milliseconds>(kRepeatedMessageInterval).count();
    ASSERT_EQ(interval, 10000);
    struct TStep {
        long long atMs;  // since the first occurrence
        bool shown;
        int skipped;  // reported with a shown one
    } const steps[] = {
        {0, true, 0},                        // the first is always shown
        {0, false, 0},                       // at once again
        {1, false, 0},
        {interval - 1, false, 0},            // just inside the interval
        {interval, true, 3},                 // the interval is over: the three left out
        {interval, false, 0},
        {3 * interval, true, 1},             // a long quiet time: one left out
        {3 * interval + 1, false, 0},
        {4 * interval + 5, true, 1},         // counted from the last shown, not the first
    };
    TRepeatedMessage limit;
    const long long start = g_steadyMs;
    for (const TStep& step : steps) {
        SCOPED_TRACE(step.atMs);
        g_steadyMs = start + step.atMs;
        int skipped = -1;
        EXPECT_EQ(limit.Pass(skipped), step.shown);
        if (step.shown) {
            EXPECT_EQ(skipped, step.skipped);
        }
    }
    // Another message has a limit of its own.
    TRepeatedMessage other;
    int skipped = -1;
    EXPECT_TRUE(other.Pass(skipped));
    EXPECT_EQ(skipped, 0);
}

TEST_F(RepeatedMessage, ShowsAsAnErrorWithTheCountLeftOut) {
    Configure([](TZELSettings& s) { s.logfails = 1; });
    TRepeatedMessage limit;
    const String text("Accept error: Too many open files");
    for (int i = 0; i < 5; ++i) limit.Show(Addr("10.1.2.3"), text);
    EXPECT_EQ(Read("bad.txt"), "[03/07/2010 09:05:03]\t 10.1.2.3\t Accept error: Too many open files\n");
    g_steadyMs += 10000;
    limit.Show(LOCAL, text);
    limit.Show(LOCAL, text);
    EXPECT_EQ(Read("bad.txt"),
              "[03/07/2010 09:05:03]\t 10.1.2.3\t Accept error: Too many open files\n"
              "[03/07/2010 09:05:03]\t zel\t\t Accept error: Too many open files (4 more not shown)\n");
}

}  // namespace

// The console echo is left off only where nobody could read it.
TEST(OutputGoesNowhere, OnlyClosedDescriptorsAndTheNullDevice) {
    TFd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
    TFd zero(open("/dev/zero", O_RDONLY | O_CLOEXEC));
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    TFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    TScratchDir scratch;
    TFd file(open(scratch.File("console.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(null.Valid() && zero.Valid() && file.Valid());
    EXPECT_TRUE(OutputGoesNowhere(null.Get()));
    EXPECT_FALSE(OutputGoesNowhere(zero.Get()));  // another character device
    EXPECT_FALSE(OutputGoesNowhere(writeEnd.Get()));
    EXPECT_FALSE(OutputGoesNowhere(file.Get()));
    int closed = dup(file.Get());
    close(closed);
    EXPECT_TRUE(OutputGoesNowhere(closed));
}
