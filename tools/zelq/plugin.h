// zelq --plugin: one request judged as a check of the monitoring systems
// that run "plugins" (one status line, exit 0 OK, 1 WARNING, 2 CRITICAL,
// 3 UNKNOWN). This is the runner: the exchanges (several for a text log,
// with its state file) and the printing; the judgement is in judge.h.
#pragma once

#include <functional>
#include <string>

#include "foundation/qdstring.h"
#include "zelq/exchange.h"
#include "zelq/judge.h"
#include "zelq/options.h"
#include "zelq/state.h"

// Runs the whole check against the agent: the exchange (several for a
// text log, with its state file), the judgement, the status line printed
// on standard output. Returns the exit status (0-3).
int RunPlugin(const TZelqOptions& opts, const String& password, int stdinFd);

// ----- the exchanges of one text-log run (exposed for tests)

// Exchanges a text-log run makes at most; lines beyond them are reported
// by the next run.
inline constexpr int kMaxTextLogRounds = 100;

struct TTextLogScan {
    bool ended = false;        // a failure ended the check: verdict says how, the state is not kept
    TPluginResult verdict;     // for ended
    TTextLogState state;       // after the last exchange that brought a reply
    int exchanges = 0;         // exchanges made (a failed one included)
    int matches = 0;           // new matching lines, the last in lastLine
    std::string lastLine;
    bool more = false;         // lines are left for the next run
};

// Scans from state `from` with one ask(requestText) per exchange while the
// agent says more follow, at most kMaxTextLogRounds times, and no new
// exchange once timeUp() says the run's time is over. A failed first
// exchange ends the check; a later one that timed out (the run's time ran
// out in it) stops the scan with what the exchanges before it found, to be
// kept; any other failure ends the check. user: the user's parameters.
TTextLogScan ScanTextLog(const TZelqOptions& opts, const TStrList& user, const TTextLogState& from,
                         const std::function<TAskResult(const String& requestText)>& ask,
                         const std::function<bool()>& timeUp);
