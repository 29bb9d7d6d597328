// The upgrade script, run by /bin/sh as the agent runs it: it keeps the
// previous executable, installs the new one by a rename, starts it with the
// agent's arguments, and puts the previous one back and starts it when the
// new agent does not listen on its port in time.
#include "daemon/upgrade.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include "common/eventually.h"
#include "common/proc_walk.h"
#include "common/scratch_dir.h"
#include "foundation/fd.h"

namespace {

namespace fs = std::filesystem;

// Runs the script with /bin/sh and the arguments; returns the exit status.
int RunScript(const std::string& script, const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>("/bin/sh"), const_cast<char*>(script.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execv("/bin/sh", argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A loopback TCP socket bound to a port of its own; listening or not.
TFd BoundSocket(bool listening, int& port) {
    TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (!fd.Valid() || bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (listening && listen(fd.Get(), 4) != 0) || getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return TFd();
    port = ntohs(a.sin_port);
    return fd;
}

// An "agent" that writes its name and arguments to `log`, then ends (or
// stays, not listening, with `hang`). With `daemonPidFile`, it hangs as a
// daemon that is not ready: a forked child stays without listening, its pid
// in that file, while the starter waits for it.
std::string FakeAgent(const std::string& name, const std::string& log, bool hang = false,
                      const std::string& daemonPidFile = "") {
    std::string s = "#!/bin/sh\nprintf '%s|' '" + name + "' \"$@\" >> '" + log + "'\n";
    if (hang && daemonPidFile.empty()) s += "exec sleep 60\n";
    if (hang && !daemonPidFile.empty()) s += "sleep 60 &\necho $! > '" + daemonPidFile + "'\nwait\n";
    return s;
}


// Times `fragment` occurs in `text`.
int CountOf(const std::string& text, const std::string& fragment) {
    int n = 0;
    for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++n;
    return n;
}

// The log files the agent hands to the script.
enum class TLogs {
    Both,         // -v: the verbose log and the failure log
    FailureOnly,  // no -v: the failure log alone
    OneFile,      // both settings name the same file
};

struct TRun {
    TScratchDir dir;
    std::string zel, image, script, log, verboseLog, failureLog;

    TRun(const std::string& folder, const std::string& newAgent, int port, TLogs logs = TLogs::Both) {
        fs::create_directories(dir.File(folder));
        zel = dir.File(folder) + "/zel";
        image = dir.File(folder) + "/zel__.upd";
        script = dir.File(folder) + "/zelupd__.sh";
        log = dir.File("log");
        verboseLog = dir.File("verbose.log");
        failureLog = dir.File("bad.log");
        WriteTextFile(zel, FakeAgent("old", log));
        chmod(zel.c_str(), 0755);
        WriteTextFile(image, newAgent);
        TUpgradeScriptPlan plan;
        plan.zelPath = String(zel.c_str());
        plan.imagePath = String(image.c_str());
        plan.scriptPath = String(script.c_str());
        plan.port = port;
        plan.waitSeconds = 1;
        if (logs == TLogs::OneFile) verboseLog = failureLog;
        if (logs != TLogs::FailureOnly) plan.verboseLog = String(verboseLog.c_str());
        plan.failureLog = String(failureLog.c_str());
        plan.systemLog = false;
        WriteTextFile(script, std::string(BuildUpgradeScript(plan).View()));
    }
    std::string Previous() const { return zel + kUpgradePreviousSuffix; }
    // Names left in the agent's folder.
    int Entries() const {
        int n = 0;
        for (auto& e : fs::directory_iterator(fs::path(zel).parent_path())) n += e.path() != zel;
        return n;
    }
};

// The outcome for each mode: the new agent listens (installed, previous
// removed), ends at once or stays without listening (rolled back, the old
// one started with the same arguments). Either outcome is one line of the
// failure log, with or without a verbose log beside it.
TEST(UpgradeScript, InstallsOrRollsBack) {
    struct Case {
        const char* name;
        const char* folder;  // of the agent: the script quotes every path
        std::vector<std::string> args;
        bool listens;  // something listens on the port
        bool hangs;    // the new agent stays without listening
        bool forks;    // ... as a forked daemon its starter waits for
        std::string log;
        bool installed;
        int status;  // of the script's process (-1: killed)
        TLogs logs;
    };
    const Case cases[] = {
        {"interactive, listens", "bin", {"-i", "-v", "my cfg.cfg"}, true, false, false,
         "new|-i|-v|my cfg.cfg|", true, 0, TLogs::Both},
        {"daemon, listens", "my agent's bin", {"-d", "my cfg.cfg"}, true, false, false,
         "new|-d|my cfg.cfg|", true, 0, TLogs::FailureOnly},
        {"interactive, ends at once", "a$b `c` \"d\"", {"-i", "-v", "my cfg.cfg"}, false, false, false,
         "new|-i|-v|my cfg.cfg|old|-i|-v|my cfg.cfg|", false, 0, TLogs::Both},
        {"daemon, ends at once", "bin", {"-p", "PORT", "c.cfg"}, false, false, false,
         "new|-p|PORT|c.cfg|old|-p|PORT|c.cfg|", false, 0, TLogs::FailureOnly},
        // The mode and the port as the agent reads its options: in any order,
        // -p naming the port to wait for.
        {"interactive after another option, listens", "bin", {"-v", "-i", "c.cfg"}, true, false, false,
         "new|-v|-i|c.cfg|", true, 0, TLogs::OneFile},
        {"-p names the port, listens", "bin", {"-d", "-p", "PORT", "c.cfg"}, true, false, false,
         "new|-d|-p|PORT|c.cfg|", true, 0, TLogs::Both},
        // The stopped new agent is the script's own process.
        {"interactive, hangs", "my agent's bin", {"-i", "c.cfg"}, false, true, false,
         "new|-i|c.cfg|old|-i|c.cfg|", false, -1, TLogs::FailureOnly},
        {"daemon, hangs", "a$b `c` \"d\"", {"-d", "c.cfg"}, false, true, false,
         "new|-d|c.cfg|old|-d|c.cfg|", false, 0, TLogs::OneFile},
        // The starter waits for a daemon that never gets ready: both end.
        {"daemon, its forked daemon hangs", "bin", {"-d", "c.cfg"}, false, true, true,
         "new|-d|c.cfg|old|-d|c.cfg|", false, 0, TLogs::FailureOnly},
    };
    for (const Case& k : cases) {
        {
            SCOPED_TRACE(k.name);
            int port = 0;
            TFd holder = BoundSocket(k.listens, port);
            ASSERT_TRUE(holder.Valid());
            // "PORT" in the arguments: the port is given by -p, and the plan's
            // own port (1) is one nothing listens on.
            std::vector<std::string> args = k.args;
            std::string log = k.log;
            bool portArgument = false;
            for (std::string& a : args)
                if (a == "PORT") a = std::to_string(port), portArgument = true;
            for (size_t at; (at = log.find("PORT")) != std::string::npos;) log.replace(at, 4, std::to_string(port));
            TRun run(k.folder, "", portArgument ? 1 : port, k.logs);
            const std::string daemonPidFile = k.forks ? run.dir.File("daemon.pid") : "";
            const std::string fresh = FakeAgent("new", run.log, k.hangs, daemonPidFile);
            WriteTextFile(run.image, fresh);
            EXPECT_EQ(RunScript(run.script, args), k.status);
            if (k.forks) {
                const pid_t daemon = std::atoi(ReadTextFile(daemonPidFile).c_str());
                ASSERT_GT(daemon, 0);
                EXPECT_TRUE(Eventually([&] { return proc_walk::ProcessEnded(daemon); })) << "the hung daemon " << daemon << " is left";
            }
            // In interactive mode a detached watch finishes the work.
            EXPECT_TRUE(Eventually([&] { return ReadTextFile(run.log) == log; })) << ReadTextFile(run.log);
            // One line in the failure log, in the agent's own format, and
            // the same in the verbose log when there is one.
            const char* outcome = k.installed ? "Upgrade installed: " : "Upgrade failed: ";
            const char* other = k.installed ? "Upgrade failed: " : "Upgrade installed: ";
            const std::regex line(std::string("\\[[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\\]\t zel\t\t ") +
                                  outcome + "[^\n]+\n");
            EXPECT_TRUE(Eventually([&] { return CountOf(ReadTextFile(run.failureLog), outcome) == 1; }))
                << ReadTextFile(run.failureLog);
            const std::string failures = ReadTextFile(run.failureLog);
            EXPECT_TRUE(std::regex_match(failures, line)) << failures;
            EXPECT_EQ(CountOf(failures, other), 0) << failures;
            if (k.logs == TLogs::Both) {
                EXPECT_EQ(ReadTextFile(run.verboseLog), failures);
            } else if (k.logs == TLogs::FailureOnly) {
                EXPECT_FALSE(fs::exists(run.verboseLog));
            }
            EXPECT_EQ(ReadTextFile(run.zel), k.installed ? fresh : FakeAgent("old", run.log));
            struct stat st {};
            ASSERT_EQ(stat(run.zel.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0111, 0111u);
            EXPECT_FALSE(fs::exists(run.Previous()));
            EXPECT_EQ(run.Entries(), 0);  // no image, script, copy or previous left
        }
    }
}

// A copy that fails (here: no image at all) leaves the old executable in
// place, and it is started again at once.
TEST(UpgradeScript, AFailedInstallStartsTheOldExecutable) {
    int port = 0;
    TFd holder = BoundSocket(false, port);
    TRun run("bin", "", port);
    fs::remove(run.image);
    EXPECT_EQ(RunScript(run.script, {"-p", "1234"}), 0);
    EXPECT_EQ(ReadTextFile(run.log), "old|-p|1234|");
    EXPECT_EQ(ReadTextFile(run.zel), FakeAgent("old", run.log));
    EXPECT_NE(ReadTextFile(run.failureLog).find("Upgrade failed: cannot install"), std::string::npos);
    // Nothing half-copied is left beside it.
    EXPECT_EQ(run.Entries(), 0);
}

}  // namespace
