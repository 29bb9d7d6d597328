// The CPU usage of the whole machine, sampled from /proc/stat by one thread
// of the agent once an interval (one second) on the monotonic clock, so a
// request is answered at once with the usage over the last complete
// interval instead of waiting for a measurement of its own.
//
// Usage as cpuusage.sh computes it: busy = user + nice + system + irq +
// softirq + steal, total = busy + idle + iowait, the busy share of the
// total's growth in percent, rounded to one decimal (0 when the total did
// not grow).
//
// Thread-safe: Usage may be called from any number of threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "foundation/qdstring.h"

// The "cpu" line's counters that the usage needs.
struct TCpuTimes {
    uint64_t busy = 0, total = 0;
};
// Reads the first line of a /proc/stat text; false when it is no "cpu" line.
bool ParseCpuTimes(const char* text, TCpuTimes& times);
// The usage in percent between two samples, rounded to one decimal.
double CpuUsagePercent(const TCpuTimes& before, const TCpuTimes& after);

class TCpuSampler {
public:
    // Starts the sampling thread: a first sample now, then one an interval.
    explicit TCpuSampler(const char* statPath = "/proc/stat",
                         std::chrono::milliseconds interval = std::chrono::seconds(1));
    // Stops and joins the thread; no call of Usage may be running.
    ~TCpuSampler();
    TCpuSampler(const TCpuSampler&) = delete;
    TCpuSampler& operator=(const TCpuSampler&) = delete;

    // The usage over the last complete interval; waits for the first interval
    // when none has completed yet. False with err when the last sample could
    // not be read.
    bool Usage(double& percent, String& err);
    // Intervals completed so far (for tests).
    uint64_t Intervals();

private:
    void Run();
    bool Sample(TCpuTimes& times, String& err) const;

    const String path_;
    const std::chrono::milliseconds interval_;
    std::mutex mutex_;
    std::condition_variable cv_;  // a result arrived, or stop
    bool stop_ = false;
    uint64_t intervals_ = 0;  // results so far (under mutex_)
    bool ok_ = false;         // the last result (under mutex_)
    double percent_ = 0;
    String err_;
    std::thread thread_;
};

// The agent's sampler, started by the first call and running until the
// process ends (it is never destroyed, so no request can outlive it). Null
// with err when its thread cannot be started now (the process is out of
// threads); a later call tries again. Thread-safe.
TCpuSampler* AgentCpuSampler(String& err);
