// Requests that sessions leave for the main loop, and the process start time.
//
// Sessions (any worker) and the signal processing set the atomics; the main
// loop (daemon/listener.h) reads and clears Terminate, Reload and Upgrade.
// UpgradeBusy is the self-upgrade slot, changed only under upgrade_mutex
// (daemon/upgrade.h). StartTime is set once at start-up and only read after.
#pragma once

#include <atomic>
#include <ctime>
#include <mutex>

#include "foundation/qdstring.h"

struct TZELFlags {
    std::atomic<int> UpgradeBusy{0};
    std::atomic<int> Terminate{0};
    std::atomic<int> Reload{0};
    std::atomic<int> Upgrade{0};
    String UpgradeScript;  // guarded by thread_mutex
    time_t StartTime = time(nullptr);
};

extern TZELFlags ZELFlags;
// Guards the hand-over of a finished upgrade (UpgradeScript) to the main loop.
extern std::mutex thread_mutex;
