#include "daemon/signals.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "config/settings.h"
#include "daemon/flags.h"
#include "daemon/messages.h"

namespace {

volatile sig_atomic_t g_reloadPending = 0;
volatile sig_atomic_t g_segvPending = 0;

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

void OnHangup(int) { g_reloadPending = 1; }

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
    g_segvPending = 1;
}

}  // namespace

void InstallSignalHandlers(bool daemonMode) {
    struct sigaction sa {};
    sa.sa_sigaction = OnSegv;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
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

void ProcessPendingSignals() {
    if (g_reloadPending) {
        g_reloadPending = 0;
        String err;
        ZELSettings.LoadOptions(err);
    }
    if (g_segvPending) {
        g_segvPending = 0;
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
