// A bounded wait of the tests (included as "common/eventually.h"): a
// condition that another thread or process makes true is polled until it
// holds or the limit passes, never waited for with a fixed sleep.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// Polls probe every 10 ms until it holds, for at most `limit`; returns its
// last answer.
inline bool Eventually(const std::function<bool()>& probe,
                       std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!probe()) {
        if (std::chrono::steady_clock::now() >= end) return probe();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
