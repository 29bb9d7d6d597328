#include "checks/net_checks.h"

#include <chrono>
#include <memory>

#include "net/exchange.h"
#include "protocol/params.h"

namespace {

constexpr int kReceiveBuffer = 8192;         // the most a test reads of an answer
constexpr int kDefaultTcpTimeoutMs = 120000;  // a TCP time-out of 0

// Receive sizes above the buffer, and negative ones, read a whole buffer.
int CapReceiveSize(int size) { return size < 0 || size > kReceiveBuffer ? kReceiveBuffer : size; }

using Clock = std::chrono::steady_clock;

int ElapsedMs(Clock::time_point start, Clock::time_point end) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count());
}

// "200" with the time taken and the bytes received (escaped), or "301"
// with the exchange's error text and code.
void ReplyExchange(ZELReply& reply, int rc, int elapsedMs, const char* buf, int recvSize, const String& err) {
    if (rc > 0) {
        reply.SetResult(TResultCode::Ok);
        reply.AddIntParam(elapsedMs);
        reply.AddStringParam(recvSize > 0 ? String(buf, rc) : String(), true);
        return;
    }
    reply.SetResult(TResultCode::NotDone);
    reply.AddStringParam(err);
    reply.AddIntParam(rc);
}

}  // namespace

// Parameters: 1 host, 2 port, 3 time-out in ms (0: 120 s), 4 data to send
// (escaped, may be empty), 5 receive size (0: no answer awaited).
void ProcessTest_TCP(const VTRequest& params, ZELReply& reply) {
    String host = ParamText(params, 1);
    int port = 0, timeoutMs = 0, recvSize = 0;
    if (!ParamInt(params, 2, port, reply) || !ParamInt(params, 3, timeoutMs, reply) ||
        !ParamInt(params, 5, recvSize, reply))
        return;
    String data = ParamDecoded(params, 4, false);
    if (timeoutMs == 0) timeoutMs = kDefaultTcpTimeoutMs;
    recvSize = CapReceiveSize(recvSize);

    auto buf = std::make_unique<char[]>(kReceiveBuffer);
    String err;
    const auto start = Clock::now();
    int rc = SendReceiveTCPPacket(HostText(host), port, timeoutMs, data.Data(), buf.get(), data.Length(), recvSize,
                                  err);
    const auto end = Clock::now();
    ReplyExchange(reply, rc, ElapsedMs(start, end), buf.get(), recvSize, err);
}

// Parameters: 1 host, 2 port, 3 time-out in ms (whole seconds, at least 1),
// 4 attempts (above 0), 5 data (escaped, not empty), 6 receive size.
void ProcessTest_UDP(const VTRequest& params, ZELReply& reply) {
    String host = ParamText(params, 1);
    int port = 0, timeoutMs = 0, attempts = 0, recvSize = 0;
    if (!ParamInt(params, 2, port, reply) || !ParamInt(params, 3, timeoutMs, reply) ||
        !ParamInt(params, 4, attempts, reply))
        return;
    if (attempts <= 0) {
        reply.SetResult(TResultCode::WrongParams, WRONG_PARAMETER);
        return;
    }
    if (!ParamInt(params, 6, recvSize, reply)) return;
    String data = ParamDecoded(params, 5, false);
    if (data.IsEmpty()) {
        reply.SetResult(TResultCode::WrongParams, WRONG_PARAMETER);
        return;
    }
    int timeoutSec = timeoutMs / 1000;
    if (timeoutSec == 0) timeoutSec = 1;
    recvSize = CapReceiveSize(recvSize);

    auto buf = std::make_unique<char[]>(kReceiveBuffer);
    String err;
    int rc = 0, elapsed = 0;
    for (int i = 0; i < attempts; ++i) {
        const auto start = Clock::now();
        rc = SendReceiveUDPPacket(HostText(host), port, timeoutSec, data.Data(), buf.get(), data.Length(), recvSize,
                                  err);
        elapsed = ElapsedMs(start, Clock::now());
        if (rc > 0) break;
    }
    ReplyExchange(reply, rc, elapsed, buf.get(), recvSize, err);
}
