#include "checks/net_checks.h"

#include <chrono>
#include <memory>

#include "net/exchange.h"
#include "protocol/params.h"

namespace {

constexpr int kReceiveBuffer = 8192;         // the most a test reads of an answer
constexpr int kDefaultTcpTimeoutMs = 120000;  // a TCP time-out of 0
// The most a UDP test may wait in all its attempts together, in seconds.
constexpr long long kUdpBoundSec = 120;

// Receive sizes above the buffer, and negative ones, read a whole buffer.
int CapReceiveSize(int size) { return size < 0 || size > kReceiveBuffer ? kReceiveBuffer : size; }

using Clock = std::chrono::steady_clock;

int ElapsedMs(Clock::time_point start, Clock::time_point end) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count());
}

// The number a failed exchange is answered with, beside its text.
int FailureCode(TNetFailure failure) {
    switch (failure) {
    case TNetFailure::None:
    case TNetFailure::Timeout:
        return 0;
    case TNetFailure::Resolve:
        return -2;
    case TNetFailure::Socket:
        return -3;
    case TNetFailure::Send:
        return -4;
    case TNetFailure::Receive:
        return -5;
    case TNetFailure::Connect:
        return -6;
    }
    return 0;
}

// An exchange that answered what was asked of it: it ran, and when an
// answer was awaited, at least one byte of it came.
bool Answered(bool ok, int received, int recvSize) { return ok && (recvSize <= 0 || received > 0); }

// "200" with the time taken and the bytes received (escaped), or "301"
// with the exchange's error text and code (an answer awaited that never
// came, the peer having closed or sent an empty datagram: "" and 0).
void ReplyExchange(ZELReply& reply, bool ok, int received, TNetFailure failure, int elapsedMs, const char* buf,
                   int recvSize, const String& err) {
    if (Answered(ok, received, recvSize)) {
        reply.SetResult(TResultCode::Ok);
        reply.AddIntParam(elapsedMs);
        reply.AddStringParam(recvSize > 0 ? String(buf, received) : String(), true);
        return;
    }
    reply.SetResult(TResultCode::NotDone);
    reply.AddStringParam(err);
    reply.AddIntParam(ok ? 0 : FailureCode(failure));
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
    int received = 0;
    TNetFailure failure = TNetFailure::None;
    const bool ok = SendReceiveTCPPacket(HostText(host), port, timeoutMs, data.Data(), buf.get(), data.Length(),
                                         recvSize, received, failure, err);
    const auto end = Clock::now();
    ReplyExchange(reply, ok, received, failure, ElapsedMs(start, end), buf.get(), recvSize, err);
}

// Parameters: 1 host, 2 port, 3 time-out in ms (whole seconds, at least 1),
// 4 attempts (above 0; attempts times the time-out, each at least a
// second, at most 120 s), 5 data (escaped, not empty), 6 receive size.
void ProcessTest_UDP(const VTRequest& params, ZELReply& reply) {
    String host = ParamText(params, 1);
    int port = 0, timeoutMs = 0, attempts = 0, recvSize = 0;
    if (!ParamInt(params, 2, port, reply) || !ParamInt(params, 3, timeoutMs, reply) ||
        !ParamInt(params, 4, attempts, reply))
        return;
    if (attempts <= 0) {
        reply.SetResult(TResultCode::WrongParams, kWrongParameter);
        return;
    }
    if (!ParamInt(params, 6, recvSize, reply)) return;
    String data = ParamDecoded(params, 5, false);
    if (data.IsEmpty()) {
        reply.SetResult(TResultCode::WrongParams, kWrongParameter);
        return;
    }
    int timeoutSec = timeoutMs / 1000;
    if (timeoutSec == 0) timeoutSec = 1;
    // Every attempt counts for at least a second: attempts and time-out
    // together stay within the bound of probes.
    if (static_cast<long long>(attempts) * (timeoutSec > 1 ? timeoutSec : 1) > kUdpBoundSec) {
        reply.SetResult(TResultCode::WrongParams, kWrongParameter);
        return;
    }
    recvSize = CapReceiveSize(recvSize);

    auto buf = std::make_unique<char[]>(kReceiveBuffer);
    String err;
    bool ok = false;
    int received = 0, elapsed = 0;
    TNetFailure failure = TNetFailure::None;
    for (int i = 0; i < attempts; ++i) {
        const auto start = Clock::now();
        ok = SendReceiveUDPPacket(HostText(host), port, timeoutSec, data.Data(), buf.get(), data.Length(), recvSize,
                                  received, failure, err);
        elapsed = ElapsedMs(start, Clock::now());
        if (Answered(ok, received, recvSize)) break;
    }
    ReplyExchange(reply, ok, received, failure, elapsed, buf.get(), recvSize, err);
}
