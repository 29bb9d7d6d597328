#include "zelq/plugin.h"

#include <cstdio>
#include <cstdlib>

#include "protocol/client.h"
#include "zelq/exchange.h"
#include "zelq/judge.h"
#include "zelq/params.h"
#include "zelq/state.h"

namespace {

// Exchanges a text-log check makes at most in one run; lines beyond them
// are reported by the next run.
constexpr int kMaxTextLogRounds = 100;

TPluginResult RunTextLog(const TZelqOptions& opts, const String& password, int stdinFd) {
    const bool log2 = CommandProfile(opts.command).kind == TValueKind::Alarm;
    TStrList user;
    std::string err;
    if (!ExpandZelqParams(opts, stdinFd, user, err)) return PluginUsageError(opts, err);
    const int needed = log2 ? 1 : 2;
    if (user.Count() < needed)
        return PluginUsageError(opts, log2 ? "TEST-TextLog2 needs at least the file name"
                                           : "TEST-TextLog needs at least the file name and the search text");
    std::string paramLines;
    for (int i = 0; i < user.Count(); ++i) paramLines += user[i].Std() + "\n";
    const std::string key = TextLogStateKey(opts.host, opts.port, opts.command, paramLines);
    std::string path = opts.stateFile;
    if (path.empty()) {
        std::string folder;
        if (!DefaultStateFolder(std::getenv("XDG_CACHE_HOME"), std::getenv("HOME"), folder, err))
            return PluginUsageError(opts, err);
        path = folder + "/" + TextLogStateFileName(key);
    }
    TTextLogState state;
    std::string note;
    switch (LoadTextLogState(path, key, state, err)) {
    case TStateLoad::Failed: return PluginUsageError(opts, err);
    case TStateLoad::Other:
        state = TTextLogState();
        note = "the state file " + path + " held no state of this check; the scan started afresh";
        break;
    case TStateLoad::Missing:
    case TStateLoad::Loaded: break;
    }

    // Size 0 with a time is a scan that found the log empty, not a first one.
    const bool firstScan = state.size == 0 && state.time == 0;
    int matches = 0;
    std::string lastLine;
    bool more = false;
    for (int round = 0; round < kMaxTextLogRounds; ++round) {
        const String request =
            BuildRequestText(String(std::string_view(opts.command)), TextLogParams(user, log2, state));
        const TAskResult ask = AskAgent(opts.host, opts.port, opts.timeoutMs, password, request);
        if (ask.outcome != TExchangeOutcome::Reply) return JudgeNoReply(opts, ask);
        TTextLogStep step;
        TPluginResult verdict;
        if (!ReadTextLogReply(opts, SplitReply(ask.text), state, step, verdict)) return verdict;
        if (step.matched) {
            ++matches;
            lastLine = step.next.line;
        }
        state = step.next;
        more = step.more;
        if (!more) break;
    }
    if (!SaveTextLogState(path, key, state, err)) return PluginUsageError(opts, err);
    return JudgeTextLog(opts, matches, lastLine, state, firstScan, more, note);
}

}  // namespace

int RunPlugin(const TZelqOptions& opts, const String& password, int stdinFd) {
    const TCommandProfile& profile = CommandProfile(opts.command);
    TPluginResult r;
    if (profile.kind == TValueKind::Matches || profile.kind == TValueKind::Alarm) {
        if (opts.valueIndex > 0)
            r = PluginUsageError(opts, "--value does not apply to text-log checks (they judge the new matching lines)");
        else
            r = RunTextLog(opts, password, stdinFd);
    } else {
        String request;
        std::string err;
        if (!BuildZelqRequest(opts, stdinFd, request, err)) {
            r = PluginUsageError(opts, err);
        } else {
            const TAskResult ask = AskAgent(opts.host, opts.port, opts.timeoutMs, password, request);
            r = ask.outcome == TExchangeOutcome::Reply ? JudgeReply(opts, SplitReply(ask.text)) : JudgeNoReply(opts, ask);
        }
    }
    const std::string out = r.line + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return static_cast<int>(r.status);
}
