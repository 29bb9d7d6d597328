#include "daemon/replace.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "config/settings.h"
#include "daemon/cmdline.h"
#include "daemon/messages.h"
#include "daemon/privileges.h"
#include "manage/status.h"

namespace {

// Gives the sessions in the middle of a request a bounded time to answer
// before the process image is replaced under them.
void WaitForSessions() {
    const auto end = std::chrono::steady_clock::now() + kReplaceGrace;
    while (AgentStatus.ActiveConnections.load() > 0 && std::chrono::steady_clock::now() < end)
        poll(nullptr, 0, 20);
}

}  // namespace

TReplacement RestartReplacement(const String& zelpath, char** argv) {
    TReplacement r;
    r.announce = "Reload request received. Executing..\n";
    r.failure = "Error: cannot start new instance\n";
    r.refused = "Restart refused: the configuration file fails the start-up checks: ";
    r.path = zelpath.Data();
    for (char** a = argv; *a != nullptr; ++a) r.argv.push_back(*a);
    r.argv.push_back(nullptr);
    return r;
}

TReplacement UpgradeReplacement(const String& script, char** argv) {
    TReplacement r;
    r.announce = "Upgrade request received. Executing..\n";
    r.failure = "Error: cannot start upgrading script\n";
    r.refused = "Upgrade refused: the configuration file fails the start-up checks: ";
    r.path = "/bin/sh";
    r.argv.push_back(const_cast<char*>("/bin/sh"));
    r.argv.push_back(const_cast<char*>(script.Data()));
    for (char** a = argv + 1; *a != nullptr; ++a) r.argv.push_back(*a);
    r.argv.push_back(nullptr);
    return r;
}

bool NewProcessSettingsPass(char** argv, const TFd& listener, String& err) {
    int argc = 0;
    while (argv[argc] != nullptr) ++argc;
    TCommandLine cmd;
    std::string cmdError;
    if (!ParseCommandLine(argc, argv, cmd, cmdError)) {
        err = cmdError.c_str();
        return false;
    }
    String reasons;
    TZELSettings next;
    if (CheckStartupSettings(String(cmd.cfgfile.c_str()), cmd.port, next, reasons)) {
        // Within what this process may do: the new image cannot become
        // another user, nor bind a port below 1024 other than the one whose
        // listener it takes over (the same port on the same address).
        TUserIds ids;
        String why;
        if (!next.user.IsEmpty() && !ResolveUser(next.user, ids, why)) {
            err = String("Cannot serve as user ") + next.user + ": " + why;
            return false;
        }
        if (!next.user.IsEmpty() && UserSwitchNeeded(ids) == TUserSwitch::Impossible) {
            err = String("Cannot serve as user ") + next.user + ": " + ServingIdentity().c_str() +
                  " cannot become another user";
            return false;
        }
        const auto current = ZELSettings.Get();
        const bool hostChanged = ServingAsUser() && next.host != current->host;
        const bool keepsListener =
            ServingAsUser() ? ListenerBoundTo(listener, next.host, next.port) : next.port == current->port;
        if (!keepsListener && !MayBindPort(next.port)) {
            err = String("Port ") + std::to_string(next.port).c_str() +
                  (hostChanged ? String(" on ") + (next.host.IsEmpty() ? String("every address") : next.host)
                               : String("")) +
                  ": " + ServingIdentity().c_str() + " may not bind a port below " +
                  std::to_string(FirstUnprivilegedPort()).c_str();
            return false;
        }
        return true;
    }
    // One log line: the reasons ("  ...!" lines) joined by blanks.
    std::string line;
    std::string_view rest = reasons.View();
    while (!rest.empty()) {
        const size_t lf = rest.find('\n');
        std::string_view reason = rest.substr(0, lf);
        rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
        while (!reason.empty() && reason.front() == ' ') reason.remove_prefix(1);
        if (reason.empty()) continue;
        if (!line.empty()) line += ' ';
        line += reason;
    }
    err = line.c_str();
    return false;
}

void ReplaceProcess(const TReplacement& r, TPidFile& pidfile, char** envp, int handOver) {
    WaitForSessions();
    pidfile.Close();
    if (handOver >= 0) fcntl(handOver, F_SETFD, 0);
    execve(r.path, r.argv.data(), envp);
    if (handOver >= 0) fcntl(handOver, F_SETFD, FD_CLOEXEC);
    showmessage("%s", LOCAL, MSG_AUDIT, 1, r.failure);
}
