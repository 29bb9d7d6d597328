// The syslog message format, the address cache, "ACT-Syslog" through the
// dispatcher, and delivery to a real rsyslogd on loopback.
#include "actions/syslog_sender.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ipv6_loopback.h"
#include "common/handler_fixture.h"
#include "common/scratch_dir.h"
#include "common/loopback_peers.h"
#include "foundation/io.h"
#include "net/resolve.h"

extern char** environ;

namespace {

struct tm At(int mon, int mday, int hour, int min, int sec) {
    struct tm t {};
    t.tm_year = 124;
    t.tm_mon = mon;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

TEST(SyslogFormat, TimeStampPadsTheDayWithASpace) {
    EXPECT_EQ(SyslogTimeStamp(At(2, 5, 7, 8, 9)), "Mar  5 07:08:09");
    EXPECT_EQ(SyslogTimeStamp(At(2, 15, 7, 8, 9)), "Mar 15 07:08:09");
    EXPECT_EQ(SyslogTimeStamp(At(11, 31, 23, 59, 60)), "Dec 31 23:59:60");
}

TEST(SyslogFormat, MonthNamesAreEnglishAbbreviations) {
    const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m) {
        String stamp = SyslogTimeStamp(At(m, 1, 0, 0, 0));
        EXPECT_EQ(std::string(stamp.View().substr(0, 4)), std::string(names[m]) + " ");
    }
}

TEST(SyslogFormat, WholeMessage) {
    const struct tm t = At(2, 5, 7, 8, 9);
    struct {
        int facility, severity;
        const char* text;
        const char* expected;
    } cases[] = {
        {1, 5, "disk full", "<13>Mar  5 07:08:09 192.0.2.7 QD ZEL: disk full"},
        {23, 7, "x", "<191>Mar  5 07:08:09 192.0.2.7 QD ZEL: x"},
        {0, 0, "", "<0>Mar  5 07:08:09 192.0.2.7 QD ZEL: "},
        {1, 5, "two\nlines", "<13>Mar  5 07:08:09 192.0.2.7 QD ZEL: two\nlines"},
        // The facility is not range-checked; its priority must not overflow.
        {INT_MAX, 7, "big", "<17179869183>Mar  5 07:08:09 192.0.2.7 QD ZEL: big"},
        {INT_MIN, 0, "small", "<-17179869184>Mar  5 07:08:09 192.0.2.7 QD ZEL: small"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(BuildSyslogMessage(c.facility, c.severity, t, "192.0.2.7", "QD ZEL", c.text), c.expected);
    }
}

std::atomic<int> g_lookups{0};
String CountingLookup() { return String(std::to_string(++g_lookups).c_str()); }

TEST(SyslogHostCache, LooksTheAddressUpOncePerLifetime) {
    using namespace std::chrono;
    g_lookups = 0;
    TTimedAddressCache cache(CountingLookup, kSyslogHostCacheLife);
    const auto t0 = steady_clock::now();
    EXPECT_EQ(cache.Get(t0), "1");
    EXPECT_EQ(cache.Get(t0 + seconds(30)), "1");
    EXPECT_EQ(cache.Get(t0 + seconds(59)), "1");
    EXPECT_EQ(cache.Get(t0 + seconds(61)), "2");
    EXPECT_EQ(cache.Get(t0 + seconds(100)), "2");
    EXPECT_EQ(g_lookups.load(), 2);
    EXPECT_EQ(kSyslogHostCacheLife, seconds(60));
}

TEST(SyslogHostCache, ManyThreadsShareOneLookup) {
    g_lookups = 0;
    TTimedAddressCache cache(CountingLookup, std::chrono::hours(1));
    const auto now = std::chrono::steady_clock::now();
    cache.Get(now);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 1000; ++j) EXPECT_EQ(cache.Get(now), "1");
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(g_lookups.load(), 1);
}

using SyslogAction = HandlerFixture;

TEST_F(SyslogAction, SwitchedOffIsRefusedBeforeItRuns) {
    peers::TUdpPeer collector(peers::TUdpMode::Silent);
    Settings([](TZELSettings& s) { s.syslogaction = 0; });
    TReplyTable r = Call("ACT-Syslog", {"127.0.0.1", collector.PortText(), "1", "5", "m"});
    EXPECT_EQ(r.code, "600");
    EXPECT_EQ(r.lines, std::vector<std::string>{"operation is not allowed"});
    EXPECT_TRUE(collector.Datagrams().empty());
}

TEST_F(SyslogAction, AnswersAndSendsOneDatagram) {
    peers::TUdpPeer collector(peers::TUdpMode::Silent);
    const std::string port = collector.PortText();
    const std::string wrong = "Wrong parameter";
    struct {
        const char* name;
        std::vector<std::string> params;
        std::string code;
        std::string text;
    } cases[] = {
        {"sent", {"127.0.0.1", port, "1", "5", "disk full"}, "200", "Syslog: Data to 127.0.0.1 has been sent"},
        {"host as given", {" localhost ", port, "23", "7", "x%0Ay"}, "200", "Syslog: Data to localhost has been sent"},
        {"empty host", {"", port, "1", "5", "m"}, "501", wrong},
        {"port not a number", {"127.0.0.1", "514x", "1", "5", "m"}, "501", wrong},
        {"facility not a number", {"127.0.0.1", port, "local0", "5", "m"}, "501", wrong},
        {"severity not a number", {"127.0.0.1", port, "1", "err", "m"}, "501", wrong},
        {"severity 8", {"127.0.0.1", port, "1", "8", "m"}, "501", wrong},
        {"severity -1", {"127.0.0.1", port, "1", "-1", "m"}, "501", wrong},
        {"unresolvable collector", {peers::kUnresolvable, "514", "1", "5", "m"}, "301",
         "Cannot resolve server name to IP address"},
        {"host holding a NUL byte", {std::string("127.0.0.1\0x", 11), port, "1", "5", "m"}, "301",
         "Cannot resolve server name to IP address"},
        {"port above 65535", {"127.0.0.1", "65536", "1", "5", "m"}, "301", ErrnoText(EINVAL).Data()},
        {"message too long", {"127.0.0.1", port, "1", "5", std::string(70000, 'm')}, "301",
         ErrnoText(EMSGSIZE).Data()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TReplyTable r = Call("ACT-Syslog", c.params);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.lines, std::vector<std::string>{c.text});
    }
    const std::vector<std::string> got = collector.WaitDatagrams(2);
    ASSERT_EQ(got.size(), 2u);
    const std::string host = SyslogHostAddress().Std();
    const std::string stamp = "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]";
    EXPECT_TRUE(std::regex_match(got[0], std::regex("<13>" + stamp + " " + host + " QD ZEL: disk full"))) << got[0];
    EXPECT_TRUE(std::regex_match(got[1], std::regex("<191>" + stamp + " " + host + " QD ZEL: x\ny"))) << got[1];
}

TEST_F(SyslogAction, SendsToACollectorOnIPv6Loopback) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    peers::TUdpPeer collector(peers::TUdpMode::Silent, "", 1, AF_INET6);
    const std::string port = collector.PortText();
    const std::string hosts[] = {"::1", "[::1]", "0:0::1"};
    for (const std::string& host : hosts) {
        TReplyTable r = Call("ACT-Syslog", {host, port, "1", "5", "over " + host});
        EXPECT_EQ(r.code, "200") << host;
        // The host as given, brackets and all.
        EXPECT_EQ(r.lines, std::vector<std::string>{"Syslog: Data to " + host + " has been sent"});
    }
    const std::vector<std::string> got = collector.WaitDatagrams(3);
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const std::string want = " " + SyslogHostAddress().Std() + " QD ZEL: over " + hosts[i];
        EXPECT_EQ(got[i].substr(0, 4), "<13>");
        EXPECT_TRUE(got[i].size() > want.size() && got[i].compare(got[i].size() - want.size(), want.size(), want) == 0)
            << got[i];
    }
    // Brackets around anything but an IPv6 address name no collector.
    TReplyTable r = Call("ACT-Syslog", {"[127.0.0.1]", port, "1", "5", "m"});
    EXPECT_EQ(r.code, "301");
    EXPECT_EQ(r.lines, std::vector<std::string>{"Cannot resolve server name to IP address"});
}

// ---- A real rsyslogd ----

std::string FindRsyslogd() {
    for (const char* p : {"/usr/sbin/rsyslogd", "/sbin/rsyslogd", "/usr/local/sbin/rsyslogd"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

// rsyslogd in the foreground with a private configuration: UDP input on a
// loopback port, every message written to a file with a fixed template.
// No local socket, no kernel log, no system files.
class TRsyslog {
public:
    // Listening on 127.0.0.1, or ::1 for AF_INET6.
    TRsyslog(const TScratchDir& dir, int family) : dir_(dir), family_(family) {}
    ~TRsyslog() { Stop(); }

    // Starts it and waits until it has logged a probe; false with why.
    bool Start(std::string& why) {
        const std::string exe = FindRsyslogd();
        if (exe.empty()) {
            why = "rsyslogd is not installed (scripts/install-deps.sh installs it)";
            return false;
        }
        for (int attempt = 0; attempt < 3; ++attempt) {
            port_ = peers::FreeUdpPort(family_);
            if (Launch(exe, why) && WaitForProbe(why)) return true;
            Stop();
        }
        return false;
    }

    int Port() const { return port_; }
    const char* Address() const { return family_ == AF_INET6 ? "::1" : "127.0.0.1"; }
    std::string Records() const { return ReadTextFile(dir_.File("messages.log")); }

    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    bool Launch(const std::string& exe, std::string& why) {
        const std::string work = dir_.File("work");
        mkdir(work.c_str(), 0700);
        const std::string conf = dir_.File("rsyslog.conf");
        std::ostringstream c;
        c << "global(workDirectory=\"" << work << "\" parser.escapeControlCharactersOnReceive=\"on\")\n"
          << "module(load=\"imudp\")\n"
          << "input(type=\"imudp\" address=\"" << Address() << "\" port=\"" << port_ << "\")\n"
          << "template(name=\"fields\" type=\"string\" "
             "string=\"%syslogfacility%|%syslogseverity%|%hostname%|%syslogtag%|%msg%\\n\")\n"
          << "*.* action(type=\"omfile\" file=\"" << dir_.File("messages.log") << "\" template=\"fields\")\n";
        if (!WriteTextFile(conf, c.str())) {
            why = "cannot write " + conf;
            return false;
        }
        const std::string pidfile = dir_.File("rsyslogd.pid");
        const std::string out = dir_.File("rsyslogd.out");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        std::vector<std::string> args = {"rsyslogd", "-n", "-f", conf, "-i", pidfile};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            pid_ = -1;
            why = "cannot start " + exe + ": " + ErrnoText(rc).Data();
            return false;
        }
        return true;
    }

    bool WaitForProbe(std::string& why) {
        TFd sock(socket(family_, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        TSockAddr sa;
        bool bracketed = false;
        ParseNumericHost(Address(), sa, bracketed);
        sa.SetPort(port_);
        const std::string probe = "<14>Jan  1 00:00:00 127.0.0.1 probe: ready";
        for (int i = 0; i < 150; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                why = "rsyslogd ended at start-up: " + ReadTextFile(dir_.File("rsyslogd.out"));
                return false;
            }
            sendto(sock.Get(), probe.data(), probe.size(), 0, sa.Get(), sa.len);
            if (Records().find("probe") != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        why = "rsyslogd logged nothing received on port " + std::to_string(port_) + ": " +
              ReadTextFile(dir_.File("rsyslogd.out"));
        return false;
    }

    const TScratchDir& dir_;
    int family_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// The record rsyslogd wrote for the message holding marker, split into
// facility, severity, host, tag and message; empty when it has not come.
std::vector<std::string> FindRecord(const TRsyslog& daemon, const std::string& marker) {
    for (int i = 0; i < 100; ++i) {
        std::istringstream in(daemon.Records());
        for (std::string line; std::getline(in, line);) {
            if (line.find(marker) == std::string::npos) continue;
            std::vector<std::string> fields;
            size_t start = 0;
            for (int f = 0; f < 4; ++f) {
                size_t bar = line.find('|', start);
                if (bar == std::string::npos) break;
                fields.push_back(line.substr(start, bar - start));
                start = bar + 1;
            }
            fields.push_back(line.substr(start));
            return fields;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
}

// rsyslogd on 127.0.0.1, and on ::1.
class SyslogDaemon : public HandlerFixture, public ::testing::WithParamInterface<int> {};

TEST_P(SyslogDaemon, RecordsFacilitySeverityTagAndText) {
    if (GetParam() == AF_INET6 && !IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    TScratchDir dir;
    ASSERT_TRUE(dir.Valid());
    TRsyslog daemon(dir, GetParam());
    std::string why;
    ASSERT_TRUE(daemon.Start(why)) << "rsyslogd could not be started: " << why;

    const std::string host = SyslogHostAddress().Std();
    struct {
        std::string facility, severity, message;
        std::string marker, tagAndText;  // rsyslogd writes a line feed as "#012"
    } cases[] = {
        {"1", "5", "disk full m1", "m1", "QD ZEL: disk full m1"},
        {"23", "7", "debug m2", "m2", "QD ZEL: debug m2"},
        {"16", "0", "m3 line one%0Aline two", "m3", "QD ZEL: m3 line one#012line two"},
        {"4", "3", "m4 tab\there", "m4", "QD ZEL: m4 tab#011here"},
    };
    for (const auto& c : cases) {
        TReplyTable r = Call("ACT-Syslog", {daemon.Address(), std::to_string(daemon.Port()), c.facility, c.severity,
                                            c.message});
        EXPECT_EQ(r.code, "200") << c.marker;
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.marker);
        std::vector<std::string> f = FindRecord(daemon, c.marker);
        ASSERT_EQ(f.size(), 5u) << "not recorded; the log holds:\n" << daemon.Records();
        EXPECT_EQ(f[0], c.facility);
        EXPECT_EQ(f[1], c.severity);
        EXPECT_EQ(f[2], host);
        // rsyslogd ends the tag at the first space: "QD" and " ZEL: ...".
        EXPECT_EQ(f[3], "QD");
        EXPECT_EQ(f[3] + f[4], c.tagAndText);
    }
}

INSTANTIATE_TEST_SUITE_P(Families, SyslogDaemon, ::testing::Values(AF_INET, AF_INET6),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return std::string(i.param == AF_INET6 ? "IPv6" : "IPv4");
                         });

}  // namespace
