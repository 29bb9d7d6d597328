// zelq with several agents: the same request to every host of a list, at
// most `parallel` exchanges at a time, each with its own session key and
// its own time-out; one output line per host in the list's order, then a
// summary line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/qdstring.h"
#include "zelq/exchange.h"
#include "zelq/options.h"

struct TFleetResult {
    TAskResult ask;
    int64_t elapsedMs = 0;  // the exchange's own duration
};

struct TFleetSummary {
    int hosts = 0;
    int answered = 0;   // a reply arrived (whatever its code)
    int failed = 0;     // no connection, or no reply
    int timedOut = 0;   // the connect or the reply took longer than the time-out
    int64_t wallMs = 0;    // the whole run
    int64_t serialMs = 0;  // the sum of the exchanges' durations
};

// Runs ask(i) for every i in [0, count) on at most `parallel` threads.
// done(i, result) is called on the calling thread for each finished i, in
// order of i, as soon as it and every i before it are finished; the result
// is dropped when done returns. tick(finished) is called on the calling
// thread now and then (for a progress display). ask must be thread-safe.
// Memory stays bounded by the parallelism: ask(i) starts only once done
// has returned for every index below i - 2 * threads, so at most
// 2 * threads results wait, whatever the count and however slow one host.
void RunInParallel(size_t count, int parallel, const std::function<TFleetResult(size_t)>& ask,
                   const std::function<void(size_t, const TFleetResult&)>& done,
                   const std::function<void(size_t)>& tick);

// One output line for a host, line end included. Text: host:port, a tab,
// the result code (or "timeout", "noreply", "error"), then a tab before
// each value line as received (escaped; control characters as \xNN) or
// before the reason of a failure. Json: {"host", "port"} followed by the
// members of a single reply's JSON (JsonReplyMembers of `command`), or
// {"host", "port", "failure", "error"}. valueIndex > 0 keeps only that
// value line.
std::string FleetLine(const TZelqTarget& target, const TAskResult& ask, int valueIndex, bool json,
                      const std::string& command);

// "# N hosts: A answered, F failed, T timed out (W s; S s one after another)"
// or {"summary": {...}}, line end included.
std::string FleetSummaryLine(const TFleetSummary& s, bool json);

// zelq's exit status for one host (as for a single request).
int FleetHostStatus(const TAskResult& ask);

// Reads --hosts (a file, or standard input for "-") after the -H entries.
bool LoadFleetTargets(const TZelqOptions& opts, int stdinFd, std::vector<TZelqTarget>& targets, std::string& err);

// Runs the fleet, prints its lines and summary; returns the worst host's
// exit status.
int RunFleet(const TZelqOptions& opts, const std::vector<TZelqTarget>& targets, const String& password,
             const String& requestText);
