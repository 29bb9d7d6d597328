#include "daemon/session_limits.h"

#include <sys/resource.h>

#include <mutex>
#include <unordered_map>

namespace {

// The admitted sessions, in all and by address (network byte order).
std::mutex g_mutex;
int g_total = 0;
std::unordered_map<uint32_t, int> g_byAddress;

}  // namespace

long long CurrentDescriptorLimit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return 0;
    return static_cast<long long>(lim.rlim_cur);
}

TSessionLimits CurrentSessionLimits() { return SessionLimitsFor(CurrentDescriptorLimit()); }

bool AdmitSession(in_addr address, const TSessionLimits& lim) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_total >= lim.total) return false;
    int& from = g_byAddress[address.s_addr];
    if (from >= lim.perAddress) {
        if (from == 0) g_byAddress.erase(address.s_addr);
        return false;
    }
    ++from;
    ++g_total;
    return true;
}

void ReleaseSession(in_addr address) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_byAddress.find(address.s_addr);
    if (it == g_byAddress.end()) return;
    --g_total;
    if (--it->second <= 0) g_byAddress.erase(it);
}

int AdmittedSessions() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_total;
}

int AdmittedSessionsFrom(in_addr address) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_byAddress.find(address.s_addr);
    return it == g_byAddress.end() ? 0 : it->second;
}
