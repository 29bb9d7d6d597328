// The agent's own process count and process list (no script configured),
// checked against processes the tests start; the matching and listing rules
// are checked against the shipped scripts as well.
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "checks/proc_scan.h"
#include "proc_fixture.h"

namespace {

using Lines = std::vector<std::string>;
const std::string kSiteDir = ZEL_TEST_DATA_DIR "/../../scripts/site";

std::string ReadProc(long pid, const char* file) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A child process, killed and reaped when the owner goes.
class TChild {
public:
    // Runs program with argv (argv[0] included).
    TChild(const std::string& program, const std::vector<std::string>& argv) {
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> a;
            for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
            a.push_back(nullptr);
            execv(program.c_str(), a.data());
            _exit(127);
        }
    }
    // A copy of this process that renames itself and waits.
    explicit TChild(const std::string& comm) {
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_NAME, comm.c_str());
            for (;;) pause();
        }
    }
    ~TChild() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    long Pid() const { return pid_; }
    // Waits until the child runs under its new name.
    bool Named(const std::string& comm) const {
        return Eventually([&] { return ReadProc(pid_, "comm") == comm + "\n"; });
    }

private:
    pid_t pid_ = -1;
};

std::string SleepProgram() { return access("/usr/bin/sleep", X_OK) == 0 ? "/usr/bin/sleep" : "/bin/sleep"; }

// Runs each case with the agent's answer and with the shipped script.
class BuiltIn : public ProcFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        ProcFixture::SetUp();
        const bool script = GetParam();
        // An empty setting, as loaded: no script.
        const String none;
        Settings([&](TZELSettings& s) {
            s.proccntscript = script ? String(kSiteDir + "/proccount.sh") : none;
            s.proclistscript = script ? String(kSiteDir + "/proclist.sh") : none;
            s.cpuusagescript = none;
        });
    }
    // A copy of sleep under this name in the scratch folder.
    std::string Program(const std::string& name) {
        return Copy(SleepProgram(), name);
    }
    std::string Copy(const std::string& from, const std::string& name) {
        const std::string path = File(name);
        if (std::filesystem::exists(path)) return path;
        std::filesystem::copy_file(from, path);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    }
    std::string Count(const std::string& name) {
        const TReplyTable r = Call("TEST-Process", {"", name});
        return r.code + " " + (r.lines.empty() ? "" : r.lines[0]);
    }
    // The decoded list, line by line.
    Lines List() {
        const TReplyTable r = Call("GetProcessesList");
        EXPECT_EQ(r.code, "200");
        Lines lines;
        if (r.lines.size() != 1) return lines;
        std::string list = r.lines[0];
        for (size_t at = 0; at < list.size();) {
            const size_t end = list.find("\r\n", at);
            EXPECT_NE(end, std::string::npos) << "every line ends in CR LF";
            if (end == std::string::npos) break;
            lines.push_back(list.substr(at, end - at));
            at = end + 2;
        }
        return lines;
    }
};

TEST_P(BuiltIn, CountByName) {
    // Unique names for this run; the kernel keeps 15 bytes of a command name.
    const std::string id = std::to_string(getpid());
    const std::string shortName = "zc" + id;                        // under 15 bytes
    const std::string blanks = "z c " + id;                         // blanks in the name
    const std::string longName = "zel-count-" + id + "-long-name";  // over 15 bytes
    const std::string twin = longName + "-twin";                    // the same first 15 bytes
    const std::string scriptName = "zel-count-" + id + "-script.sh";
    const std::string optScript = "zel-count-" + id + "-option.sh";
    ASSERT_GT(longName.size(), kCommLength);
    TChild a(Program(shortName), {File(shortName), "60"}), b(Program(shortName), {shortName, "60"});
    TChild c(Program(blanks), {File(blanks), "60"});
    TChild d(Program(longName), {File(longName), "60"});
    TChild e(Program(twin), {File(twin), "60"}), f(Program(twin), {File(twin), "60"});
    // Scripts started through their "#!" line: the interpreter comes first.
    // They wait on a pipe no one writes to, with no child of their own (a
    // child would carry their name until it runs its program).
    ASSERT_EQ(mkfifo(File("fifo").c_str(), 0600), 0);
    const std::string loop = "read x < '" + File("fifo") + "'\n";
    TChild g(Script(scriptName, "#!/bin/sh\n" + loop), {File(scriptName)});
    TChild h(Script(optScript, "#!/bin/sh -e\n" + loop), {File(optScript)});
    for (TChild* t : {&a, &b}) ASSERT_TRUE(t->Named(shortName));
    ASSERT_TRUE(c.Named(blanks));
    for (TChild* t : {&d, &e, &f, &g, &h}) ASSERT_TRUE(t->Named(longName.substr(0, kCommLength)));

    struct TCase {
        std::string name, want;
    } cases[] = {
        {shortName, "200 2"},
        {blanks, "200 1"},
        {longName, "200 1"},                         // not its twins
        {twin, "200 2"},                             // not the first
        {longName.substr(0, kCommLength), "200 5"},  // 15 bytes: the command name alone
        {scriptName, "200 1"},
        {optScript, "200 1"},
        {"zel-count-" + id + "-nothing", "200 0"},
        {"zc" + id + "x", "200 0"},
        {"", "501 Name of the process is not specified"},
        {"  ", "501 Name of the process is not specified"},
    };
    for (const TCase& k : cases) EXPECT_EQ(Count(k.name), k.want) << "'" << k.name << "'";
}

// Processes that start and end during the pass do not disturb the count of
// the others, nor the pass itself.
TEST_P(BuiltIn, CountWhileProcessesComeAndGo) {
    const std::string name = "zs" + std::to_string(getpid());
    TChild a(name), b(name), c(name);
    for (TChild* t : {&a, &b, &c}) ASSERT_TRUE(t->Named(name));
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop) {
            const pid_t p = fork();
            if (p == 0) _exit(0);
            if (p > 0) waitpid(p, nullptr, 0);
        }
    });
    for (int i = 0; i < 20; ++i) EXPECT_EQ(Count(name), "200 3") << i;
    int n = 0;
    String err;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(CountProcesses(name, n, err)) << err.Data();
        EXPECT_EQ(n, 3);
    }
    stop = true;
    churn.join();
}

// The columns of a process the test starts, against /proc; control
// characters never start a line of their own.
TEST_P(BuiltIn, ListColumns) {
    const std::string id = std::to_string(getpid());
    const std::string prog = "zl" + id;
    const std::string forged = "x\rroot     sshd -D\\";
    // A shell under another name, with arguments it does not look at.
    TChild a(Copy("/bin/sh", prog), {"zel-list-" + id, "-c", "while :; do sleep 1; done", "two words", forged, "\nend"});
    TChild b("e\nv\x01l\\" + id.substr(0, 5));
    ASSERT_TRUE(a.Named(prog));
    ASSERT_TRUE(b.Named("e\nv\x01l\\" + id.substr(0, 5)));

    const Lines lines = List();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "PID     USER         NAME            COMMAND");
    const passwd* pw = getpwuid(getuid());  // the list reads /etc/passwd, as here
    std::string user = pw != nullptr ? pw->pw_name : std::to_string(getuid());
    user.resize(std::max<size_t>(user.size(), 12), ' ');
    std::string pid = std::to_string(a.Pid());
    pid.resize(7, ' ');
    std::string name = prog;
    name.resize(15, ' ');
    const std::string want = pid + " " + user + " " + name + " zel-list-" + id +
                             " -c while :; do sleep 1; done two words x\\x0droot     sshd -D\\\\ \\x0aend";
    std::string mine;
    for (const std::string& l : lines) {
        EXPECT_LE(l.size(), 511u);
        EXPECT_EQ(l.find_first_of(std::string("\r\n\t\x01", 4)), std::string::npos) << l;
        EXPECT_NE(l.rfind("root     sshd", 0), 0u) << "a forged line: " << l;
        if (l.rfind(pid, 0) == 0) mine = l;
    }
    EXPECT_EQ(mine, want);
    // The renamed copy: its name escaped, its command line this program's.
    std::string other = std::to_string(b.Pid());
    other.resize(7, ' ');
    bool found = false;
    for (const std::string& l : lines) {
        if (l.rfind(other, 0) != 0) continue;
        found = true;
        const std::string want = "e\\x0av\\x01l\\\\" + id.substr(0, 5) + " ";
        EXPECT_EQ(l.substr(9 + user.size(), want.size()), want) << l;
    }
    EXPECT_TRUE(found);
}

INSTANTIATE_TEST_SUITE_P(AnswerOrScript, BuiltIn, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "script" : "agent"); });

// A long command line comes as pieces of at most 511 bytes, as a script's
// long output line does; a list never takes more than its budget.
TEST(ProcessList, LongLinesAndBudget) {
    const std::string arg(1200, 'a');
    TChild a("/bin/sh", {"sh", "-c", "while :; do sleep 1; done", arg});
    ASSERT_TRUE(a.Named("sh"));
    String list, err;
    ASSERT_TRUE(ListProcesses(list, err)) << err.Data();
    std::string pid = std::to_string(a.Pid());
    pid.resize(7, ' ');
    const std::string text = list.Std();
    const size_t at = text.find("\r\n" + pid);
    ASSERT_NE(at, std::string::npos);
    const std::string line =
        ProcessLine(std::to_string(a.Pid()), "u", "sh", std::string("sh\0-c\0while :; do sleep 1; done\0", 32) + arg + '\0');
    const size_t start = at + 2, userEnd = start + 21;
    // pieces: 511, 511, the rest
    const size_t p1 = text.find("\r\n", start), p2 = text.find("\r\n", p1 + 2), p3 = text.find("\r\n", p2 + 2);
    EXPECT_EQ(p1 - start, 511u);
    EXPECT_EQ(p2 - p1 - 2, 511u);
    EXPECT_EQ(text.substr(userEnd, p1 - userEnd) + text.substr(p1 + 2, p2 - p1 - 2) + text.substr(p2 + 2, p3 - p2 - 2),
              line.substr(21));

    for (const int64_t budget : {10, 100, 1000}) {
        ASSERT_TRUE(ListProcesses(list, err, budget));
        // Every piece ends in CR LF; the lines without them stay within the budget.
        int64_t pieces = 0;
        for (size_t at = 0; (at = list.Std().find("\r\n", at)) != std::string::npos; at += 2) ++pieces;
        EXPECT_GT(pieces, 0);
        EXPECT_LE(list.Length() - 2 * pieces, budget) << budget;
    }
}

TEST(ProcessList, Escapes) {
    struct TCase {
        std::string in, out;
    } cases[] = {
        {"plain text", "plain text"},
        {"cr\rlf\ntab\t", "cr\\x0dlf\\x0atab\\x09"},
        {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
        {"back\\slash", "back\\\\slash"},
        {"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
        {"caf\xc3\xa9 \x9b", "caf\xc3\xa9 \x9b"},  // bytes above 0x7f stay
    };
    for (const TCase& c : cases) {
        std::string out;
        AppendEscaped(c.in, out);
        EXPECT_EQ(out, c.out) << c.in;
    }
}

TEST(ProcessList, LineColumns) {
    using namespace std::string_literals;
    struct TCase {
        std::string pid, user, comm, cmdline, want;
    } cases[] = {
        {"1", "root", "init", "/sbin/init\0splash\0"s, "1       root         init            /sbin/init splash"},
        {"2", "root", "kthreadd", "", "2       root         kthreadd        [kthreadd]"},
        {"3", "root", "k\tx", "\0"s, "3       root         k\\x09x          [k\\x09x]"},
        {"1234567", "a-very-long-user", "n", "a\0\0"s, "1234567 a-very-long-user n               a "},
        {"9", "u", "n", "a b\rc\0"s, "9       u            n               a b\\x0dc"},
    };
    for (const TCase& c : cases) EXPECT_EQ(ProcessLine(c.pid, c.user, c.comm, c.cmdline), c.want) << c.want;
}

TEST(ProcessCount, MatchingRules) {
    using namespace std::string_literals;
    const std::string longName = "a-long-program-name";  // 19 bytes
    struct TCase {
        std::string comm, args, name;
        bool match;
    } cases[] = {
        {"sshd\n", "/usr/sbin/sshd\0-D\0"s, "sshd", true},
        {"sshd\n", "", "sshd", true},  // a kernel thread or a zombie: the name alone
        {" sshd \n", "", "sshd", true},
        {"sshd\n", "", "ssh", false},
        {"my daemon\n", "", "my daemon", true},
        {"a-long-program-\n", "/opt/a-long-program-name\0-x\0"s, longName, true},
        {"a-long-program-\n", "/opt/a-long-program-nam\0"s, longName, false},
        {"a-long-program-\n", "", longName, false},
        {"a-long-program-\n", "/bin/sh\0/opt/a-long-program-name\0"s, longName, true},
        {"a-long-program-\n", "/bin/sh\0-e\0/opt/a-long-program-name\0"s, longName, true},
        {"a-long-program-\n", "/bin/sh\0x\0/opt/a-long-program-name\0"s, longName, false},
        {"a-long-program-\n", "/bin/sh\0-e\0/opt/a-long-program-name"s, longName, false},  // cut short
        {"a-long-program\n", "/opt/a-long-program-name\0"s, longName, false},
        {"a-long-program-\n", "/opt/a-long-program-name\0"s, "a-long-program-", true},  // 15 bytes: the name alone
    };
    for (const TCase& c : cases) {
        const bool match = CommMatches(c.comm, c.name) && (c.name.size() <= kCommLength ||
                                                           CommandLineMatches(c.args, c.name));
        EXPECT_EQ(match, c.match) << c.comm << " / " << c.name;
    }
}

}  // namespace
