#include "protocol/trace.h"

#include <atomic>

namespace {
std::atomic<TTraceFn> g_trace{nullptr};
}

void SetProtocolTrace(TTraceFn fn) { g_trace.store(fn, std::memory_order_release); }

void ProtocolTrace(const TNetAddress& client, const char* format, int value) {
    TTraceFn fn = g_trace.load(std::memory_order_acquire);
    if (fn != nullptr) fn(client, format, value);
}
