#include "zelq/plugin.h"

#include <cstdio>
#include <cstdlib>

#include "protocol/client.h"
#include "zelq/exchange.h"
#include "zelq/judge.h"
#include "zelq/params.h"
#include "zelq/state.h"

namespace {

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
    // -t bounds the whole run, all its exchanges together: a long backlog
    // is worked off over several runs, each within the monitoring system's
    // patience.
    const TDeadline runEnd = TDeadline::AfterMs(opts.timeoutMs);
    const TTextLogScan scan = ScanTextLog(
        opts, user, state,
        [&](const String& request) {
            return AskAgent(opts.host, opts.port, opts.timeoutMs, password, request, runEnd);
        },
        [&] { return runEnd.Passed(); });
    if (scan.ended) return scan.verdict;
    if (!SaveTextLogState(path, key, scan.state, err)) return PluginUsageError(opts, err);
    return JudgeTextLog(opts, scan.matches, scan.lastLine, scan.state, firstScan, scan.more, note);
}

}  // namespace

TTextLogScan ScanTextLog(const TZelqOptions& opts, const TStrList& user, const TTextLogState& from,
                         const std::function<TAskResult(const String& requestText)>& ask,
                         const std::function<bool()>& timeUp) {
    const bool log2 = CommandProfile(opts.command).kind == TValueKind::Alarm;
    TTextLogScan scan;
    scan.state = from;
    for (int round = 0; round < kMaxTextLogRounds; ++round) {
        if (round > 0 && timeUp()) break;  // more is true: the next run goes on
        const TAskResult reply =
            ask(BuildRequestText(String(std::string_view(opts.command)), TextLogParams(user, log2, scan.state)));
        ++scan.exchanges;
        if (reply.outcome != TExchangeOutcome::Reply) {
            // An exchange after the first began with less than -t left: its
            // time-out is the run's. What the exchanges before it found is
            // reported and kept; the next run goes on from there.
            if (round > 0 && reply.timedOut) break;
            scan.ended = true;
            scan.verdict = JudgeNoReply(opts, reply);
            return scan;
        }
        TTextLogStep step;
        if (!ReadTextLogReply(opts, SplitReply(reply.text), scan.state, step, scan.verdict)) {
            scan.ended = true;
            return scan;
        }
        if (step.matched) {
            ++scan.matches;
            scan.lastLine = step.next.line;
        }
        scan.state = step.next;
        scan.more = step.more;
        if (!scan.more) break;
    }
    return scan;
}

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
