#include "daemon/session_limits.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace {

// The key under which a client's sessions are weighed against other
// clients': an IPv4 address, or the /64 of an IPv6 one.
TNetAddress Holder(const TNetAddress& address) { return address.Prefix64(); }

// A session admitted with its socket.
struct TEntry {
    TNetAddress address;
    uint64_t order;  // admission order
    bool proven;
};

// A holder with waiting sessions, ranked for a take-over: the holder with
// the most waiting sessions first, among equals the one whose oldest waits
// longest.
struct TRank {
    size_t waiting;
    uint64_t oldest;
    TNetAddress holder;
    bool operator<(const TRank& o) const {
        if (waiting != o.waiting) return waiting > o.waiting;
        if (oldest != o.oldest) return oldest < o.oldest;
        return holder < o.holder;
    }
};

using TCounts = std::unordered_map<TNetAddress, int, TNetAddressHash>;

// The admitted sessions, in all, by address and by the /64 of IPv6
// addresses; those admitted with a socket by socket, and the waiting ones by
// holder and age.
std::mutex limits_mutex;
int g_total = 0;
TCounts g_byAddress;
TCounts g_byPrefix;  // IPv6 only
std::unordered_map<int, TEntry> g_bySocket;
std::unordered_map<TNetAddress, std::map<uint64_t, int>, TNetAddressHash> g_waiting;  // holder -> order -> socket
std::set<TRank> g_ranks;
int g_waitingCount = 0;
// Sockets of sessions whose slot was taken over and that have not yet been
// released: their descriptors are still open.
std::unordered_set<int> g_draining;
uint64_t g_order = 0;

int CountOf(const TCounts& counts, const TNetAddress& key) {
    auto it = counts.find(key);
    return it == counts.end() ? 0 : it->second;
}

// The sessions of the client's holder: its address, or its /64.
// limits_mutex held.
int HolderSessions(const TNetAddress& address) {
    return address.IsV6() ? CountOf(g_byPrefix, Holder(address)) : CountOf(g_byAddress, address);
}

// Takes `holder` out of the ranking, or puts it back after a change.
// limits_mutex held.
void Unrank(const TNetAddress& holder) {
    auto it = g_waiting.find(holder);
    if (it != g_waiting.end() && !it->second.empty())
        g_ranks.erase(TRank{it->second.size(), it->second.begin()->first, holder});
}
void Rank(const TNetAddress& holder) {
    auto it = g_waiting.find(holder);
    if (it == g_waiting.end()) return;
    if (it->second.empty()) g_waiting.erase(it);
    else g_ranks.insert(TRank{it->second.size(), it->second.begin()->first, holder});
}

// A session starts or stops waiting for its proof. limits_mutex held.
void AddWaiting(const TEntry& e, int socket) {
    const TNetAddress holder = Holder(e.address);
    Unrank(holder);
    g_waiting[holder][e.order] = socket;
    ++g_waitingCount;
    Rank(holder);
}
void RemoveWaiting(const TEntry& e) {
    const TNetAddress holder = Holder(e.address);
    auto it = g_waiting.find(holder);
    if (it == g_waiting.end()) return;
    Unrank(holder);
    g_waitingCount -= static_cast<int>(it->second.erase(e.order));
    Rank(holder);
}

void Decrement(TCounts& counts, const TNetAddress& key) {
    auto it = counts.find(key);
    if (it != counts.end() && --it->second <= 0) counts.erase(it);
}

// Uncounts one session of `address`. limits_mutex held.
void Uncount(const TNetAddress& address) {
    if (g_byAddress.find(address) == g_byAddress.end()) return;
    --g_total;
    Decrement(g_byAddress, address);
    if (address.IsV6()) Decrement(g_byPrefix, Holder(address));
}

// Forgets the registered session on `socket`. limits_mutex held.
void Forget(std::unordered_map<int, TEntry>::iterator it) {
    if (!it->second.proven) RemoveWaiting(it->second);
    Uncount(it->second.address);
    g_bySocket.erase(it);
}

// Frees the slot of a waiting session and shuts its connection down, which
// ends the session: the oldest waiting session of the holder that has the
// most of them, so that the one waiting session of a server that knows the
// password is the last to go; and only when that holder has more waiting
// sessions than the newcomer's holder has sessions, so that clients that
// share the slots evenly stop taking them from each other. False when no
// session qualifies. limits_mutex held:
// the session cannot close its socket meanwhile, as it releases it first.
bool TakeOverWaiting(int newcomerSessions) {
    if (g_ranks.empty() || g_ranks.begin()->waiting <= static_cast<size_t>(newcomerSessions)) return false;
    const int socket = g_waiting[g_ranks.begin()->holder].begin()->second;
    auto it = g_bySocket.find(socket);
    if (it == g_bySocket.end()) return false;  // cannot happen: both change together
    Forget(it);
    g_draining.insert(socket);
    shutdown(socket, SHUT_RDWR);
    return true;
}

}  // namespace

long long CurrentDescriptorLimit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return 0;
    return static_cast<long long>(lim.rlim_cur);
}

TSessionLimits CurrentSessionLimits() { return SessionLimitsFor(CurrentDescriptorLimit()); }

bool AdmitSession(const TNetAddress& address, const TSessionLimits& lim, int socket) {
    std::lock_guard<std::mutex> lock(limits_mutex);
    if (CountOf(g_byAddress, address) >= lim.perAddress) return false;
    const int from = HolderSessions(address);
    if (from >= lim.perAddress) return false;
    // One slot is taken over, and only at the cap: above it (the limit was
    // lowered meanwhile) the sessions are left to end by themselves.
    if (g_total >= lim.total && (g_total > lim.total || socket < 0 || !TakeOverWaiting(from))) return false;
    ++g_byAddress[address];
    if (address.IsV6()) ++g_byPrefix[Holder(address)];
    ++g_total;
    if (socket >= 0) {
        g_draining.erase(socket);  // a number closed before its release, taken again
        // A socket closed before its release: that session stays counted
        // until released by its address, but can no longer be taken over.
        if (auto old = g_bySocket.find(socket); old != g_bySocket.end()) {
            if (!old->second.proven) RemoveWaiting(old->second);
            g_bySocket.erase(old);
        }
        const uint64_t order = ++g_order;
        const TEntry entry{address, order, false};
        g_bySocket[socket] = entry;
        AddWaiting(entry, socket);
    }
    return true;
}

bool MarkSessionProven(int socket) {
    std::lock_guard<std::mutex> lock(limits_mutex);
    if (g_draining.count(socket) != 0) return false;  // taken over just before
    auto it = g_bySocket.find(socket);
    if (it == g_bySocket.end() || it->second.proven) return true;
    RemoveWaiting(it->second);
    it->second.proven = true;
    return true;
}

void ReleaseSession(const TNetAddress& address, int socket) {
    std::lock_guard<std::mutex> lock(limits_mutex);
    if (socket >= 0) {
        auto it = g_bySocket.find(socket);
        if (it != g_bySocket.end() && it->second.address == address) Forget(it);
        else g_draining.erase(socket);
        return;
    }
    // Without a socket: a session counted without one, or else a
    // registered session of the address.
    int registered = 0;
    auto first = g_bySocket.end();
    for (auto it = g_bySocket.begin(); it != g_bySocket.end(); ++it) {
        if (it->second.address != address) continue;
        ++registered;
        if (first == g_bySocket.end()) first = it;
    }
    auto from = g_byAddress.find(address);
    if (from == g_byAddress.end()) return;
    if (from->second > registered || first == g_bySocket.end()) Uncount(address);
    else Forget(first);
}

int AdmittedSessions() {
    std::lock_guard<std::mutex> lock(limits_mutex);
    return g_total;
}

int AdmittedSessionsFrom(const TNetAddress& address) {
    std::lock_guard<std::mutex> lock(limits_mutex);
    return CountOf(g_byAddress, address);
}

int AdmittedSessionsFromPrefix(const TNetAddress& address) {
    std::lock_guard<std::mutex> lock(limits_mutex);
    return HolderSessions(address);
}

int WaitingSessions() {
    std::lock_guard<std::mutex> lock(limits_mutex);
    return g_waitingCount;
}

int DrainingSessions() {
    std::lock_guard<std::mutex> lock(limits_mutex);
    return static_cast<int>(g_draining.size());
}
