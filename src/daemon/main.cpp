// zel: the monitoring agent's entry point.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>


#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "crypto/selftest.h"
#include "daemon/audit.h"
#include "daemon/cmdline.h"
#include "daemon/exit_codes.h"
#include "daemon/listener.h"
#include "daemon/messages.h"
#include "daemon/pidfile.h"
#include "daemon/privileges.h"
#include "daemon/session_pool.h"
#include "daemon/protocol_trace.h"
#include "daemon/signals.h"
#include "foundation/fd.h"
#include "foundation/fileutils.h"
#include "foundation/child_reaper.h"
#include "foundation/io.h"
#include "manage/status.h"
#include "net/sockets.h"

namespace {

const char kRule[] = "-------------------------------------------------------------";

// Warnings about the settings (address list problems, unknown names in a
// settings request) are logged as error lines. Those of the start-up wait
// until the agent acts with the rights it will serve with (ActAsUser), so
// that root never writes to a log path the user may have named: held on the
// main thread until ReleaseSettingsWarnings, before any session runs.
std::atomic<bool> g_holdWarnings{true};
std::vector<std::string> g_heldWarnings;

void LogSettingsWarning(const char* text) {
    if (g_holdWarnings.load(std::memory_order_acquire)) {
        g_heldWarnings.emplace_back(text);
        return;
    }
    showmessage("Warning: %s\n", LOCAL, MSG_ERROR, 1, text);
}

void ReleaseSettingsWarnings() {
    g_holdWarnings.store(false, std::memory_order_release);
    for (const std::string& text : g_heldWarnings) LogSettingsWarning(text.c_str());
    g_heldWarnings.clear();
}

// With a `user` setting, a start by root acts with that user's rights from
// the loaded settings on (ActAsUser); false, with the reason on the console
// only (no log is written with root's rights), when it cannot.
bool ActAsServingUser(const String& user, TUserIds& ids, bool& acting) {
    acting = false;
    if (user.IsEmpty() || geteuid() != 0) return true;
    String err;
    if (!ResolveUser(user, ids, err) || !ActAsUser(ids, err)) {
        printf("Error\nCannot serve as user %s: %s\n", user.Data(), err.Data());
        return false;
    }
    acting = true;
    return true;
}

// Effective root around binding the port (acting = ActAsServingUser's): on
// Raise, false with err when root cannot be regained; Lower returns to the
// user's rights, and a process that cannot must not go on.
bool RaiseForBinding(bool acting, String& err) { return !acting || RaiseToRoot(err); }
bool LowerAfterBinding(bool acting, const TUserIds& ids) {
    String err;
    if (!acting || ActAsUser(ids, err)) return true;
    printf("Cannot serve as user %s: %s\n", ids.name.Data(), err.Data());
    return false;
}

// A log the user may not write is skipped line by line, as any log that
// cannot be written; acting as the user, the start-up says so once on the
// console.
void ReportUnwritableLogs(const TZELSettings& s) {
    const struct {
        bool used;
        const String& file;
    } logs[] = {{s.logsuccess != 0, s.oklogfile}, {s.logfails != 0, s.badlogfile}, {s.verbose != 0, s.verboselogfile}};
    for (const auto& log : logs) {
        if (!log.used || log.file.IsEmpty()) continue;
        const String path = LogFilePath(log.file, s.cfgfile);
        TFd fd(open(path.Data(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0640));
        if (!fd.Valid()) printf("Warning: cannot write log file %s (%s)\n", path.Data(), ErrnoText(errno).Data());
    }
}

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
    exit(ExitStatus(TExitCode::BadConfiguration));
}

// Exits with TExitCode::CipherFailed when a cipher check fails.
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
            exit(ExitStatus(TExitCode::CipherFailed));
        }
        printf("Ok\n");
    }
}

// `zel --self-check`: the cipher checks, then the identity line on standard
// output; no banner, no configuration, no socket. Exit code 0, or 3 when a
// cipher check fails (its text on standard error).
int RunSelfCheck() {
    for (TCipherCheck check : {TCipherCheck::Block, TCipherCheck::Packet}) {
        String err;
        if (!CipherSelfTest(check, err)) {
            fprintf(stderr, "Cipher self-test failed: %s\n", err.Data());
            return ExitStatus(TExitCode::CipherFailed);
        }
    }
    const std::string line = SelfCheckLine();
    fwrite(line.data(), 1, line.size(), stdout);
    return fflush(stdout) == 0 ? 0 : 1;
}

// Detaches from the terminal; returns true in the child, false with the
// system's text when the pipe or the fork fails.
// The parent leaves only when the child calls ReportReady (it listens and
// its pid file is written) or ends: whoever started the daemon, a service
// manager reading the pid file included, finds the serving process's pid
// file the moment the first process is gone. That holds for a restart or an
// upgrade too, where the re-executed image detaches again. A child that ends
// before it is ready makes the parent end with the child's exit status.
bool daemon_init(TFd& ready, String& err) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        err = ErrnoText(errno);
        return false;
    }
    TFd readEnd(fds[0]);
    TFd writeEnd(fds[1]);
    pid_t pid = fork();
    if (pid < 0) {
        err = ErrnoText(errno);
        return false;
    }
    if (pid > 0) {
        writeEnd.Reset();
        char byte = 0;
        ssize_t n;
        do n = read(readEnd.Get(), &byte, 1);
        while (n < 0 && errno == EINTR);
        if (n == 1 && byte == 1) {
            printf("Daemon started\n");
            fflush(stdout);
            _exit(ExitStatus(TExitCode::Ok));
        }
        // A child that stops before it is ready may have said why.
        if (n == 1 && byte == 0) {
            std::string why;
            char buf[512];
            while ((n = read(readEnd.Get(), buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
                if (n > 0) why.append(buf, static_cast<size_t>(n));
            while (!why.empty() && why.back() == '\n') why.pop_back();
            if (!why.empty()) printf("%s\n", why.c_str());
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        printf("Daemon ended during start-up (exit status %d)\n", code);
        fflush(stdout);
        _exit(code != 0 ? code : ExitStatus(TExitCode::DetachFailed));
    }
    readEnd.Reset();
    ready = std::move(writeEnd);
    setsid();
    TFd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (null.Valid()) {
        dup2(null.Get(), STDIN_FILENO);
        dup2(null.Get(), STDOUT_FILENO);
        dup2(null.Get(), STDERR_FILENO);
        if (null.Get() <= STDERR_FILENO) null.Release();  // now one of the standard descriptors
    }
    return true;
}

// Tells the waiting parent of daemon_init why the daemon stops before it is
// ready, for the console that started it; nothing outside daemon mode, where
// the console has seen the message already.
void ReportFailure(TFd& ready, const std::string& why) {
    if (!ready.Valid()) return;
    const std::string text = std::string(1, '\0') + why;
    String ignored;
    WriteAll(ready.Get(), text, ignored);
    ready.Reset();
}

// The system's reason why `port` cannot be bound on `host` (as the listener
// binds: both families for an empty host), as " (reason)", or empty when a
// bind succeeds now or the failure is the resolver's. The listener's own
// text does not carry it.
std::string BindFailureReason(const String& host, int port) {
    TFd fd;
    String ignored;
    int error = 0;
    if (port <= 0 || port > 65535 || TcpListen(host.Data(), port, nullptr, fd, error, ignored) || error == 0) return "";
    return " (" + ErrnoText(error).Std() + ")";
}

// Lets the waiting parent of daemon_init leave.
void ReportReady(TFd& ready) {
    if (!ready.Valid()) return;
    char byte = 1;
    ssize_t n;
    do n = write(ready.Get(), &byte, 1);
    while (n < 0 && errno == EINTR);
    ready.Reset();
}

// Becomes the account of the `user` setting for good once the port is
// bound and the pid file written (with the user's rights already, when
// started by root: acting, see ActAsServingUser), before any connection is
// served.
// False, with the reason on the console, in the log and to the waiting
// parent of daemon mode, when the agent must not serve.
bool ServeAsUser(const String& user, bool acting, TPidFile& pidfile, TFd& ready) {
    TUserIds ids;
    String err;
    bool ok = ResolveUser(user, ids, err);
    // Root again for setgroups, setresgid and setresuid.
    ok = ok && (!acting || RaiseToRoot(err));
    ok = ok && BecomeUser(ids, err);
    if (!ok) {
        const std::string why = "Cannot serve as user " + user.Std() + ": " + err.Std();
        printf("%s\n", why.c_str());
        ReportFailure(ready, why);
        showmessage("Start failed: %s\n", LOCAL, MSG_AUDIT, 1, why.c_str());
        pidfile.Close();
        return false;
    }
    SetServingAsUser(ids.name);
    showmessage("Serving as user %s (uid %d, gid %d)\n", LOCAL, MSG_AUDIT, 1, ids.name.Data(), static_cast<int>(ids.uid),
                static_cast<int>(ids.gid));
    return true;
}

}  // namespace

int main(int argc, char** argv, char** envp) {
    if (IsSelfCheck(argc, argv)) _exit(RunSelfCheck());  // as quick as it can be: no global destructors
    // The listener of the image this one replaced, when it served as a user
    // that may not bind its port again.
    TFd inherited = TakeInheritedListener();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    TCommandLine cmd;
    std::string cmdError;
    const bool parsed = ParseCommandLine(argc, argv, cmd, cmdError);
    if (parsed && (cmd.help || cmd.version)) {
        printf("%s", cmd.help ? UsageText() : VersionText().c_str());
        return ExitStatus(TExitCode::Ok);
    }
    Banner();
    printf("Command line checking .. ");
    fflush(stdout);
    if (!parsed) showhelp(cmdError.c_str());
    ZELSettings.Modify([&cmd](TZELSettings& s) {
        // Interactive mode echoes messages only where they can be seen.
        s.interactive = cmd.interactive && !OutputGoesNowhere(STDOUT_FILENO);
        s.verbose = cmd.verbose;
        s.debugverbose = cmd.debugverbose;
        s.cfgfile = String(cmd.cfgfile.c_str());
        s.port = cmd.port;
    });

    printf("Ok\nSettings checking .. ");
    SetSettingsWarningSink(LogSettingsWarning);
    String err;
    if (!ZELSettings.LoadOptions(err)) {
        printf("Error\n%s\nPlease check '%s' file\n\n", err.Data(), cmd.cfgfile.c_str());
        return ExitStatus(TExitCode::BadConfiguration);
    }
    TUserIds userIds;
    bool actingAsUser = false;
    if (!ActAsServingUser(ZELSettings.Get()->user, userIds, actingAsUser)) return ExitStatus(TExitCode::BadConfiguration);
    ReleaseSettingsWarnings();
    if (err.IsEmpty()) printf("Ok\n");
    else printf("Warning: %s\n", err.Data());
    if (actingAsUser) ReportUnwritableLogs(*ZELSettings.Get());
    ReportAddressProblems(*ZELSettings.Get());
    ApplyTempDirToEnvironment();
    printf("CPU testing .. Ok\n");
    if (cmd.debugverbose) {
        printf("stat.size: %d\n", static_cast<int>(sizeof(off_t)));
        printf("srec.size: %d\n", static_cast<int>(sizeof(TSearchRec{}.Size)));
        printf("int64 = long long\n");
    }
    InstallProtocolTrace();
    CipherSelfChecks();

    // Hidden: the tests shorten the pause between listen attempts and
    // lengthen the interval between two refusal lines of one address.
    const int listenRetryPauseMs = ListenRetryPauseMs(getenv("ZEL_LISTEN_RETRY_MS"));
    SetRefusalInterval(RefusalIntervalFrom(getenv("ZEL_AUDIT_INTERVAL_MS")));
    bool daemonMode = cmd.interactive == 0;
    if (daemonMode) OpenSystemLog();
    printf("Sock testing .. ");
    fflush(stdout);
    {
        auto s = ZELSettings.Get();
        if (inherited.Valid() && !AdoptListener(inherited, s->host, s->port)) inherited.Reset();
        TFd trial;
        if (!RaiseForBinding(actingAsUser, err)) {
            printf("Cannot serve as user %s: %s\n", userIds.name.Data(), err.Data());
            return ExitStatus(TExitCode::BadConfiguration);
        }
        const bool listening = inherited.Valid() || Listen(s->host, s->port, listenRetryPauseMs, trial, err);
        const std::string why = listening ? "" : BindFailureReason(s->host, s->port);
        if (!LowerAfterBinding(actingAsUser, userIds)) return ExitStatus(TExitCode::BadConfiguration);
        if (!listening) {
            printf("TCP listen error:\n%s%s\n\n", err.Data(), why.c_str());
            showmessage("Start failed: TCP listen error on port %d: %s%s\n", LOCAL, MSG_AUDIT, 1, s->port, err.Data(),
                        why.c_str());
            return ExitStatus(TExitCode::ListenFailed);
        }
        printf("Ok\n");
        shutdown(trial.Get(), SHUT_RDWR);
    }

    TFd ready;
    if (daemonMode && !daemon_init(ready, err)) {
        fprintf(stderr, "Error initializing daemon: %s\n", err.Data());
        return ExitStatus(TExitCode::DetachFailed);
    }
    InstallSignalHandlers(daemonMode);
    // Children of the image this one replaced (a restart) are reaped here.
    if (!AdoptInheritedChildren(err)) showmessage("Cannot look for inherited children: %s\n", LOCAL, MSG_ERROR, 1, err.Data());
    auto settings = ZELSettings.Get();
    SetRestartVector(settings->zelpath.Data(), argv, envp, daemonMode ? settings->pidfile.Data() : "");

    TServeContext ctx;
    ctx.listenRetryPauseMs = listenRetryPauseMs;
    if (!RaiseForBinding(actingAsUser, err)) {
        const std::string why = "Cannot serve as user " + userIds.name.Std() + ": " + err.Std();
        ReportFailure(ready, why);
        return ExitStatus(TExitCode::BadConfiguration);
    }
    bool listening = true;
    std::string why;
    if (inherited.Valid()) ctx.listenSocket = std::move(inherited);
    else if (!Listen(settings->host, settings->port, listenRetryPauseMs, ctx.listenSocket, err)) {
        listening = false;
        why = BindFailureReason(settings->host, settings->port);
    }
    if (!LowerAfterBinding(actingAsUser, userIds)) {
        ReportFailure(ready, "Cannot serve as user " + userIds.name.Std());
        return ExitStatus(TExitCode::BadConfiguration);
    }
    if (!listening) {
        printf("TCP listen error: %s\n\n", err.Data());
        ReportFailure(ready, "TCP listen error: " + err.Std() + why);
        showmessage("Start failed: TCP listen error on port %d: %s%s\n", LOCAL, MSG_AUDIT, 1, settings->port, err.Data(),
                    why.c_str());
        return ExitStatus(TExitCode::ListenFailed);
    }
    TPidFile pidfile;
    if (daemonMode && !settings->pidfile.IsEmpty()) {
        std::string message;
        if (!pidfile.Create(settings->pidfile.Data(), message)) showmessage("%s", LOCAL, MSG_ERROR, 1, message.c_str());
        if (pidfile.HeldByAnother()) {  // another agent serves with this pid file
            ReportFailure(ready, message);
            showmessage("Start failed: another agent holds the pid file %s\n", LOCAL, MSG_AUDIT, 1,
                        settings->pidfile.Data());
            return ExitStatus(TExitCode::BadConfiguration);
        }
    }
    if (!settings->user.IsEmpty() && !ServeAsUser(settings->user, actingAsUser, pidfile, ready)) return ExitStatus(TExitCode::BadConfiguration);
    ctx.pidfile = &pidfile;
    ctx.daemonMode = daemonMode;
    ctx.argv = argv;
    ctx.envp = envp;
    // Until the workers can start, connections wait in the listen queue and
    // the main loop tries again every second.
    if (!BeginServing(ctx, err)) showmessage("Cannot start a session worker: %s\n", LOCAL, MSG_ERROR, 1, err.Data());
    ReportReady(ready);
    showmessage("Agent started: version %s, pid %d, port %d\n", LOCAL, MSG_AUDIT, 1, AgentStatus.AgentVersion,
                static_cast<int>(getpid()), settings->port);
    showmessage("Listening...\n", LOCAL, MSG_INFO, 0);
    const TExitCode code = ServeForever(ctx);
    pidfile.Close();
    fflush(stdout);
    _exit(ExitStatus(code));  // session threads may still be running; skip global destructors
}
