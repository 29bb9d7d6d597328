// The agent started by root with `user=`: it serves with that user's ids
// only, and reloads, restarts and changes its port within that user's
// rights. Needs root (to create the user and start the agent as root);
// skipped otherwise.
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "crypto/md5.h"
#include "integration/agent_harness.h"
#include "protocol/client.h"
#include "protocol/packet.h"

extern char** environ;

namespace zelit {
namespace {

// A system user and group of the same name (unique to this process, as
// the tests run in parallel) for the test's lifetime: made with useradd
// --system, removed with userdel also when the test fails. Both tools are
// tried again while another one holds the user database's lock.
struct TTestUser {
    bool Create() {
        name = "zelit-" + std::to_string(getpid());
        const TRunResult r = Retried({"/usr/sbin/useradd", "--system", "--user-group", "--no-create-home",
                                      "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin", name});
        created = r.exited && r.exitCode == 0;
        error = created ? "" : "useradd failed: " + r.output;
        if (passwd* p = getpwnam(name.c_str())) {
            uid = p->pw_uid;
            gid = p->pw_gid;
        } else if (error.empty()) {
            error = "the new user is not in the user database";
        }
        return error.empty();
    }
    ~TTestUser() {
        if (created) Retried({"/usr/sbin/userdel", name});
    }
    static TRunResult Retried(const std::vector<std::string>& argv) {
        TRunResult r;
        for (int attempt = 0; attempt < 50; ++attempt) {
            r = RunProgram(argv);
            if (r.exited && r.exitCode == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return r;
    }
    std::string name, error;
    bool created = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The value of "Name:" in /proc/PID/status, tabs turned into spaces and
// trimmed ("" when absent).
std::string StatusField(pid_t pid, const std::string& name) {
    std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + ":", 0) != 0) continue;
        std::string value = line.substr(name.size() + 1);
        for (char& c : value)
            if (c == '\t') c = ' ';
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        while (!value.empty() && value.back() == ' ') value.pop_back();
        return value;
    }
    return "";
}

// Real, effective, saved and file-system ids all the user's, and the user's
// group its only group.
void ExpectServesAsTheUser(pid_t pid, const TTestUser& user) {
    SCOPED_TRACE("process " + std::to_string(pid));
    const std::string u = std::to_string(user.uid), g = std::to_string(user.gid);
    EXPECT_EQ(StatusField(pid, "Uid"), u + " " + u + " " + u + " " + u);
    EXPECT_EQ(StatusField(pid, "Gid"), g + " " + g + " " + g + " " + g);
    EXPECT_EQ(StatusField(pid, "Groups"), g);
    EXPECT_EQ(StatusField(pid, "CapEff"), "0000000000000000");
}

// An agent in daemon mode, started by root on its own configuration in a
// scratch folder that belongs to the user; every process still serving
// that configuration is killed at the end.
class AgentAsUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the agent can change its user only when started as root; run as root";
        ASSERT_TRUE(user_.Create()) << user_.error;
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        ASSERT_TRUE(dir_.Valid());
        cfgPath_ = dir_.File("zel.cfg");
        ASSERT_EQ(mkdir(dir_.File("tmp").c_str(), 0700), 0);
        ASSERT_EQ(chown(dir_.File("tmp").c_str(), user_.uid, user_.gid), 0);
        GiveDir(true);
    }
    void TearDown() override {
        for (pid_t pid : PidsWithArgument(cfgPath_)) {
            kill(pid, SIGKILL);
            WaitChild(pid, 10000);
        }
    }

    // The folder (and the configuration) belong to the user, or to root
    // (readable by everyone, writable by root only).
    void GiveDir(bool toUser) {
        const uid_t u = toUser ? user_.uid : 0;
        const gid_t g = toUser ? user_.gid : 0;
        ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
        ASSERT_EQ(chown(dir_.Path().c_str(), u, g), 0);
        if (PathExists(cfgPath_)) {
            ASSERT_EQ(chmod(cfgPath_.c_str(), toUser ? 0600 : 0644), 0);
            ASSERT_EQ(chown(cfgPath_.c_str(), u, g), 0);
        }
    }
    // Writes the configuration as the user's file.
    void WriteConfig(const std::string& text) {
        ASSERT_TRUE(WriteFile(cfgPath_, text));
        ASSERT_EQ(chmod(cfgPath_.c_str(), 0600), 0);
        ASSERT_EQ(chown(cfgPath_.c_str(), user_.uid, user_.gid), 0);
    }

    // Starts `zel -d -v` as root; returns the serving process (from the pid
    // file), -1 on failure.
    pid_t Start(int port, const std::vector<std::string>& extra = {}) {
        TAgentConfig cfg;
        cfg.extraLines = {"user=" + user_.name};
        cfg.extraLines.insert(cfg.extraLines.end(), extra.begin(), extra.end());
        password_ = String(cfg.password.c_str());
        WriteConfig(AgentConfigText(cfg, dir_.Path(), port));
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e)
            if (std::string(*e).rfind("ZEL_", 0) != 0) env.emplace_back(*e);
        env.push_back("ZEL_LISTEN_RETRY_MS=" + std::to_string(kTestListenRetryMs));
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_t first = -1;
        const char* argv[] = {kAgentBinary, "-d", "-v", cfgPath_.c_str(), nullptr};
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        const std::string console = dir_.File("console.txt");
        posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&files, STDOUT_FILENO, STDERR_FILENO);
        const int rc = posix_spawn(&first, kAgentBinary, &files, nullptr, const_cast<char**>(argv), envp.data());
        posix_spawn_file_actions_destroy(&files);
        if (rc != 0) return -1;
        const int status = WaitChild(first, 15000);
        EXPECT_EQ(status, 0) << "the starting process ended with " << status << ":\n" << ReadFile(dir_.File("console.txt"));
        return status == 0 ? PidFromFile(PidFile()) : -1;
    }
    // After a restart: the starting process of the new image ended and the
    // pid file names the new serving process.
    pid_t WaitForNewServer(pid_t old) {
        EXPECT_EQ(WaitChild(old, 15000), 0);
        pid_t next = -1;
        WaitFor([&] {
            next = PidFromFile(PidFile());
            return next > 0 && next != old && kill(next, 0) == 0;
        });
        return next;
    }

    TReply Ask(int port, const std::string& command, std::initializer_list<std::string> params = {}) {
        return Exchange(port, password_, command.c_str(), Params(params));
    }
    std::string PidFile() const { return dir_.File("zel.pid"); }
    std::string BadLog() const { return ReadFile(dir_.File("bad.log")); }
    bool WaitForLog(const std::string& text) {
        return WaitFor([&] { return BadLog().find(text) != std::string::npos; }, 15000);
    }

    TTestUser user_;
    TScratchDir dir_;
    std::string cfgPath_;
    String password_;
};

TEST_F(AgentAsUser, ServesWithTheUsersIdsAndWithinItsRights) {
    int port = FreeLoopbackPort();
    ASSERT_NE(port, 0);
    pid_t pid = Start(port);
    ASSERT_GT(pid, 0) << ReadFile(dir_.File("verbose.log"));
    ExpectServesAsTheUser(pid, user_);
    EXPECT_TRUE(WaitForLog("Serving as user " + user_.name + " (uid " + std::to_string(user_.uid) + ", gid " +
                           std::to_string(user_.gid) + ")"))
        << BadLog();

    // Requests are served; the pid file, in the user's folder, was made with
    // the user's rights.
    TReply r = Ask(port, "GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
    struct stat st {};
    ASSERT_EQ(stat(PidFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, user_.uid);

    // Files only root may read answer as any file the agent cannot read.
    const std::string secret = dir_.File("secret"), hidden = dir_.File("hidden");
    ASSERT_TRUE(WriteFile(secret, "root only\n"));
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(hidden.c_str(), 0700), 0);
    ASSERT_TRUE(WriteFile(hidden + "/file", "x\n"));
    const struct {
        const char* command;
        std::string path;
        std::vector<std::string> lines;
    } unreadable[] = {
        {"TEST-FileExists", hidden + "/file", {"301", "no such file or acess denied"}},
        {"TEST-FileExists", dir_.File("missing"), {"301", "no such file or acess denied"}},
        {"TEST-FileCRC", secret, {}},
    };
    for (const auto& c : unreadable) {
        SCOPED_TRACE(c.path);
        r = Ask(port, c.command, {c.path});
        ASSERT_TRUE(r.replied) << r.error;
        EXPECT_EQ(ReplyCode(r.text), "301");
        if (!c.lines.empty()) {
            EXPECT_EQ(ReplyLines(r.text), c.lines);
        }
    }
    r = Ask(port, "TEST-FileExists", {secret});  // its name and size are no secret
    EXPECT_EQ(ReplyCode(r.text), "200");

    // The configuration rewrite: done when the file and its folder are the
    // user's; refused whole, with the reason, when they are root's.
    r = Ask(port, "SetSettings", {"Comment=by the server"});
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200") << r.text.Data();
    EXPECT_NE(ReadFile(cfgPath_).find("comment=by the server"), std::string::npos);
    GiveDir(false);
    const std::string before = ReadFile(cfgPath_);
    r = Ask(port, "SetSettings", {"Comment=refused"});
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyLines(r.text), (std::vector<std::string>{"300", "Cannot rewrite configuration file '" + cfgPath_ +
                                                                          "': no write access to " + dir_.Path() +
                                                                          " (Permission denied)"}));
    EXPECT_EQ(ReadFile(cfgPath_), before);
    r = Ask(port, "GetInfo");
    EXPECT_EQ(ReplyValue(r.text, "Comment"), "by the server");  // nothing changed in force either
    GiveDir(true);

    // SIGHUP re-reads the file.
    WriteConfig(ReadFile(cfgPath_) + "comment=from the file\n");
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    EXPECT_TRUE(WaitForLog("Configuration reloaded on SIGHUP\n")) << BadLog();
    r = Ask(port, "GetInfo");
    EXPECT_EQ(ReplyValue(r.text, "Comment"), "from the file");

    // A port change to another unprivileged port.
    const int next = FreeLoopbackPort();
    ASSERT_NE(next, 0);
    r = Ask(port, "SetSettings", {"Port=" + std::to_string(next)});
    EXPECT_EQ(ReplyCode(r.text), "200");
    ASSERT_TRUE(WaitFor([&] { return Ask(next, "GetInfo").replied; })) << BadLog();
    port = next;

    // A port change to a privileged port is refused and logged; the agent
    // stays on its port, in force and in the file.
    r = Ask(port, "SetSettings", {"Port=1023"});
    EXPECT_EQ(ReplyCode(r.text), "200");
    EXPECT_TRUE(WaitForLog("Port change to 1023 refused: user " + user_.name +
                           " may not bind a port below 1024; port " + std::to_string(port) + " kept\n"))
        << BadLog();
    ASSERT_TRUE(WaitFor([&] { return ReplyValue(Ask(port, "GetInfo").text, "Port") == std::to_string(port); }));
    EXPECT_NE(ReadFile(cfgPath_).find("port=" + std::to_string(port)), std::string::npos);
    EXPECT_EQ(BadLog().find("Cannot open original port"), std::string::npos);

    // A self-upgrade cannot replace root's executable: refused before any
    // byte of the image is taken.
    const std::string agentDir = std::string(kAgentBinary).substr(0, std::string(kAgentBinary).rfind('/'));
    r = Ask(port, "UpgradeCode", {"200000"});
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyLines(r.text),
              (std::vector<std::string>{"300", std::string("Upgrade refused: cannot replace ") + kAgentBinary +
                                                   ": no write access to " + agentDir + " (Permission denied)"}));
    EXPECT_TRUE(WaitForLog("127.0.0.1\t Upgrade refused: cannot replace " + std::string(kAgentBinary) +
                           ": no write access to " + agentDir + " (Permission denied)\n"))
        << BadLog();

    // ReloadApp: the new image starts as the user, and stays the user.
    r = Ask(port, "ReloadApp");
    EXPECT_EQ(ReplyCode(r.text), "200");
    pid = WaitForNewServer(pid);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([&] { return Ask(port, "GetInfo").replied; })) << BadLog();
    ExpectServesAsTheUser(pid, user_);
    EXPECT_EQ(ReplyCode(Ask(port, "GetInfo").text), "200");
}

// A port below 1024 that nobody uses now, or 0.
int FreePrivilegedPort() {
    for (int port = 1000; port > 900; --port) {
        TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd.Valid() && bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return port;
    }
    return 0;
}

// The user may not bind the privileged port again: the restarted image
// takes over its predecessor's listener.
TEST_F(AgentAsUser, KeepsAPrivilegedPortAcrossRestarts) {
    const int port = FreePrivilegedPort();
    ASSERT_NE(port, 0);
    pid_t pid = Start(port);
    ASSERT_GT(pid, 0) << ReadFile(dir_.File("verbose.log"));
    ExpectServesAsTheUser(pid, user_);
    for (int restart = 1; restart <= 2; ++restart) {
        SCOPED_TRACE("restart " + std::to_string(restart));
        TReply r = Ask(port, "ReloadApp");
        ASSERT_TRUE(r.replied) << r.error;
        EXPECT_EQ(ReplyCode(r.text), "200");
        pid = WaitForNewServer(pid);
        ASSERT_GT(pid, 0) << BadLog();
        ASSERT_TRUE(WaitFor([&] { return Ask(port, "GetInfo").replied; })) << BadLog();
        ExpectServesAsTheUser(pid, user_);
    }
    EXPECT_EQ(BadLog().find("Start failed"), std::string::npos) << BadLog();

    // A file that names another user would leave the host without an
    // agent: the restart is refused and the agent serves on.
    WriteConfig(ReadFile(cfgPath_) + "user=root\n");
    TReply r = Ask(port, "ReloadApp");
    EXPECT_EQ(ReplyCode(r.text), "200");
    EXPECT_TRUE(WaitForLog("Restart refused: the configuration file fails the start-up checks: Cannot serve as user "
                           "root: user " + user_.name + " cannot become another user\n"))
        << BadLog();
    EXPECT_EQ(kill(pid, 0), 0);
    EXPECT_EQ(ReplyCode(Ask(port, "GetInfo").text), "200");
}

// A self-upgrade of an agent serving as the user on a privileged port,
// where the user owns the executable's folder: the new executable is
// installed and started, takes over the listener and serves as the user.
TEST_F(AgentAsUser, UpgradesWithinTheUsersRights) {
    const int port = FreePrivilegedPort();
    ASSERT_NE(port, 0);
    const std::string bin = dir_.File("bin"), zelPath = bin + "/zel";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(chown(bin.c_str(), user_.uid, user_.gid), 0);
    // The agent runs from a copy in that folder; the new "executable" is a
    // script that passes the self-check and starts the built agent, small
    // whatever the build.
    ASSERT_TRUE(WriteFile(zelPath, ReadFile(kAgentBinary)));
    const std::string image = std::string("#!/bin/sh\n[ \"$1\" = --self-check ] && exec '") + kAgentBinary +
                              "' --self-check\nexec '" + kAgentBinary + "' \"$@\"\n";
    ASSERT_EQ(chmod(zelPath.c_str(), 0755), 0);
    ASSERT_EQ(chown(zelPath.c_str(), user_.uid, user_.gid), 0);
    const pid_t pid = Start(port, {"zelpath=" + zelPath, "allowupdates=1", "updateaddr=127.0.0.1"});
    ASSERT_GT(pid, 0) << ReadFile(dir_.File("console.txt"));

    const String key = NewSessionKey();
    TFd fd = ConnectLoopback(port);
    ASSERT_TRUE(fd.Valid());
    auto reply = [&]() {
        TReceived r = ReceiveUntilClosed(fd.Get(), 15000, true);
        String text, err;
        if (!ReplyPacketComplete(r.data) ||
            !DecodeReplyPacket(r.data.Copy(1, static_cast<int>(ReplyPacketSize(r.data))), key, text, err))
            return std::string("no reply");
        return std::string(text.View());
    };
    ASSERT_TRUE(SendAll(fd.Get(), MakeRequestPacket(password_, key, "UpgradeCode", Params({std::to_string(image.size())}))));
    ASSERT_EQ(reply(), "200\n\r");
    MD5 md5;
    MD5Open(&md5);
    MD5Digest(&md5, image.data(), image.size());
    unsigned char digest[16];
    MD5Close(&md5, digest);
    ASSERT_TRUE(SendAll(fd.Get(), String(image) + EncodeData(String(reinterpret_cast<const char*>(digest), 16), key, 0)));
    EXPECT_EQ(reply(), "200\n\r");
    fd.Reset();

    const std::string installed = "Upgrade installed: the new agent at " + zelPath + " listens on port " + std::to_string(port);
    EXPECT_TRUE(WaitFor([&] { return ReadFile(dir_.File("verbose.log")).find(installed) != std::string::npos; }, 30000))
        << ReadFile(dir_.File("verbose.log"));
    pid_t next = -1;
    ASSERT_TRUE(WaitFor([&] {
        next = PidFromFile(PidFile());
        return next > 0 && next != pid && kill(next, 0) == 0;
    }, 15000));
    ASSERT_TRUE(WaitFor([&] { return Ask(port, "GetInfo").replied; })) << BadLog();
    ExpectServesAsTheUser(next, user_);
    EXPECT_EQ(ReadFile(zelPath), image);
    struct stat st {};
    ASSERT_EQ(stat(zelPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, user_.uid);
}

// The user may rewrite the configuration, so root's start-up writes no file
// the configuration names with root's rights: a pid file and a log that
// only root may write stay as they are (owner, mode, content), and the
// agent says it cannot write them and serves on.
TEST_F(AgentAsUser, WritesNoFileOfRootsForTheUser) {
    TScratchDir rootDir;  // root's, out of the user's reach
    ASSERT_TRUE(rootDir.Valid());
    ASSERT_EQ(chmod(rootDir.Path().c_str(), 0755), 0);
    const std::string pidVictim = rootDir.File("pid-victim"), logVictim = rootDir.File("log-victim");
    const std::string content = "root's own lines\n";
    for (const std::string& f : {pidVictim, logVictim}) {
        ASSERT_TRUE(WriteFile(f, content));
        ASSERT_EQ(chmod(f.c_str(), 0600), 0);
    }
    const int port = FreeLoopbackPort();
    ASSERT_NE(port, 0);
    // Not a valid list item: a settings warning of the load, logged too.
    Start(port, {"pidfile=" + pidVictim, "verboselogfile=" + logVictim, "manageaddr=127.0.0.1 not-an-address"});
    const std::vector<pid_t> pids = PidsWithArgument(cfgPath_);
    ASSERT_EQ(pids.size(), 1u) << ReadFile(dir_.File("console.txt"));
    ExpectServesAsTheUser(pids[0], user_);
    EXPECT_EQ(ReplyCode(Ask(port, "GetInfo").text), "200");

    for (const std::string& f : {pidVictim, logVictim}) {
        SCOPED_TRACE(f);
        struct stat st {};
        ASSERT_EQ(stat(f.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(ReadFile(f), content);
    }
    EXPECT_NE(ReadFile(dir_.File("console.txt")).find("Warning: cannot write log file " + logVictim + " (Permission denied)\n"),
              std::string::npos)
        << ReadFile(dir_.File("console.txt"));
    EXPECT_TRUE(WaitForLog("Failed to create pid file " + pidVictim + "\n")) << BadLog();
    EXPECT_NE(BadLog().find("Warning: "), std::string::npos) << BadLog();  // the held warning, in the user's log
}

// Serving as the user on a privileged port, a restart is refused when the
// new image could neither take over the listener (another address) nor
// bind the port itself; it goes ahead when the user may bind the new port.
TEST_F(AgentAsUser, RestartsOnlyWhereTheNewImageCanListen) {
    const int port = FreePrivilegedPort();
    ASSERT_NE(port, 0);
    pid_t pid = Start(port);
    ASSERT_GT(pid, 0) << ReadFile(dir_.File("console.txt"));
    const std::string original = ReadFile(cfgPath_);

    WriteConfig(original + "host=127.0.0.2\n");
    TReply r = Ask(port, "ReloadApp");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
    EXPECT_TRUE(WaitForLog("Restart refused: the configuration file fails the start-up checks: Port " +
                           std::to_string(port) + " on 127.0.0.2: user " + user_.name +
                           " may not bind a port below 1024\n"))
        << BadLog();
    EXPECT_EQ(kill(pid, 0), 0);
    EXPECT_EQ(ReplyCode(Ask(port, "GetInfo").text), "200");

    const int next = FreeLoopbackPort();
    ASSERT_NE(next, 0);
    std::string moved = original + "host=127.0.0.2\n";
    const std::string portLine = "\nport=" + std::to_string(port) + "\n";
    ASSERT_NE(moved.find(portLine), std::string::npos);
    moved.replace(moved.find(portLine), portLine.size(), "\nport=" + std::to_string(next) + "\n");
    WriteConfig(moved);
    r = Ask(port, "ReloadApp");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
    pid = WaitForNewServer(pid);
    ASSERT_GT(pid, 0) << BadLog();
    EXPECT_TRUE(WaitFor([&] { return ConnectLoopback(next, "", 1000, "127.0.0.2").Valid(); })) << BadLog();
    ExpectServesAsTheUser(pid, user_);
}

}  // namespace
}  // namespace zelit
