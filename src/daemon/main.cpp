// zel: the monitoring agent's entry point.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "config/settings.h"
#include "crypto/selftest.h"
#include "daemon/cmdline.h"
#include "daemon/listener.h"
#include "daemon/messages.h"
#include "daemon/pidfile.h"
#include "daemon/protocol_trace.h"
#include "daemon/signals.h"
#include "foundation/fileutils.h"
#include "foundation/io.h"

namespace {

const char kRule[] = "-------------------------------------------------------------";

void Banner() {
    printf("%s\n", kRule);
    printf(" Application:  ZEL (Zelmark for Vantor)\n");
    printf(" Version:      %s for %s\n", "1.29", "Linux (Red Hat, Mandrake, SuSE)");
    printf(" Copyright:    the zel developers\n");
    printf(" Web:          https://zel.invalid/\n");
    printf(" E-mail:       dev@zel.invalid\n");
    printf("%s\n", kRule);
}

[[noreturn]] void showhelp(const char* error) {
    printf("%s\n\n%s", error, UsageText());
    fflush(stdout);
    exit(1);
}

// Exits with code 3 when a cipher check fails.
void CipherSelfChecks() {
    struct TStep {
        TCipherCheck check;
        const char* label;
    };
    for (TStep step : {TStep{TCipherCheck::Block, "Basic encyption checking .. "},
                       TStep{TCipherCheck::Packet, "ZEL encyption checking .. "}}) {
        String err;
        bool ok = CipherSelfTest(step.check, err);
        printf("%s", step.label);
        if (!ok) {
            printf("Error\n");
            exit(3);
        }
        printf("Ok\n");
    }
}

// Detaches from the terminal; returns 0 in the child, -1 when fork fails.
int daemon_init() {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) {
        printf("Daemon started\n");
        fflush(stdout);
        _exit(0);
    }
    setsid();
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) close(null);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv, char** envp) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Banner();
    printf("Command line checking .. ");
    fflush(stdout);
    TCommandLine cmd;
    std::string cmdError;
    if (!ParseCommandLine(argc, argv, cmd, cmdError)) showhelp(cmdError.c_str());
    ZELSettings.Modify([&cmd](TZELSettings& s) {
        s.interactive = cmd.interactive;
        s.verbose = cmd.verbose;
        s.debugverbose = cmd.debugverbose;
        s.cfgfile = String(cmd.cfgfile.c_str());
        s.port = cmd.port;
    });

    printf("Ok\nSettings checking .. ");
    String err;
    if (!ZELSettings.LoadOptions(err)) {
        printf("Error\n%s\nPlease check '%s' file\n\n", err.Data(), cmd.cfgfile.c_str());
        return 1;
    }
    if (err.IsEmpty()) printf("Ok\n");
    else printf("Warning: %s\n", err.Data());
    ApplyTempDirToEnvironment();
    printf("CPU testing .. Ok\n");
    if (cmd.debugverbose) {
        printf("stat.size: %d\n", static_cast<int>(sizeof(off_t)));
        printf("srec.size: %d\n", static_cast<int>(sizeof(TSearchRec{}.Size)));
        printf("int64 = long long\n");
    }
    InstallProtocolTrace();
    CipherSelfChecks();

    // Hidden: the tests shorten the pause between listen attempts.
    const int listenRetryPauseMs = ListenRetryPauseMs(getenv("ZEL_LISTEN_RETRY_MS"));
    printf("Sock testing .. ");
    fflush(stdout);
    {
        auto s = ZELSettings.Get();
        TFd trial;
        if (!Listen(s->host, s->port, listenRetryPauseMs, trial, err)) {
            printf("TCP listen error:\n%s\n\n", err.Data());
            return 4;
        }
        printf("Ok\n");
        shutdown(trial.Get(), SHUT_RDWR);
    }

    bool daemonMode = cmd.interactive == 0;
    if (daemonMode && daemon_init() != 0) {
        fprintf(stderr, "Error initializing daemon: %s\n", ErrnoText(errno).Data());
        return 2;
    }
    InstallSignalHandlers(daemonMode);
    auto settings = ZELSettings.Get();
    SetRestartVector(settings->zelpath.Data(), argv, envp, daemonMode ? settings->pidfile.Data() : "");

    TServeContext ctx;
    ctx.listenRetryPauseMs = listenRetryPauseMs;
    if (!Listen(settings->host, settings->port, listenRetryPauseMs, ctx.listenSocket, err)) {
        printf("TCP listen error: %s\n\n", err.Data());
        return 4;
    }
    TPidFile pidfile;
    if (daemonMode && !settings->pidfile.IsEmpty()) {
        std::string message;
        if (!pidfile.Create(settings->pidfile.Data(), message)) showmessage(message.c_str(), LOCAL, MSG_ERROR, 0);
        if (pidfile.HeldByAnother()) return 1;  // another agent serves with this pid file
    }
    showmessage("Listening...\n", LOCAL, MSG_INFO, 0);
    ctx.pidfile = &pidfile;
    ctx.daemonMode = daemonMode;
    ctx.argv = argv;
    ctx.envp = envp;
    int code = ServeForever(ctx);
    pidfile.Close();
    fflush(stdout);
    _exit(code);  // session threads may still be running; skip global destructors
}
