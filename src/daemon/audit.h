// The audit trail: what the agent refused and what happened to the agent
// itself, written whatever the verbose flags say.
//
// Refusals (kind MSG_REFUSAL) and lifecycle events (kind MSG_AUDIT) reach
// the failure log when logfails is on (the default), the console in
// interactive mode, the verbose log in verbose mode and, in daemon mode,
// the system log (OpenSystemLog). Served requests go to the success log
// (kind MSG_SUCCESS, when logsuccess is on). No line carries a request
// parameter or a password.
//
// Refusals are rate-limited per client address and reason (an IPv6 client
// per /64 network, so that a host cannot write a line for every address of
// its prefix): the first is
// shown, then at most one per interval with the number left out since
// ("(N more not shown)"); ReportLeftOutRefusals writes what is still left
// out before the process stops or is replaced. The table of addresses is
// bounded (kRefusalTableSize): when it is full of addresses refused within
// the interval, a refusal from yet another address is counted under its
// reason alone, so a flood from many addresses costs no more memory.
//
// Every function here is thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "config/settings.h"
#include "foundation/qdstring.h"
#include "net/address.h"

// Why a connection or a request was refused.
enum class TRefusal : int {
    BadRequest,  // a wrong password or an invalid packet: no reply
    Filtered,    // the address is not admitted by the connection filter
    SessionCap,  // too many sessions (from that address or in all)
    Gate,        // the settings do not allow the command: "600"
};
inline constexpr int kRefusalReasons = 4;

// The texts of the refusal lines (the gate's line is formed from the
// command word and the refusal text: "Request \"WORD\" refused: TEXT (600)").
inline constexpr const char* kRefusedBadRequest = "Request refused: wrong password or invalid packet";
inline constexpr const char* kRefusedFiltered = "TCP connection rejected";
inline constexpr const char* kRefusedSessionCap = "TCP connection refused: too many sessions";

// Addresses and reasons the limiter keeps apart.
inline constexpr size_t kRefusalTableSize = 1024;
// The default interval between two lines of one address and reason.
inline constexpr std::chrono::milliseconds kRefusalInterval{5000};

// The per-address-and-reason limiter behind AuditRefusal, a class of its own
// for tests. The clock is the one of TRepeatedMessage
// (SetRepeatedMessageClock). Thread-safe.
class TRefusalLimiter {
public:
    explicit TRefusalLimiter(size_t capacity = kRefusalTableSize,
                             std::chrono::milliseconds interval = kRefusalInterval);

    // Counts one refusal of `client` (an IPv6 client as its /64 network)
    // for `reason`; `detail` tells apart
    // refusals of one reason (the command row of a gate), null when none;
    // `text` is kept for TakeLeftOut.
    // True when it is to be shown now, with `skipped` the number left out
    // since the last one shown for the same key (or, for a refusal counted
    // under its reason alone, for the reason); false when it is left out.
    bool Pass(const TNetAddress& client, TRefusal reason, const void* detail, const String& text, int& skipped);

    // What is left out and not yet reported, one entry per key; the counts
    // are cleared. `client` is the key's address (the /64 network for IPv6
    // clients), none for the refusals counted under the reason alone.
    struct TLeftOut {
        TNetAddress client;
        TRefusal reason;
        const void* detail;
        String text;  // the text of the key's latest refusal
        int count;
    };
    std::vector<TLeftOut> TakeLeftOut();

    void SetInterval(std::chrono::milliseconds interval);
    // Keys held (at most the capacity), for tests.
    size_t Size() const;

private:
    struct TKey {
        TNetAddress address;
        int reason;
        const void* detail;
        bool operator==(const TKey&) const = default;
    };
    struct TEntry {
        TKey key;
        bool used = false;
        std::chrono::steady_clock::time_point last{};
        int skipped = 0;
        String text;
    };
    TEntry* Find(const TKey& key, std::chrono::steady_clock::time_point now);
    bool PassEntry(TEntry& e, std::chrono::steady_clock::time_point now, int& skipped);

    mutable std::mutex mutex_;
    std::vector<TEntry> entries_;                 // guarded by mutex_; fixed size
    TEntry overflow_[kRefusalReasons];            // guarded by mutex_
    std::chrono::steady_clock::duration interval_;  // guarded by mutex_
};

// Records one refusal of `client`: `text` is the line without its end; a
// line is written unless the limiter leaves it out (see above). `detail`
// as for TRefusalLimiter::Pass.
void AuditRefusal(TRefusal reason, const TNetAddress& client, const String& text, const void* detail = nullptr);

// Writes one line for each address and reason whose refusals were left out
// since their last line ("TEXT: N more not shown"). Called before a stop,
// a restart or an upgrade.
void ReportLeftOutRefusals();

// The interval of AuditRefusal's limiter; for the hidden environment
// variable ZEL_AUDIT_INTERVAL_MS (tests) and unit tests.
void SetRefusalInterval(std::chrono::milliseconds interval);
// Milliseconds from that variable's text, or the default interval when it
// is absent or not a number of at most 9 digits.
std::chrono::milliseconds RefusalIntervalFrom(const char* text);

// Opens the system log (identity "zel", with the pid, facility daemon) and
// sends the audit kinds there from now on. Daemon mode; called once, on the
// main thread, before other threads start.
void OpenSystemLog();

// The remote names of the settings whose values differ between `before`
// and `after`, in the order of the settings table, separated by ", "
// ("" when none differs). Names only: never a value.
String ChangedSettingNames(const TZELSettings& before, const TZELSettings& after);
