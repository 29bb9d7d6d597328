// zelq: sends one request to a zel agent and prints its reply.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/twofish.h"
#include "foundation/io.h"
#include "protocol/client.h"
#include "zelq/exchange.h"
#include "zelq/fleet.h"
#include "zelq/help.h"
#include "zelq/judge.h"
#include "zelq/options.h"
#include "zelq/output.h"
#include "zelq/params.h"
#include "zelq/plugin.h"
#include "zelq/setting_names.h"
#include "zelq/show.h"
#include "zelq/upgrade.h"
#include "zelq/usage.h"

namespace {

int UsageError(const std::string& why) {
    Print(stderr, "zelq: " + why + "\n" + ZelqUsageText() + "Try 'zelq --help' for more.\n");
    return kExitUsage;
}

// Blanks the -P value in argv so that it does not stay in the process list.
void HidePassword(int argc, char** argv, const TZelqOptions& opts) {
    const int index = opts.passwordArgIndex + 1;  // argv[0] is the program
    if (opts.passwordArgIndex < 0 || index >= argc) return;
    char* arg = argv[index];
    const size_t len = std::strlen(arg);
    if (opts.passwordArgOffset < len) std::memset(arg + opts.passwordArgOffset, 'x', len - opts.passwordArgOffset);
}

}  // namespace

int main(int argc, char** argv) {
    // One exchange needs no pool of locked memory for the cipher's keys:
    // setting one up (hundreds of mmap/mlock/mprotect calls) costs more
    // than the whole exchange. Before any cipher object exists; an
    // operator's own setting wins.
    setenv("BOTAN_MLOCK_POOL_SIZE", "0", 0);
    // A client's few exchanges need the cipher's short self-check only;
    // the agent runs the whole set before it serves anyone.
    Twofish_initialise_quick();
    std::vector<std::string> args(argv + 1, argv + argc);
    TZelqOptions opts;
    std::string err;
    const bool parsed = ParseZelqArgs(args, opts, err);
    HidePassword(argc, argv, opts);
    // In plugin mode every failure is one status line and UNKNOWN (3).
    const bool plugin = opts.plugin || std::find(args.begin(), args.end(), "--plugin") != args.end();
    auto fail = [&](const std::string& why) {
        if (!plugin) return UsageError(why);
        Print(stdout, PluginUsageError(opts, why).line + "\n");
        return static_cast<int>(TPluginStatus::Unknown);
    };
    if (!parsed) return fail(err);
    if (opts.help) {
        Print(stdout, ZelqHelpText());
        return kExitSuccess;
    }
    if (opts.version) {
        Print(stdout, ZelqVersionText());
        return kExitSuccess;
    }

    // "zelq help [COMMAND]": the command reference, no agent asked.
    if (opts.command == "help" && !plugin && !IsFleet(opts)) {
        if (opts.params.empty()) {
            Print(stdout, CommandListText());
            return kExitSuccess;
        }
        std::string text;
        if (opts.params.size() > 1)
            return UsageError("help takes one command word ('zelq help' lists the commands)");
        if (!CommandHelpText(opts.params[0], text))
            return UsageError("no command " + opts.params[0] + " ('zelq help' lists the commands)");
        Print(stdout, text);
        return kExitSuccess;
    }
    // The agent skips names it does not know (its log names them, its reply
    // does not): say so here, with the closest known name.
    if (opts.command == "SetSettings")
        for (const std::string& warning : UnknownSettingWarnings(opts.params, opts.literal))
            Print(stderr, warning + "\n");

    String password;
    if (!ResolvePassword(opts, std::getenv("ZEL_PASSWORD"), password, err)) return fail(err);
    if (!opts.upgradeFile.empty()) return RunUpgrade(opts, password);
    if (plugin) return RunPlugin(opts, password, STDIN_FILENO);
    std::vector<TZelqTarget> fleet;
    if (IsFleet(opts) && !LoadFleetTargets(opts, STDIN_FILENO, fleet, err)) return UsageError(err);
    String requestText;
    if (!BuildZelqRequest(opts, STDIN_FILENO, requestText, err)) return UsageError(err);
    if (IsFleet(opts)) return RunFleet(opts, fleet, password, requestText);
    String sessionKey;
    if (!NewSessionKey(sessionKey, err)) return Complain(kExitNoConnect, err);
    const String packet = BuildRequestPacket(password, sessionKey, requestText);
    if (packet.IsEmpty()) return UsageError("the request is too large for one packet");

    TExchangeResult ex = ExchangeRequest(opts.host, opts.port, opts.timeoutMs, packet);
    return ShowExchange(ex, sessionKey, opts, kNoReplyRefused);
}
