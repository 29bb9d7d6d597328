#include "zelq/fleet.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "protocol/codecs.h"
#include "zelq/json.h"
#include "zelq/output.h"
#include "zelq/params.h"

namespace {

// A fleet this large shows its progress on a terminal.
constexpr size_t kProgressFrom = 20;
constexpr size_t kMaxHostList = 16 * 1024 * 1024;

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A field of a text line: control characters (tab included) as \xNN, so
// that a line stays one line and its fields stay apart.
std::string Field(std::string_view s) { return Escaped(s, TEscapeForm::Field); }

std::string HostText(const TZelqTarget& t) { return AgentPlace(t.host, t.port); }

const char* FailureWord(const TAskResult& ask) {
    if (ask.outcome == TExchangeOutcome::NoReply) return "noreply";
    return ask.timedOut ? "timeout" : "error";
}

std::string FailureText(const TAskResult& ask) {
    if (ask.outcome == TExchangeOutcome::NoReply) return NoReplyMessage(kNoReplyRefused, ask.error);
    return ask.error;
}

}  // namespace

void RunInParallel(size_t count, int parallel, const std::function<TFleetResult(size_t)>& ask,
                   const std::function<void(size_t, const TFleetResult&)>& done,
                   const std::function<void(size_t)>& tick) {
    std::mutex mutex;
    std::condition_variable finishedCv;  // the calling thread waits for results
    std::condition_variable roomCv;      // workers wait for room in the window
    std::map<size_t, TFleetResult> ready;  // finished, not yet handed to done
    size_t next = 0;          // the next index to start
    size_t released = 0;      // done has returned for every index below
    size_t finishedCount = 0;
    size_t window = 0;        // set before any worker takes an index

    auto worker = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            roomCv.wait(lock, [&] { return next >= count || next < released + window; });
            if (next >= count) return;
            const size_t i = next++;
            lock.unlock();
            TFleetResult r = ask(i);
            lock.lock();
            ready.emplace(i, std::move(r));
            ++finishedCount;
            finishedCv.notify_one();
        }
    };

    std::vector<std::thread> threads;
    const size_t want = std::min(count, static_cast<size_t>(std::max(parallel, 1)));
    threads.reserve(want);
    {
        std::lock_guard<std::mutex> lock(mutex);  // no worker starts before the window is known
        for (size_t t = 0; t < want; ++t) {
            try {
                threads.emplace_back(worker);
            } catch (const std::system_error&) {
                break;  // the threads already running share the work
            }
        }
        window = 2 * std::max<size_t>(threads.size(), 1);
    }
    if (threads.empty()) {  // no thread at all: one after another here
        for (size_t i = 0; i < count; ++i) {
            done(i, ask(i));
            tick(i + 1);
        }
        return;
    }

    size_t lastTick = static_cast<size_t>(-1);
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (released < count) {
            finishedCv.wait_for(lock, std::chrono::milliseconds(200), [&] { return ready.count(released) != 0; });
            size_t from = released, upTo = released;
            std::vector<TFleetResult> batch;
            for (auto it = ready.find(upTo); it != ready.end(); it = ready.find(upTo)) {
                batch.push_back(std::move(it->second));
                ready.erase(it);
                ++upTo;
            }
            const size_t nowFinished = finishedCount;
            lock.unlock();
            for (TFleetResult& r : batch) {
                done(from++, r);
                r = TFleetResult();  // no reply is kept longer than its line takes
            }
            batch.clear();
            if (nowFinished != lastTick) {
                tick(nowFinished);
                lastTick = nowFinished;
            }
            lock.lock();
            if (upTo != released) {
                released = upTo;
                roomCv.notify_all();
            }
        }
    }
    for (std::thread& t : threads) t.join();
}

std::string FleetLine(const TZelqTarget& target, const TAskResult& ask, int valueIndex, bool json,
                      const std::string& command) {
    std::string out;
    if (ask.outcome != TExchangeOutcome::Reply) {
        if (json)
            return "{\"host\": " + JsonString(target.host) + ", \"port\": " + std::to_string(target.port) +
                   ", \"failure\": \"" + FailureWord(ask) + "\", \"error\": " + JsonString(FailureText(ask)) + "}\n";
        return Field(HostText(target)) + "\t" + FailureWord(ask) + "\t" + Field(FailureText(ask)) + "\n";
    }
    const TReplyLines reply = SplitReply(ask.text);
    if (json)
        return "{\"host\": " + JsonString(target.host) + ", \"port\": " + std::to_string(target.port) + ", " +
               JsonReplyMembers(command, reply, valueIndex) + "}\n";
    std::vector<String> lines = reply.lines;
    if (valueIndex > 0) {
        std::vector<String> one;
        if (static_cast<size_t>(valueIndex) <= lines.size()) one.push_back(lines[static_cast<size_t>(valueIndex) - 1]);
        lines = one;
    }
    out = Field(HostText(target)) + "\t" + Field(reply.code.View());
    for (const String& l : lines) {
        out += '\t';
        out += Field(l.View());
    }
    return out + "\n";
}

std::string FleetSummaryLine(const TFleetSummary& s, bool json) {
    char buf[256];
    if (json) {
        std::snprintf(buf, sizeof buf,
                      "{\"summary\": {\"hosts\": %d, \"answered\": %d, \"failed\": %d, \"timed_out\": %d, "
                      "\"wall_ms\": %lld, \"serial_ms\": %lld}}\n",
                      s.hosts, s.answered, s.failed, s.timedOut, static_cast<long long>(s.wallMs),
                      static_cast<long long>(s.serialMs));
    } else {
        std::snprintf(buf, sizeof buf,
                      "# %d %s: %d answered, %d failed, %d timed out (%.2f s; %.2f s one after another)\n", s.hosts,
                      s.hosts == 1 ? "host" : "hosts", s.answered, s.failed, s.timedOut, s.wallMs / 1000.0,
                      s.serialMs / 1000.0);
    }
    return buf;
}

int FleetHostStatus(const TAskResult& ask) {
    switch (ask.outcome) {
    case TExchangeOutcome::Reply: return ExitStatusForCode(SplitReply(ask.text).code);
    case TExchangeOutcome::NoReply: return kExitNoReply;
    case TExchangeOutcome::Failed: break;
    }
    return kExitNoConnect;
}

bool LoadFleetTargets(const TZelqOptions& opts, int stdinFd, std::vector<TZelqTarget>& targets, std::string& err) {
    targets = opts.targets;
    if (opts.hostsFile.empty()) return true;
    if (opts.hostsFile == "-" && !opts.literal)
        for (const std::string& p : opts.params)
            if (p == "@-") {
                err = "standard input cannot hold both the host list (--hosts -) and a parameter (@-)";
                return false;
            }
    String content;
    if (!ReadParamSource(opts.hostsFile, stdinFd, content, err)) return false;
    if (static_cast<size_t>(content.Length()) > kMaxHostList) {
        err = "the host list is too large";
        return false;
    }
    const std::string where = opts.hostsFile == "-" ? "standard input" : opts.hostsFile;
    std::string why;
    if (!ParseHostList(content.Std(), opts.port, targets, why)) {
        err = "--hosts " + where + ": " + why;
        return false;
    }
    if (targets.empty()) {
        err = "--hosts " + where + " names no host";
        return false;
    }
    return true;
}

int RunFleet(const TZelqOptions& opts, const std::vector<TZelqTarget>& targets, const String& password,
             const String& requestText) {
    const bool json = opts.format == TZelqFormat::Json;
    const bool progress = targets.size() >= kProgressFrom && ::isatty(STDERR_FILENO) == 1;
    const Clock::time_point start = Clock::now();
    TFleetSummary summary;
    summary.hosts = static_cast<int>(targets.size());
    int worst = kExitSuccess;
    bool progressShown = false;

    auto ask = [&](size_t i) {
        const Clock::time_point t0 = Clock::now();
        TFleetResult r;
        r.ask = AskAgent(targets[i].host, targets[i].port, opts.timeoutMs, password, requestText);
        r.elapsedMs = MsSince(t0);
        return r;
    };
    auto clearProgress = [&] {
        if (progressShown) Print(stderr, "\r\033[K");
        progressShown = false;
    };
    auto done = [&](size_t i, const TFleetResult& r) {
        if (r.ask.outcome == TExchangeOutcome::Reply) ++summary.answered;
        else if (r.ask.timedOut) ++summary.timedOut;
        else ++summary.failed;
        summary.serialMs += r.elapsedMs;
        worst = std::max(worst, FleetHostStatus(r.ask));
        clearProgress();
        Print(stdout, FleetLine(targets[i], r.ask, opts.valueIndex, json, opts.command));
    };
    auto tick = [&](size_t finished) {
        if (!progress) return;
        std::fflush(stdout);
        char buf[96];
        std::snprintf(buf, sizeof buf, "\r\033[Kzelq: %zu of %zu hosts done", finished, targets.size());
        Print(stderr, buf);
        progressShown = true;
    };
    RunInParallel(targets.size(), opts.parallel, ask, done, tick);
    clearProgress();
    summary.wallMs = MsSince(start);
    Print(stdout, FleetSummaryLine(summary, json));
    if (std::fflush(stdout) != 0) return kExitNoConnect;
    return worst;
}
