// Child processes: splitting, exit codes and exec errors, working directory,
// streams, the time limit and its group kill, the start-only look and the
// reaping of every child.
#include "foundation/child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/proc_walk.h"
#include "common/scratch_dir.h"
#include "foundation/child_reaper.h"
#include "foundation/fd.h"

namespace {

std::vector<std::string> Split(const char* line) {
    std::vector<std::string> out;
    const TStrList args = SplitCommandLine(line);
    for (int i = 0; i < args.Count(); ++i) out.push_back(args[i].Std());
    return out;
}

std::string Words(int n, const std::string& word = "w") {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? " " : "") + word + std::to_string(i);
    return s;
}

// Polls probe for up to 10 s.
bool Eventually(const std::function<bool()>& probe) {
    for (int i = 0; i < 1000; ++i) {
        if (probe()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return probe();
}

// Live (not zombie) processes in process group pgrp.
int LiveInGroup(long pgrp) {
    return proc_walk::CountProcesses([&](const proc_walk::TProcStat& p) { return p.pgrp == pgrp && p.state != 'Z'; });
}

// Zombie children of this process.
int ZombieChildren() {
    const pid_t self = getpid();
    return proc_walk::CountProcesses([&](const proc_walk::TProcStat& p) { return p.ppid == self && p.state == 'Z'; });
}

struct TRun {
    bool ok;
    int code;
    std::string err;
};

TRun Sys(const std::string& cmd, int limit = kChildNoLimit, const char* dir = nullptr) {
    TRun r{false, -7, ""};
    String err;
    r.ok = RunProgram(cmd.c_str(), dir, limit, r.code, err);
    r.err = err.Std();
    return r;
}

// ---- Splitting ------------------------------------------------------------

struct TSplitCase {
    const char* name;
    std::string line;
    std::vector<std::string> args;
};

TEST(SplitCommandLine, Cases) {
    const std::string big(600, 'x');
    const TSplitCase cases[] = {
        {"quoted blank", "ls -l '/tmp/a b'", {"ls", "-l", "/tmp/a b"}},
        {"double quotes", "echo \"it's here\" x", {"echo", "it's here", "x"}},
        {"runs of blanks and tabs", "  a \t\t b\t c  ", {"a", "b", "c"}},
        {"tab alone separates", "a\tb", {"a", "b"}},
        {"resumes after the quote", "\"a b\"c", {"a b", "c"}},
        {"unterminated quote", "a 'b c", {"a", "b c"}},
        {"empty quotes", "a '' b", {"a", "", "b"}},
        {"no escapes", "a\\ b \"c\\\"", {"a\\", "b", "c\\"}},
        {"empty", "", {}},
        {"blanks only", " \t ", {}},
        {"at most 23", Words(30), Split(Words(23).c_str())},
        {"buffer full", big + " " + big, {big}},
    };
    for (const TSplitCase& c : cases) EXPECT_EQ(Split(c.line.c_str()), c.args) << c.name;
    EXPECT_EQ(Split(Words(30).c_str()).size(), 23u);
    // Exactly 1024 bytes with the NULs fit; one more byte does not.
    const std::string a(511, 'a'), b(511, 'b');
    EXPECT_EQ(Split((a + " " + b).c_str()).size(), 2u);
    EXPECT_EQ(Split((a + " " + b + "b").c_str()).size(), 1u);
    EXPECT_TRUE(Split(nullptr).empty());
}

// ---- Exit codes and exec errors ---------------------------------------------

struct TExitCase {
    const char* cmd;
    bool ok;
    int code;  // when ok
    const char* err;
};

TEST(RunProgram, ExitCodesAndExecErrors) {
    const TExitCase cases[] = {
        {"/bin/true", true, 0, ""},
        {"true", true, 0, ""},  // along PATH
        {"sh -c 'exit 3'", true, 3, ""},
        {"sh -c 'exit 255'", true, 255, ""},
        {"/nonexistent/zel-program", false, 0, "exec error: No such file or directory"},
        {"zel-no-such-program-on-path", false, 0, "exec error: No such file or directory"},
        {"", false, 0, "exec error: No such file or directory"},
        {"   ", false, 0, "exec error: No such file or directory"},
        {"''", false, 0, "exec error: No such file or directory"},
        {"/", false, 0, "exec error: Permission denied"},
        {"sh -c 'kill -9 $$'", false, 0, "abnormal termination"},
    };
    for (const TExitCase& c : cases) {
        const TRun r = Sys(c.cmd);
        EXPECT_EQ(r.ok, c.ok) << c.cmd;
        EXPECT_EQ(r.err, c.err) << c.cmd;
        if (c.ok) {
            EXPECT_EQ(r.code, c.code) << c.cmd;
        }
    }
}

TEST(RunProgram, ArgumentsArriveWhole) {
    TScratchDir dir;
    const std::string out = dir.File("args");
    const std::string cmd = "sh -c 'printf \"%s|\" \"$@\" > " + out + "' zero 'a b' \"c;d\" $(x) `y`";
    EXPECT_TRUE(Sys(cmd).ok);
    EXPECT_EQ(ReadTextFile(out), "a b|c;d|$(x)|`y`|");
}

TEST(RunProgram, ScriptWithoutInterpreterLineRunsUnderSh) {
    TScratchDir dir;
    const std::string script = dir.File("plain");
    ASSERT_TRUE(WriteTextFile(script, "echo \"$1\" > \"$(dirname \"$0\")/ran\"\nexit 4\n"));
    chmod(script.c_str(), 0700);
    const TRun r = Sys(script + " 'with blank'");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(ReadTextFile(dir.File("ran")), "with blank\n");
}

TEST(RunProgram, WorkingDirectoryAndItsFallBack) {
    TScratchDir dir;
    const std::string out = dir.File("pwd");
    EXPECT_TRUE(Sys("sh -c 'pwd > pwd'", kChildNoLimit, dir.Path().c_str()).ok);
    EXPECT_EQ(ReadTextFile(out), dir.Path() + "\n");

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string missing = dir.File("no-such-dir");
    EXPECT_TRUE(Sys("sh -c 'pwd > " + out + "'", kChildNoLimit, missing.c_str()).ok);
    EXPECT_EQ(ReadTextFile(out), std::string(cwd) + "\n");
}

// ---- Streams, descriptors, signals --------------------------------------------

TEST(RunProgramWithFiles, OutputAndErrorOnOneFileKeepEverything) {
    TScratchDir dir;
    const std::string out = dir.File("out");
    int code = -1;
    String err;
    const char* cmd = "sh -c 'for i in 1 2 3; do echo out$i; echo err$i >&2; done'";
    ASSERT_TRUE(RunProgramWithFiles(cmd, nullptr, nullptr, out.c_str(), out.c_str(), 0, code, err)) << err.Data();
    EXPECT_EQ(ReadTextFile(out), "out1\nerr1\nout2\nerr2\nout3\nerr3\n");
}

TEST(RunProgramWithFiles, MissingInputReadsAsDevNull) {
    TScratchDir dir;
    const std::string out = dir.File("out");
    const std::string in = dir.File("missing");
    int code = -1;
    String err;
    ASSERT_TRUE(
        RunProgramWithFiles("sh -c 'cat; echo rc=$?'", nullptr, in.c_str(), out.c_str(), nullptr, 0, code, err));
    EXPECT_EQ(ReadTextFile(out), "rc=0\n");
}

TEST(RunProgramWithFiles, ChildGetsNoOtherDescriptorsAndDefaultSignals) {
    TScratchDir dir;
    const std::string out = dir.File("out");
    // A descriptor of the parent without close-on-exec, an ignored SIGPIPE
    // and a blocked signal: none of them may reach the child.
    const int leaked = dup(2);
    ASSERT_GE(leaked, 0);
    signal(SIGPIPE, SIG_IGN);
    sigset_t usr1, saved;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &saved);
    int code = -1;
    String err;
    // The mask is read by the shell's own image (exec), not while the shell
    // forks: a shell may block every signal around its forks for a moment.
    const std::string cmd = "sh -c 'ls /proc/$$/fd; exec grep -E \"^Sig(Ign|Blk)\" /proc/self/status'";
    const bool ok = RunProgramWithFiles(cmd.c_str(), nullptr, nullptr, out.c_str(), out.c_str(), 0, code, err);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    signal(SIGPIPE, SIG_DFL);
    close(leaked);
    ASSERT_TRUE(ok) << err.Data();
    EXPECT_EQ(ReadTextFile(out), "0\n1\n2\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
    // With SIGPIPE at its default, a writer into a closed pipe ends.
    EXPECT_EQ(Sys("sh -c 'yes | head -1 > /dev/null'", 20000).err, "");
}

// ---- Time limits ----------------------------------------------------------------

TEST(RunProgram, TimeLimitKillsTheWholeGroup) {
    TScratchDir dir;
    const std::string marker = dir.File("X"), pidFile = dir.File("pid");
    const std::string cmd = "sh -c 'echo $$ > " + pidFile + "; (sleep 4; touch " + marker + ") & wait'";
    const TRun r = Sys(cmd, 500);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.err, "abnormal termination");
    const long pgrp = std::atol(ReadTextFile(pidFile).c_str());
    ASSERT_GT(pgrp, 0);
    // The background sleep went with it: nothing is left that could touch X.
    EXPECT_TRUE(Eventually([&] { return LiveInGroup(pgrp) == 0; }));
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(RunProgram, NormalEndLeavesBackgroundWorkRunning) {
    TScratchDir dir;
    const std::string marker = dir.File("X");
    EXPECT_TRUE(Sys("sh -c '(sleep 0.3; touch " + marker + ") > /dev/null 2>&1 &'", 5000).ok);
    EXPECT_TRUE(Eventually([&] { return std::filesystem::exists(marker); }));
}

TEST(RunProgram, StartOnlyLooksOnceAndLetsTheChildRun) {
    TScratchDir dir;
    const std::string pidFile = dir.File("pid");
    const auto start = std::chrono::steady_clock::now();
    const TRun r = Sys("sh -c 'echo $$ > " + pidFile + "; exec sleep 10'", kChildNoWait);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.code, 0);
    EXPECT_LT(took, std::chrono::seconds(9));  // did not wait for the sleep
    const pid_t pid = static_cast<pid_t>(std::atol(ReadTextFile(pidFile).c_str()));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), 0);  // still running
    EXPECT_EQ(PendingReapCount(), 1);
    kill(pid, SIGKILL);
    EXPECT_TRUE(Eventually([] { return PendingReapCount() == 0 && ZombieChildren() == 0; }));

    // What ends within the look is answered at once, as for a waited child.
    const TRun quick = Sys("sh -c 'exit 3'", kChildNoWait);
    EXPECT_TRUE(quick.ok);
    EXPECT_EQ(quick.code, 3);
    const TRun killed = Sys("sh -c 'kill -9 $$'", kChildNoWait);
    EXPECT_TRUE(killed.ok);
    EXPECT_EQ(killed.code, 0);
    EXPECT_EQ(Sys("/nonexistent/zel", kChildNoWait).err, "exec error");
}

TEST(RunProgram, ThousandStartOnlyRunsLeaveNoZombie) {
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&ok, t] {
            // A few outlive the look and go to the reaper.
            if (t == 0)
                for (int i = 0; i < 3; ++i) ok += Sys("sleep 1.2", kChildNoWait).ok;
            for (int i = 0; i < 250; ++i) ok += Sys("/bin/true", kChildNoWait).ok;
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(ok.load(), 1003);
    EXPECT_TRUE(Eventually([] { return PendingReapCount() == 0 && ZombieChildren() == 0; }));
}

TEST(RunChild, DeadlineAndDescriptorThree) {
    TScratchDir dir;
    const std::string out = dir.File("out");
    TFd fd(open(out.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.Valid());
    TChildOptions opt;
    opt.stdoutFd = opt.stderrFd = opt.fd3 = fd.Get();
    opt.wait = TChildWait::Deadline;
    opt.killAfterMs = 200;
    TStrList args;
    for (const char* a : {"sh", "-c", "echo one; echo two >&3; sleep 10"}) args.Add(a);
    const TChildStatus st = RunChild(args, opt);
    EXPECT_EQ(st.kind, TChildStatus::Signaled);
    EXPECT_TRUE(st.timedOut);
    EXPECT_EQ(ReadTextFile(out), "one\ntwo\n");
}

// The environment given replaces the agent's (the agent's when none is).
TEST(RunChild, EnvironmentOfItsOwn) {
    setenv("ZEL_CHILD_TEST_MARK", "agent", 1);
    static char a[] = "A=1";
    static char path[] = "PATH=/usr/bin:/bin";
    static char* const env[] = {a, path, nullptr};
    struct Case {
        char* const* envp;
        std::string output;
    };
    const Case cases[] = {{env, "A=1\nPATH=/usr/bin:/bin\n"}, {nullptr, "ZEL_CHILD_TEST_MARK=agent\n"}};
    for (const Case& k : cases) {
        TScratchDir dir;
        const std::string out = dir.File("out");
        TFd fd(open(out.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600));
        ASSERT_TRUE(fd.Valid());
        TChildOptions opt;
        opt.stdoutFd = fd.Get();
        opt.envp = k.envp;
        TStrList args;
        for (const char* w : {"/bin/sh", "-c", "env | grep -E '^(A|PATH|ZEL_CHILD_TEST_MARK)=' | sort"}) args.Add(w);
        const TChildStatus st = RunChild(args, opt);
        EXPECT_EQ(st.kind, TChildStatus::Exited);
        if (k.envp != nullptr) {
            EXPECT_EQ(ReadTextFile(out), k.output);
        } else {
            EXPECT_NE(ReadTextFile(out).find(k.output), std::string::npos) << ReadTextFile(out);
        }
    }
    unsetenv("ZEL_CHILD_TEST_MARK");
}

}  // namespace
