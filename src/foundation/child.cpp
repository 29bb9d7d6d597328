// Child processes: splitting, starting (vfork + execve along PATH), waiting
// on a process descriptor, killing the group at a deadline, reaping.
#include "foundation/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/child_reaper.h"
#include "foundation/fd.h"
#include "foundation/io.h"

extern char** environ;

// ---- Splitting ------------------------------------------------------------

TStrList SplitCommandLine(const char* line) {
    TStrList args;
    if (line == nullptr) return args;
    const char* p = line;
    int left = kChildArgBufferSize;
    while (*p != '\0' && args.Count() < kMaxChildArgs) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '\0') break;
        const char* begin;
        const char* end;
        if (*p == '"' || *p == '\'') {
            const char quote = *p++;
            begin = p;
            while (*p != '\0' && *p != quote) ++p;
            end = p;
            if (*p == quote) ++p;
        } else {
            begin = p;
            while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
            end = p;
        }
        const int len = static_cast<int>(end - begin);
        if (len + 1 > left) break;
        left -= len + 1;
        args.Add(String(begin, len));
    }
    return args;
}

// ---- Starting -------------------------------------------------------------

namespace {

constexpr int kExecFailedStatus = 255;
constexpr int kLookMs = 1000;             // the start-only look
constexpr int64_t kAfterKillMs = 10000;   // how long a killed child may take to go
constexpr int kTextBusyRetries = 5;       // a script file still open for writing elsewhere

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Everything the child needs, prepared by the parent: the child itself
// allocates nothing and calls only async-signal-safe functions.
struct TSpawnPlan {
    std::vector<std::string> store;      // argument texts
    std::vector<char*> argv;             // store + null
    std::vector<std::string> candidates; // where to look for the program
    std::vector<char*> shArgv;           // "/bin/sh", <candidate>, args 1.., null
    char** envp = nullptr;
    const char* workDir = nullptr;
    int src[4] = {-1, -1, -1, -1};       // descriptors for 0..3 (3: -1 = closed)
    int errPipe = -1;                    // write end, close-on-exec
    unsigned int maxFd = 1024;           // for closing without close_range
    bool capFileSize = false;            // set fileSize as RLIMIT_FSIZE
    rlimit fileSize{};
};

// execvp's search: a name with '/' as it is; otherwise each PATH element
// ("" = the current directory), PATH unset = "/bin:/usr/bin".
void PlanCandidates(TSpawnPlan& plan, const std::string& file) {
    if (file.find('/') != std::string::npos) {
        plan.candidates.push_back(file);
        return;
    }
    const char* path = std::getenv("PATH");
    std::string list = path != nullptr ? path : "/bin:/usr/bin";
    size_t start = 0;
    for (;;) {
        const size_t colon = list.find(':', start);
        const std::string dir = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        plan.candidates.push_back(dir.empty() ? file : dir + "/" + file);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
}

// Tries the candidates like execvp: on ENOEXEC the file runs under /bin/sh;
// EACCES is remembered while the search goes on; a missing directory or
// file moves on; any other error ends the search. Returns the errno to
// report (only when nothing could be executed).
int ExecCandidates(TSpawnPlan* p) {
    bool sawEacces = false;
    int last = ENOENT;
    for (std::string& cand : p->candidates) {
        char* path = cand.data();
        execve(path, p->argv.data(), p->envp);
        int e = errno;
        if (e == ENOEXEC) {
            p->shArgv[1] = path;
            execve(p->shArgv[0], p->shArgv.data(), p->envp);
            e = errno;
        }
        last = e;
        switch (e) {
        case EACCES:
            sawEacces = true;
            [[fallthrough]];
        case ENOENT:
        case ESTALE:
        case ENOTDIR:
        case ENODEV:
        case ETIMEDOUT:
            continue;
        default:
            return e;
        }
    }
    return sawEacces ? EACCES : last;
}

[[noreturn]] void ChildFail(int fd, int e) {
    ssize_t ignored = write(fd, &e, sizeof e);
    (void)ignored;
    _exit(kExecFailedStatus);
}

// Runs in the child between vfork and exec: only system calls.
[[noreturn]] __attribute__((noinline)) void ChildMain(TSpawnPlan* p) {
    setsid();
    // Copies above the target range first, so that a source already sitting
    // on 0..3 is not overwritten before it is used.
    int errFd = fcntl(p->errPipe, F_DUPFD_CLOEXEC, 10);
    if (errFd < 0) _exit(kExecFailedStatus);
    int high[4] = {-1, -1, -1, -1};
    for (int i = 0; i < 4; ++i) {
        if (p->src[i] < 0) continue;
        high[i] = fcntl(p->src[i], F_DUPFD_CLOEXEC, 10);
        if (high[i] < 0) ChildFail(errFd, errno);
    }
    int next = 3;
    for (int i = 0; i < 4; ++i) {
        if (high[i] < 0) continue;
        if (dup2(high[i], i) < 0) ChildFail(errFd, errno);
        next = i + 1;
    }
    if (dup3(errFd, next, O_CLOEXEC) < 0) ChildFail(errFd, errno);
    errFd = next;
    if (syscall(SYS_close_range, static_cast<unsigned>(next + 1), ~0U, 0U) != 0) {
        for (unsigned fd = static_cast<unsigned>(next + 1); fd < p->maxFd; ++fd) close(static_cast<int>(fd));
    }
    if (p->workDir != nullptr) {
        int ignored = chdir(p->workDir);
        (void)ignored;
    }
    if (p->capFileSize && syscall(SYS_prlimit64, 0, RLIMIT_FSIZE, &p->fileSize, nullptr) != 0)
        ChildFail(errFd, errno);
    // Raw system calls: no library or sanitizer wrapper may filter them. An
    // all-zero kernel sigaction is SIG_DFL with no flags and an empty mask
    // whatever the architecture's field order.
    constexpr unsigned long kSigSetBytes = 8;
    unsigned long zero[8] = {};
    for (int sig = 1; sig <= 64; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) syscall(SYS_rt_sigaction, sig, zero, nullptr, kSigSetBytes);
    }
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, zero, nullptr, kSigSetBytes);
    ChildFail(errFd, ExecCandidates(p));
}

// The parent is suspended until the child has executed or exited, so the
// child is a session leader by the time this returns.
__attribute__((noinline)) pid_t VforkChild(TSpawnPlan* p) {
    const pid_t pid = vfork();
    if (pid == 0) ChildMain(p);
    return pid;
}

// Waits until the child ends or the monotonic clock reaches deadline
// (-1: no deadline). True with the wait status when it was reaped.
bool WaitChild(pid_t pid, int pidfd, int64_t deadline, int& status) {
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) {  // taken by someone else: nothing to report
            status = 0;
            return true;
        }
        int timeout = -1;
        if (deadline >= 0) {
            const int64_t left = deadline - NowMs();
            if (left <= 0) return false;
            timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        if (pidfd >= 0) {
            pollfd pfd{pidfd, POLLIN, 0};
            poll(&pfd, 1, timeout);
        } else {
            const int nap = timeout < 0 || timeout > 10 ? 10 : timeout;
            timespec ts{0, static_cast<long>(nap) * 1000000L};
            nanosleep(&ts, nullptr);
        }
    }
}

void FromWaitStatus(int status, TChildStatus& st) {
    if (WIFSIGNALED(status)) {
        st.kind = TChildStatus::Signaled;
        st.signal = WTERMSIG(status);
    } else {
        st.kind = TChildStatus::Exited;
        st.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    }
}

// Reaps a child that has already exited (after a failed exec).
void ReapNow(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

TChildStatus RunOnce(TSpawnPlan& plan, const TChildOptions& opt) {
    TChildStatus st;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        st.error = errno;
        return st;
    }
    TFd readEnd(pipeFds[0]);
    TFd writeEnd(pipeFds[1]);
    plan.errPipe = writeEnd.Get();

    const int64_t start = NowMs();
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    const pid_t pid = VforkChild(&plan);
    const int forkErr = errno;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    writeEnd.Reset();
    if (pid < 0) {
        st.error = forkErr;
        return st;
    }

    int execErr = 0;
    ssize_t got;
    do {
        got = read(readEnd.Get(), &execErr, sizeof execErr);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof execErr)) {
        ReapNow(pid);
        st.kind = TChildStatus::ExecFailed;
        st.error = execErr;
        return st;
    }

    TFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    int status = 0;
    int64_t deadline = -1;
    if (opt.wait == TChildWait::StartOnly) deadline = start + kLookMs;
    if (opt.wait == TChildWait::Deadline) deadline = start + (opt.killAfterMs > 0 ? opt.killAfterMs : 0);
    if (WaitChild(pid, pidfd.Get(), deadline, status)) {
        FromWaitStatus(status, st);
        return st;
    }
    if (opt.wait == TChildWait::StartOnly) {
        HandToReaper(pid, std::move(pidfd));
        st.kind = TChildStatus::Running;
        return st;
    }
    // The time limit: the child leads its own group (setsid before exec).
    st.timedOut = true;
    if (kill(-pid, SIGKILL) != 0 && kill(pid, SIGKILL) != 0) {
        st.kind = TChildStatus::KillFailed;
        st.error = errno;
        HandToReaper(pid, std::move(pidfd));
        return st;
    }
    if (WaitChild(pid, pidfd.Get(), NowMs() + kAfterKillMs, status)) {
        FromWaitStatus(status, st);
    } else {
        HandToReaper(pid, std::move(pidfd));
        st.kind = TChildStatus::Signaled;
        st.signal = SIGKILL;
    }
    return st;
}

}  // namespace

TChildStatus RunChild(const TStrList& args, const TChildOptions& opt) {
    TChildStatus st;
    if (args.Count() == 0 || args[0].IsEmpty()) {
        st.kind = TChildStatus::ExecFailed;
        st.error = ENOENT;
        return st;
    }
    TSpawnPlan plan;
    for (int i = 0; i < args.Count(); ++i) plan.store.push_back(args[i].Std());
    // Texts end at a NUL byte, as the program will see them.
    for (std::string& s : plan.store) s.resize(std::strlen(s.c_str()));
    for (std::string& s : plan.store) plan.argv.push_back(s.data());
    plan.argv.push_back(nullptr);
    PlanCandidates(plan, plan.store[0]);
    static char shPath[] = "/bin/sh";
    plan.shArgv.push_back(shPath);
    plan.shArgv.push_back(nullptr);  // the candidate, set in the child
    for (size_t i = 1; i < plan.store.size(); ++i) plan.shArgv.push_back(plan.store[i].data());
    plan.shArgv.push_back(nullptr);
    plan.envp = opt.envp != nullptr ? const_cast<char**>(opt.envp) : environ;
    plan.workDir = opt.workDir != nullptr && *opt.workDir != '\0' ? opt.workDir : nullptr;
    if (opt.maxFileBytes > 0) {
        // Never above the agent's own hard limit, which the child could not raise.
        rlimit own{};
        rlim_t cap = static_cast<rlim_t>(opt.maxFileBytes);
        if (getrlimit(RLIMIT_FSIZE, &own) == 0 && own.rlim_max != RLIM_INFINITY && own.rlim_max < cap) cap = own.rlim_max;
        plan.capFileSize = true;
        plan.fileSize.rlim_cur = plan.fileSize.rlim_max = cap;
    }
    const long openMax = sysconf(_SC_OPEN_MAX);
    plan.maxFd = openMax > 0 && openMax < 65536 ? static_cast<unsigned>(openMax) : 65536;

    TFd devNull;
    const int want[3] = {opt.stdinFd, opt.stdoutFd, opt.stderrFd};
    for (int i = 0; i < 3; ++i) {
        if (want[i] < 0 && !devNull.Valid()) {
            devNull.Reset(open("/dev/null", O_RDWR | O_CLOEXEC | O_NOCTTY));
            if (!devNull.Valid()) {
                st.error = errno;
                return st;
            }
        }
        plan.src[i] = want[i] >= 0 ? want[i] : devNull.Get();
    }
    plan.src[3] = opt.fd3;

    for (int attempt = 0;; ++attempt) {
        st = RunOnce(plan, opt);
        if (st.kind != TChildStatus::ExecFailed || st.error != ETXTBSY || attempt >= kTextBusyRetries) break;
        timespec ts{0, 20 * 1000000L};
        nanosleep(&ts, nullptr);
    }
    return st;
}

// ---- The classic interface ------------------------------------------------

bool ChildStatusText(const TChildStatus& st, bool startOnly, int& exitCode, String& err) {
    err = "";
    switch (st.kind) {
    case TChildStatus::NotStarted:
        err = "fork error";
        return false;
    case TChildStatus::ExecFailed:
        err = startOnly ? String("exec error") : String("exec error: ") + ErrnoText(st.error);
        return false;
    case TChildStatus::Running:
        exitCode = 0;
        return true;
    case TChildStatus::Exited:
        exitCode = st.exitCode;
        return true;
    case TChildStatus::Signaled:
        if (startOnly) {
            exitCode = 0;
            return true;
        }
        err = "abnormal termination";
        return false;
    case TChildStatus::KillFailed:
        err = "cannot terminate process";
        return false;
    }
    err = "fork error";
    return false;
}

namespace {

// The output file opened (created or truncated); empty for no name or a
// file that cannot be opened.
TFd OpenOutput(const char* name) {
    if (name == nullptr) return TFd();
    return TFd(open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
}

}  // namespace

void SetChildTimeLimit(TChildOptions& opt, int timeLimitMs) {
    opt.killAfterMs = 0;
    if (timeLimitMs == kChildNoWait) {
        opt.wait = TChildWait::StartOnly;
    } else if (timeLimitMs == kChildNoLimit) {
        opt.wait = TChildWait::UntilEnd;
    } else {
        // The whole-second rule: killed at the first whole second past the
        // limit.
        opt.wait = TChildWait::Deadline;
        if (timeLimitMs > 0) opt.killAfterMs = (static_cast<int64_t>(timeLimitMs) / 1000 + 1) * 1000;
    }
}

bool RunProgramWithFiles(const char* cmdline, const char* workDir, const char* inFile, const char* outFile,
                         const char* errFile, int timeLimitMs, int& exitCode, String& err) {
    err = "";
    const TStrList args = SplitCommandLine(cmdline);
    const bool startOnly = timeLimitMs == kChildNoWait;
    TChildOptions opt;
    opt.workDir = workDir;
    SetChildTimeLimit(opt, timeLimitMs);
    TChildStatus st;
    if (args.Count() == 0 || args[0].IsEmpty()) {
        st.kind = TChildStatus::ExecFailed;
        st.error = ENOENT;
        return ChildStatusText(st, startOnly, exitCode, err);
    }
    TFd in(inFile != nullptr ? open(inFile, O_RDONLY | O_CLOEXEC | O_NOCTTY) : -1);
    TFd out = OpenOutput(outFile);
    TFd errOut;
    const bool shared = outFile != nullptr && errFile != nullptr && std::strcmp(outFile, errFile) == 0;
    if (!shared) errOut = OpenOutput(errFile);
    opt.stdinFd = in.Get();
    opt.stdoutFd = out.Get();
    opt.stderrFd = shared ? out.Get() : errOut.Get();
    st = RunChild(args, opt);
    return ChildStatusText(st, startOnly, exitCode, err);
}

bool RunProgram(const char* cmdline, const char* workDir, int timeLimitMs, int& exitCode, String& err) {
    return RunProgramWithFiles(cmdline, workDir, nullptr, nullptr, nullptr, timeLimitMs, exitCode, err);
}
