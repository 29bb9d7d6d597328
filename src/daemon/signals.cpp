#include "daemon/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "config/settings.h"
#include "daemon/flags.h"
#include "daemon/messages.h"
#include "foundation/fd.h"

namespace {

// Set by the handlers on any thread, read and cleared by the main loop.
// Lock-free atomics are async-signal-safe and, unlike volatile
// sig_atomic_t, free of data races between threads.
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> g_reloadPending{0};
std::atomic<int> g_terminatePending{0};
std::atomic<int> g_segvPending{0};

// The self-pipe that wakes the main loop: the handlers write a byte to it.
TFd g_wakeRead;
TFd g_wakeWrite;

void Wake() {
    int saved = errno;
    if (g_wakeWrite.Valid()) {
        char b = 1;
        ssize_t r = write(g_wakeWrite.Get(), &b, 1);  // full pipe: a wake-up is pending anyway
        (void)r;
    }
    errno = saved;
}

// What the crash handler needs for a restart, fixed before any signal can
// arrive, so the handler touches nothing that may be changing.
char g_restartPath[4096];
char g_pidPath[4096];
char** g_argv = nullptr;
char** g_envp = nullptr;

constexpr time_t kRestartAfterSeconds = 180;

void WriteStderr(const char* text) {
    ssize_t r = write(STDERR_FILENO, text, strlen(text));
    (void)r;
}

void OnHangup(int) {
    g_reloadPending.store(1);
    Wake();
}

void OnTerminate(int) {
    g_terminatePending.store(1);
    Wake();
}

void OnSegv(int, siginfo_t* info, void*) {
    signal(SIGSEGV, SIG_DFL);
    if (info != nullptr && info->si_code > 0) {
        // A real memory fault: the faulting code cannot be resumed. Only
        // async-signal-safe calls here.
        WriteStderr("Segmentation fault!!\n");
        if (time(nullptr) - ZELFlags.StartTime > kRestartAfterSeconds && g_restartPath[0] != '\0' && g_argv) {
            WriteStderr("Restarting..\n");
            if (g_pidPath[0] != '\0') unlink(g_pidPath);
            execve(g_restartPath, g_argv, g_envp);
        }
        return;  // the default action ends the process at the faulting instruction
    }
    // Sent by another process: the main loop reports it and decides.
    g_segvPending.store(1);
    Wake();
}

}  // namespace

void InstallSignalHandlers(bool daemonMode) {
    if (!g_wakeRead.Valid()) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            g_wakeRead.Reset(fds[0]);
            g_wakeWrite.Reset(fds[1]);
        }
    }
    struct sigaction sa {};
    sa.sa_sigaction = OnSegv;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction term {};
    term.sa_handler = OnTerminate;
    sigemptyset(&term.sa_mask);
    sigaction(SIGTERM, &term, nullptr);
    if (daemonMode) {
        struct sigaction hup {};
        hup.sa_handler = OnHangup;
        sigemptyset(&hup.sa_mask);
        sigaction(SIGHUP, &hup, nullptr);
    }
}

void SetRestartVector(const char* path, char** argv, char** envp, const char* pidfile) {
    snprintf(g_restartPath, sizeof g_restartPath, "%s", path ? path : "");
    snprintf(g_pidPath, sizeof g_pidPath, "%s", pidfile ? pidfile : "");
    g_argv = argv;
    g_envp = envp;
}

int SignalWakeDescriptor() { return g_wakeRead.Get(); }

void WakeMainLoop() { Wake(); }

void ProcessPendingSignals() {
    if (g_wakeRead.Valid()) {
        char drain[64];
        while (read(g_wakeRead.Get(), drain, sizeof drain) > 0) {
        }
    }
    if (g_reloadPending.exchange(0)) {
        String err;
        // A save in progress holds the settings: the main loop does not
        // wait behind it but tries again on its next pass.
        const int loaded = ZELSettings.TryLoadOptions(err);
        if (loaded < 0) g_reloadPending.store(1);
        else if (loaded > 0 && err.IsEmpty()) showmessage("Configuration reloaded on SIGHUP\n", LOCAL, MSG_AUDIT, 0);
        else if (loaded > 0)
            showmessage("Configuration reloaded on SIGHUP, with warnings: %s\n", LOCAL, MSG_AUDIT, 1, err.Data());
        else
            showmessage("Configuration reload on SIGHUP failed, the settings in force are kept: %s\n", LOCAL,
                        MSG_AUDIT, 1, err.Data());
        if (loaded > 0) ReportAddressProblems(*ZELSettings.Get());
    }
    if (g_terminatePending.exchange(0)) {
        showmessage("SIGTERM received\n", LOCAL, MSG_INFO, 0);
        ZELFlags.Terminate = 1;
    }
    if (g_segvPending.exchange(0)) {
        showmessage("Segmentation fault!!\n", LOCAL, MSG_ERROR, 0);
        if (time(nullptr) - ZELFlags.StartTime <= kRestartAfterSeconds) {
            signal(SIGSEGV, SIG_DFL);
            raise(SIGSEGV);
            return;
        }
        showmessage("Restarting..\n", LOCAL, MSG_ERROR, 0);
        ZELFlags.Reload = 1;
        signal(SIGSEGV, SIG_IGN);
    }
}
