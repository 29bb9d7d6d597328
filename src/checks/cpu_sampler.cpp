#include "checks/cpu_sampler.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>

#include "foundation/fd.h"
#include "foundation/io.h"

bool ParseCpuTimes(const char* text, TCpuTimes& times) {
    if (strncmp(text, "cpu ", 4) != 0) return false;
    // user nice system idle iowait irq softirq steal (older kernels stop early).
    uint64_t v[8] = {};
    const char* p = text + 4;
    int n = 0;
    for (; n < 8; ++n) {
        while (*p == ' ') ++p;
        if (*p < '0' || *p > '9') break;
        char* end = nullptr;
        v[n] = strtoull(p, &end, 10);
        p = end;
    }
    if (n < 4) return false;
    times.busy = v[0] + v[1] + v[2] + v[5] + v[6] + v[7];
    times.total = times.busy + v[3] + v[4];
    return true;
}

double CpuUsagePercent(const TCpuTimes& before, const TCpuTimes& after) {
    if (after.total <= before.total) return 0.0;
    const uint64_t total = after.total - before.total;
    const uint64_t busy = after.busy >= before.busy ? after.busy - before.busy : 0;
    const uint64_t tenths = (busy * 1000 + total / 2) / total;
    // As the script's output is read: single precision.
    return static_cast<double>(static_cast<float>(static_cast<double>(tenths) / 10.0));
}

TCpuSampler::TCpuSampler(const char* statPath, std::chrono::milliseconds interval)
    : path_(statPath), interval_(interval), thread_([this] { Run(); }) {}

TCpuSampler::~TCpuSampler() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

bool TCpuSampler::Sample(TCpuTimes& times, String& err) const {
    TFd fd(open(path_.Data(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        err = String("cannot open ") + path_ + ": " + ErrnoText(errno);
        return false;
    }
    char buf[512];
    ssize_t got;
    do {
        got = read(fd.Get(), buf, sizeof buf - 1);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        err = String("cannot read ") + path_ + ": " + ErrnoText(errno);
        return false;
    }
    buf[got] = '\0';
    if (!ParseCpuTimes(buf, times)) {
        err = String("no cpu line in ") + path_;
        return false;
    }
    return true;
}

void TCpuSampler::Run() {
    using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC
    TCpuTimes last;
    String err;
    bool haveLast = Sample(last, err);
    auto next = Clock::now() + interval_;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (cv_.wait_until(lock, next, [this] { return stop_; })) return;
        lock.unlock();
        TCpuTimes now;
        String sampleErr;
        const bool ok = Sample(now, sampleErr);
        double percent = 0;
        if (ok && haveLast) percent = CpuUsagePercent(last, now);
        if (!ok) err = sampleErr;
        lock.lock();
        ok_ = ok && haveLast;
        percent_ = percent;
        err_ = ok_ ? String() : err;
        ++intervals_;
        cv_.notify_all();
        haveLast = ok;
        if (ok) last = now;
        // One wake-up an interval; after a long stall, the next one from now.
        next += interval_;
        if (const auto t = Clock::now(); next <= t) next = t + interval_;
    }
}

bool TCpuSampler::Usage(double& percent, String& err) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return intervals_ > 0 || stop_; });
    if (!ok_) {
        err = intervals_ > 0 ? err_ : String("stopped");
        return false;
    }
    percent = percent_;
    return true;
}

uint64_t TCpuSampler::Intervals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return intervals_;
}

TCpuSampler* AgentCpuSampler(String& err) {
    static std::mutex start_mutex;
    static TCpuSampler* sampler = nullptr;  // built once, never destroyed
    std::lock_guard<std::mutex> lock(start_mutex);
    if (sampler == nullptr) {
        try {
            sampler = new TCpuSampler();
        } catch (const std::exception& e) {
            err = String("cannot start the CPU sampler: ") + e.what();
            return nullptr;
        }
    }
    return sampler;
}
