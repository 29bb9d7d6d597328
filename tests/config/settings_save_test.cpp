#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "config_fixture.h"

namespace {

// The saved keys with the values a minimal file loads, in the order in which
// a save appends the missing ones.
const std::vector<std::pair<std::string, std::string>> kSavedDefaults = {
    {"host", ""}, {"port", "5050"}, {"timeout", "4000"}, {"comment", ""}, {"password", "secret"},
    {"filteractive", "0"}, {"filtermarks", "1"}, {"filterlist", "127.0.0.1"}, {"verboselogfile", ""},
    {"logsuccess", "0"}, {"logfails", "1"}, {"oklogfile", "log1.txt"}, {"badlogfile", "log2.txt"},
    {"allowupdates", "1"}, {"allowmanage", "1"}, {"updateaddr", "127.0.0.1"}, {"manageaddr", "127.0.0.1"},
    {"unc", "1"}, {"freespace", "1"}, {"foldersize", "1"}, {"countfiles", "1"}, {"fileexists", "1"},
    {"filecrc", "1"}, {"comparefiles", "1"}, {"process", "1"}, {"cpuusage", "1"}, {"script", "1"},
    {"external", "1"}, {"ping", "1"}, {"tcp", "1"}, {"udp", "1"}, {"textlog", "1"}, {"shellscript", "1"},
    {"executeaction", "0"}, {"tcpudpaction", "0"}, {"syslogaction", "0"},
};

std::string Appended(const std::set<std::string>& present) {
    std::string out;
    for (const auto& [key, value] : kSavedDefaults)
        if (!present.count(key)) out += key + "=" + value + "\r\n";
    return out;
}

class ConfigSaveTest : public ConfigTest {
protected:
    // The names in the scratch folder.
    std::set<std::string> Entries() const {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) names.insert(e.path().filename().string());
        return names;
    }
    // Loads content, applies change, saves; returns the result.
    bool LoadAndSave(const std::string& content, const std::function<void(TZELSettings&)>& change, String& err) {
        LoadText(store_, content);
        return store_.ModifyAndSave(change, err);
    }
    TZELSettingsStore store_;
};

TEST_F(ConfigSaveTest, RewritesInPlaceAndAppendsMissingKeys) {
    const std::string original = "# a comment = with equals\r\n"
                                 "; port = 1\n"
                                 "Comment = old\n"
                                 "unknown = x \n"
                                 "zelpath=" + agent_ + "\n"
                                 "tmpdir = /nonexistent/ \n"
                                 "delayforscripts = 12abc\n"
                                 "  PORT\t=\t5050 # the port\n"
                                 "\n"
                                 "password=secret";
    String err;
    ASSERT_TRUE(LoadAndSave(original, [](TZELSettings& s) { s.comment = "new"; }, err)) << err.Data();
    EXPECT_EQ(err, "");
    EXPECT_EQ(ReadTextFile(cfg_), "# a comment = with equals\r\n"
                                  "; port = 1\n"
                                  "Comment = new\r\n"
                                  "unknown = x \n"
                                  "zelpath=" + agent_ + "\n"
                                  "tmpdir = /nonexistent/ \n"
                                  "delayforscripts = 12abc\n"
                                  "  PORT\t=\t5050\r\n"
                                  "\n"
                                  "password=secret\r\n" +
                                  Appended({"comment", "port", "password"}));
    EXPECT_EQ(ReadTextFile(cfg_ + ".Old"), original);
    EXPECT_FALSE(Exists(cfg_ + ".New"));
    EXPECT_EQ(store_.Get()->comment, "new");
}

TEST_F(ConfigSaveTest, TextIntegerAndFlagValues) {
    struct Case {
        std::string line;
        std::function<void(TZELSettings&)> change;
        std::string expect;
    } cases[] = {
        {"Comment = old\n", [](TZELSettings& s) { s.comment = ""; }, "Comment = \r\n"},
        {"comment=\n", [](TZELSettings& s) { s.comment = "x y"; }, "comment=x y\r\n"},
        // Line ends inside a value must not turn into lines of their own.
        {"comment=a\n", [](TZELSettings& s) { s.comment = "a\nzelpath=/evil\r"; }, "comment=a zelpath=/evil \r\n"},
        {"timeout = 5 ms\n", [](TZELSettings& s) { s.timeout = -30; }, "timeout = -30\r\n"},
        {"unc = 1 # on\n", [](TZELSettings& s) { s.unc = 0; }, "unc = 0 # on\n"},
        {"freespace=\n", [](TZELSettings& s) { s.freespace = 0; }, "freespace=0\n"},
        {"Ping =  \r\n", [](TZELSettings& s) { s.ping = 1; }, "Ping =  1\r\n"},
        {"tcp=yes\n", [](TZELSettings& s) { s.tcp = 1; }, "tcp=1es\n"},
        {"filterlist = 1.1.1.1\n", [](TZELSettings& s) { s.filterlist = "10.0.0.1\r\n10.0.0.2\n10.0.0.3"; },
         "filterlist = 10.0.0.1 10.0.0.2 10.0.0.3\r\n"},
    };
    for (const Case& c : cases) {
        TZELSettingsStore store;
        ASSERT_TRUE(WriteTextFile(cfg_, Minimal() + c.line));
        String err;
        ASSERT_TRUE(Load(store, err)) << err.Data();
        ASSERT_TRUE(store.ModifyAndSave(c.change, err)) << err.Data();
        std::string file = ReadTextFile(cfg_);
        std::string head = Minimal();
        head.replace(head.find("Port = 5050\n"), 12, "Port = 5050\r\n");
        head.replace(head.find("password=secret\n"), 16, "password=secret\r\n");
        ASSERT_EQ(file.compare(0, head.size(), head), 0) << file;
        EXPECT_EQ(file.substr(head.size(), c.expect.size()), c.expect) << c.line;
    }
}

TEST_F(ConfigSaveTest, SavedFileLoadsBackTheSameSettings) {
    String err;
    ASSERT_TRUE(LoadAndSave(Minimal(),
                          [](TZELSettings& s) {
                              s.filterlist = "10.0.0.1\r\n10.0.0.2";
                              s.filtermarks = "01";
                              s.comment = "a\nzelpath=/evil";
                              s.unc = 0;
                              s.syslogaction = 1;
                          },
                          err));
    TZELSettingsStore again;
    String err2;
    ASSERT_TRUE(Load(again, err2)) << err2.Data();
    auto s = again.Get();
    EXPECT_EQ(s->filterlist, "10.0.0.1\r\n10.0.0.2");
    EXPECT_EQ(s->effectivefilterlist, "\r\n10.0.0.2\r\n");
    EXPECT_EQ(s->comment, "a zelpath=/evil");
    EXPECT_EQ(s->zelpath, agent_.c_str());
    EXPECT_EQ(s->unc, 0);
    EXPECT_EQ(s->syslogaction, 1);
}

TEST_F(ConfigSaveTest, MissingUncAndFreespaceAreAppendedInOrder) {
    String err;
    ASSERT_TRUE(LoadAndSave(Minimal(), [](TZELSettings& s) { s.freespace = 0; }, err));
    std::string file = ReadTextFile(cfg_);
    EXPECT_NE(file.find("\r\nunc=1\r\nfreespace=0\r\nfoldersize=1\r\n"), std::string::npos) << file;
}

TEST_F(ConfigSaveTest, LongLinesAreCopiedAndWrittenWhole) {
    const std::string comment = "# " + std::string(3000, 'x') + "\n";
    const std::string unknown = "unknown=" + std::string(5000, 'u') + "\n";
    const std::string value(4000, 'v');
    String err;
    ASSERT_TRUE(LoadAndSave(Minimal() + comment + unknown + "comment=old\n",
                          [&](TZELSettings& s) { s.comment = value.c_str(); }, err));
    std::string file = ReadTextFile(cfg_);
    EXPECT_NE(file.find("\n" + comment + unknown + "comment=" + value + "\r\n"), std::string::npos);
    TZELSettingsStore again;
    ASSERT_TRUE(Load(again, err));
    EXPECT_EQ(again.Get()->comment, value.c_str());
}

TEST_F(ConfigSaveTest, KeepsOwnerGroupAndMode) {
    LoadText(store_, Minimal());
    ASSERT_EQ(::chmod(cfg_.c_str(), 0640), 0);
    bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(cfg_.c_str(), 4321, 4322), 0);
    }
    String err;
    ASSERT_TRUE(store_.SaveOptions(err)) << err.Data();
    struct stat st{};
    ASSERT_EQ(::stat(cfg_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 4322u);
    }
}

TEST_F(ConfigSaveTest, StaleNewFileIsReplacedNotFollowed) {
    LoadText(store_, Minimal());
    const std::string victim = dir_ + "/victim";
    ASSERT_TRUE(WriteTextFile(victim, "keep me"));
    ASSERT_EQ(::symlink(victim.c_str(), (cfg_ + ".New").c_str()), 0);
    String err;
    ASSERT_TRUE(store_.SaveOptions(err)) << err.Data();
    EXPECT_EQ(ReadTextFile(victim), "keep me");
    EXPECT_FALSE(Exists(cfg_ + ".New"));
    struct stat st{};
    ASSERT_EQ(::lstat(cfg_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(ConfigSaveTest, WriteErrorLeavesTheFileUntouched) {
    const std::string original = Minimal() + "# " + std::string(8000, 'p') + "\ncomment=old\n";
    LoadText(store_, original);
    std::string oldCopy = dir_ + "/zel.cfg.Old";
    ASSERT_TRUE(WriteTextFile(oldCopy, "previous generation"));
    const std::string expectErr = "Cannot write new configuration file '" + cfg_ + ".New'";

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The new file cannot grow beyond 4 KiB: writes fail with EFBIG.
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &rl);
        String err;
        bool saved = store_.ModifyAndSave([](TZELSettings& s) { s.comment = "new"; }, err);
        _exit(!saved && err == expectErr.c_str() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadTextFile(cfg_), original);
    EXPECT_EQ(ReadTextFile(oldCopy), "previous generation");
    EXPECT_FALSE(Exists(cfg_ + ".New"));
}

TEST_F(ConfigSaveTest, FileNameErrors) {
    String err;
    TZELSettingsStore none;
    EXPECT_FALSE(none.SaveOptions(err));
    EXPECT_EQ(err, "Configuration file is not specified");

    LoadText(store_, Minimal());
    ::unlink(cfg_.c_str());
    EXPECT_FALSE(store_.SaveOptions(err));
    EXPECT_EQ(err, ("Cannot open configuration file '" + cfg_ + "'").c_str());
}

TEST_F(ConfigSaveTest, NewFileThatCannotBeCreatedKeepsTheChangeInForce) {
    LoadText(store_, Minimal());
    const std::string before = ReadTextFile(cfg_);
    const std::string expectErr = "Cannot create new configuration file '" + cfg_ + ".New'";
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // One more descriptor may be opened (the configuration file's own),
        // so the new file cannot be created.
        int probe = ::open("/dev/null", O_RDONLY);
        ::close(probe);
        struct rlimit rl{static_cast<rlim_t>(probe + 1), static_cast<rlim_t>(probe + 1)};
        ::setrlimit(RLIMIT_NOFILE, &rl);
        String err;
        bool saved = store_.ModifyAndSave([](TZELSettings& s) { s.comment = "changed"; }, err);
        _exit(!saved && err == expectErr.c_str() && store_.Get()->comment == "changed" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadTextFile(cfg_), before);
    EXPECT_FALSE(Exists(cfg_ + ".Old"));
    EXPECT_EQ(Entries(), (std::set<std::string>{"zel", "zel.cfg"}));
}

// The rewrite needs the file's content and its folder: a process without
// the rights is told which one it lacks before anything changes. Run in a
// child serving as "nobody", as the agent does after its switch of user.
TEST_F(ConfigSaveTest, WriteAccessIsCheckedForTheFileAndItsFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to serve as another user";
    constexpr uid_t kNobody = 65534;
    const std::string sub = dir_ + "/sub";
    const std::string file = sub + "/zel.cfg";
    const struct {
        const char* name;
        uid_t dirOwner;
        uid_t fileOwner;  // (uid_t)-1: no file
        std::string error;
    } cases[] = {
        {"the user's file and folder", kNobody, kNobody, ""},
        {"the user's file in root's folder", 0, kNobody,
         "Cannot rewrite configuration file '" + file + "': no write access to " + sub + " (Permission denied)"},
        {"root's private file in the user's folder", kNobody, 0,
         "Cannot rewrite configuration file '" + file + "': cannot read " + file + " (Permission denied)"},
        {"no file at all: left to the save", kNobody, static_cast<uid_t>(-1), ""},
    };
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(sub);
        ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
        ASSERT_EQ(::chown(sub.c_str(), c.dirOwner, c.dirOwner), 0);
        if (c.fileOwner != static_cast<uid_t>(-1)) {
            ASSERT_TRUE(WriteTextFile(file, Minimal()));
            ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
            ASSERT_EQ(::chown(file.c_str(), c.fileOwner, c.fileOwner), 0);
        }
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (::setresgid(kNobody, kNobody, kNobody) != 0 || ::setresuid(kNobody, kNobody, kNobody) != 0) _exit(2);
            String err;
            const bool ok = CheckConfigWritable(file.c_str(), err);
            _exit(ok == c.error.empty() && err == c.error.c_str() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    std::filesystem::remove_all(sub);
}

// The `user` line is the administrator's: a save keeps it as it is and
// never adds one.
TEST_F(ConfigSaveTest, UserLinePassesThroughASave) {
    String err;
    ASSERT_TRUE(LoadAndSave(Minimal() + "User = zel \n", [](TZELSettings& s) { s.comment = "x"; }, err)) << err.Data();
    const std::string text = ReadTextFile(cfg_);
    EXPECT_NE(text.find("User = zel \n"), std::string::npos) << text;
    EXPECT_EQ(text.find("user="), std::string::npos) << text;
    EXPECT_EQ(store_.Get()->user, "zel");
}

// Two agents on one configuration file: each save replaces the file whole,
// the name never goes missing, and no save spoils another's.
TEST_F(ConfigSaveTest, SavesFromSeveralProcessesNeverLoseTheFile) {
    LoadText(store_, Minimal() + "comment=start\n");
    String first;
    ASSERT_TRUE(store_.SaveOptions(first)) << first.Data();  // every key present from now on
    constexpr int kWriters = 3, kSaves = 150;
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failed = 0;
            for (int i = 0; i < kSaves; ++i) {
                String err;
                std::string value = "writer-" + std::to_string(w) + "-" + std::to_string(i);
                failed += !store_.ModifyAndSave([&](TZELSettings& s) { s.comment = value.c_str(); }, err);
            }
            _exit(failed == 0 ? 0 : 1);
        }
        writers.push_back(pid);
    }
    int missing = 0, partial = 0, running = kWriters;
    std::vector<int> codes;
    while (running > 0) {
        struct stat st{};
        if (::stat(cfg_.c_str(), &st) != 0) ++missing;
        std::string text = ReadTextFile(cfg_);
        if (text.find("syslogaction=0\r\n") == std::string::npos) ++partial;
        int status = 0;
        pid_t done = ::waitpid(-1, &status, WNOHANG);
        if (done > 0) {
            --running;
            codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(partial, 0);
    EXPECT_EQ(codes, std::vector<int>(kWriters, 0));
    TZELSettingsStore again;
    String err;
    ASSERT_TRUE(Load(again, err)) << err.Data();
    EXPECT_EQ(again.Get()->comment.Std().rfind("writer-", 0), 0u);
    EXPECT_EQ(Entries(), (std::set<std::string>{"zel", "zel.cfg", "zel.cfg.Old"}));
}

// A configuration file that is a symbolic link: the file it leads to is
// rewritten (and keeps the ".Old" copy beside it); the link stays a link.
TEST_F(ConfigSaveTest, SymbolicLinkKeepsLeadingToTheRewrittenFile) {
    ASSERT_EQ(::mkdir((dir_ + "/real").c_str(), 0700), 0);
    const std::string target = dir_ + "/real/zel.cfg";
    ASSERT_TRUE(WriteTextFile(target, Minimal() + "comment=old\n"));
    ASSERT_EQ(::symlink("real/zel.cfg", cfg_.c_str()), 0);
    String err;
    ASSERT_TRUE(Load(store_, err)) << err.Data();
    ASSERT_TRUE(store_.ModifyAndSave([](TZELSettings& s) { s.comment = "new"; }, err)) << err.Data();
    struct stat st{};
    ASSERT_EQ(::lstat(cfg_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(ReadTextFile(target).find("comment=new\r\n"), std::string::npos);
    EXPECT_EQ(ReadTextFile(target + ".Old"), Minimal() + "comment=old\n");
    EXPECT_FALSE(Exists(cfg_ + ".Old"));
    EXPECT_EQ(Entries(), (std::set<std::string>{"real", "zel", "zel.cfg"}));
}

}  // namespace
