#include "zelq/exchange.h"

#include <errno.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "foundation/fd.h"
#include "foundation/io.h"
#include "net/resolve.h"
#include "net/sockets.h"
#include "protocol/client.h"

namespace {

// Replies announcing more than this are not believed.
constexpr int64_t kMaxReplyPacket = 256LL * 1024 * 1024;

bool PeerGone(int err) { return err == EPIPE || err == ECONNRESET; }

TExchangeResult Fail(TExchangeOutcome outcome, std::string error, bool timedOut = false) {
    TExchangeResult r;
    r.outcome = outcome;
    r.error = std::move(error);
    r.timedOut = timedOut;
    return r;
}

std::string Seconds(int ms) {
    char buf[32];
    if (ms % 1000 == 0)
        std::snprintf(buf, sizeof buf, "%d s", ms / 1000);
    else
        std::snprintf(buf, sizeof buf, "%.3g s", ms / 1000.0);
    return buf;
}

// The time a stage may take: timeoutMs, or less when the run ends sooner
// (at least 1 ms, so that a stage past the run's end times out at once).
int StageMs(int timeoutMs, const TDeadline& runEnd) {
    if (!runEnd.IsSet()) return timeoutMs;
    return std::max(1, std::min(timeoutMs, runEnd.PollMs()));
}

std::mutex resolver_mutex;
TZelqResolver g_resolver;  // empty: ResolveHostAddrs

TZelqResolver CurrentResolver() {
    std::lock_guard<std::mutex> lock(resolver_mutex);
    if (g_resolver) return g_resolver;
    return [](const std::string& host, std::vector<TSockAddr>& addrs, std::string& err) {
        String why;
        TNetFailure failure = TNetFailure::None;
        if (ResolveHostAddrs(host.c_str(), 0, SOCK_STREAM, addrs, failure, why)) return true;
        err = why.Std();
        return false;
    };
}

// Look-ups whose threads still run (some may have been given up by their
// callers): a silent resolver cannot pile up threads without bound.
constexpr int kMaxPendingLookups = 64;
std::atomic<int> g_pendingLookups{0};

// What a resolver thread and its caller share; the last of the two to
// let go frees it.
struct TResolution {
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
    bool ok = false;
    std::vector<TSockAddr> addrs;
    std::string err;
};

}  // namespace

void SetZelqResolver(TZelqResolver resolver) {
    std::lock_guard<std::mutex> lock(resolver_mutex);
    g_resolver = std::move(resolver);
}

std::string AgentPlace(const std::string& host, int port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ResolveWithin(const std::string& host, int timeoutMs, std::vector<TSockAddr>& addrs, bool& timedOut,
                   std::string& err) {
    timedOut = false;
    addrs.clear();
    TSockAddr numeric;
    bool bracketed = false;
    if (ParseNumericHost(host.c_str(), numeric, bracketed)) {
        addrs.push_back(numeric);
        return true;
    }
    if (bracketed) {
        err = "\"" + host + "\" is no IPv6 address";
        return false;
    }
    const TZelqResolver resolver = CurrentResolver();
    auto shared = std::make_shared<TResolution>();
    if (g_pendingLookups.fetch_add(1) >= kMaxPendingLookups) {
        g_pendingLookups.fetch_sub(1);
        timedOut = true;
        err = "timed out: " + std::to_string(kMaxPendingLookups) + " name look-ups are still waiting for the resolver";
        return false;
    }
    try {
        std::thread([shared, resolver, host] {
            std::vector<TSockAddr> found;
            std::string why;
            const bool ok = resolver(host, found, why) && !found.empty();
            if (!ok && why.empty()) why = "the name has no address";
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->ok = ok;
            shared->addrs = std::move(found);
            shared->err = why;
            shared->finished = true;
            shared->cv.notify_all();
            g_pendingLookups.fetch_sub(1);
        }).detach();
    } catch (const std::system_error& e) {
        g_pendingLookups.fetch_sub(1);
        err = std::string("cannot start the name look-up: ") + e.what();
        return false;
    }
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (!shared->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return shared->finished; })) {
        timedOut = true;
        err = "timed out after " + Seconds(timeoutMs) + " resolving the name";
        return false;
    }
    if (!shared->ok) {
        err = shared->err;
        return false;
    }
    addrs = shared->addrs;
    return true;
}

namespace {

TExchangeResult SendPart(int fd, const std::string& where, int timeoutMs, std::string_view data, const char* what) {
    String err;
    if (!SendAll(fd, data, TDeadline::AfterMs(timeoutMs), err)) {
        const int e = errno;
        if (e == ETIMEDOUT)
            return Fail(TExchangeOutcome::Failed,
                        "timed out after " + Seconds(timeoutMs) + " sending the " + what + " to " + where, true);
        if (PeerGone(e)) return Fail(TExchangeOutcome::NoReply, err.Std());
        return Fail(TExchangeOutcome::Failed, std::string("cannot send the ") + what + ": " + err.Std());
    }
    TExchangeResult r;
    r.outcome = TExchangeOutcome::Reply;
    return r;
}

// Reads one whole reply packet.
TExchangeResult ReadReply(int fd, const std::string& where, int timeoutMs) {
    const TDeadline deadline = TDeadline::AfterMs(timeoutMs);
    String received;
    String err;
    auto buf = std::make_unique<char[]>(65536);
    while (!ReplyPacketComplete(received)) {
        if (ReplyPacketSize(received) > kMaxReplyPacket)
            return Fail(TExchangeOutcome::NoReply, "the reply announces an implausible size");
        size_t n = 0;
        if (!ReadSome(fd, buf.get(), 65536, n, deadline, err)) {
            const int e = errno;
            if (e == ETIMEDOUT)
                return Fail(TExchangeOutcome::Failed,
                            "timed out after " + Seconds(timeoutMs) + " waiting for the reply from " + where, true);
            if (!PeerGone(e)) return Fail(TExchangeOutcome::Failed, "cannot read the reply: " + err.Std());
        }
        if (n > 0) {
            received.AddData(buf.get(), static_cast<int>(n));
            continue;
        }
        if (received.IsEmpty()) return Fail(TExchangeOutcome::NoReply, "");
        return Fail(TExchangeOutcome::NoReply, "the connection closed in the middle of the reply");
    }
    TExchangeResult r;
    r.outcome = TExchangeOutcome::Reply;
    r.packet = received.Copy(1, static_cast<int>(ReplyPacketSize(received)));
    return r;
}

}  // namespace

namespace {

TExchangeResult OpenWithin(const std::string& host, int port, int timeoutMs, const TDeadline& runEnd,
                           const String& packet, TFd& conn) {
    const std::string where = AgentPlace(host, port);
    // The name and the connect share one time-out.
    const int connectMs = StageMs(timeoutMs, runEnd);
    const TDeadline connectEnd = TDeadline::AfterMs(connectMs);
    std::vector<TSockAddr> addrs;
    bool resolveTimedOut = false;
    std::string why;
    if (!ResolveWithin(host, connectMs, addrs, resolveTimedOut, why))
        return Fail(TExchangeOutcome::Failed, "cannot connect to " + where + ": " + why, resolveTimedOut);
    for (TSockAddr& a : addrs) a.SetPort(port);
    TNetFailure failure = TNetFailure::None;
    String err;
    if (!ConnectFirst(addrs, std::max(1, connectEnd.PollMs()), conn, failure, err)) {
        if (failure == TNetFailure::Timeout)
            return Fail(TExchangeOutcome::Failed,
                        "cannot connect to " + where + ": timed out after " + Seconds(connectMs), true);
        return Fail(TExchangeOutcome::Failed, "cannot connect to " + where + ": " + err.Std());
    }
    // The socket is non-blocking from here on.
    TExchangeResult sent = SendPart(conn.Get(), where, StageMs(timeoutMs, runEnd), packet.View(), "request");
    if (sent.outcome != TExchangeOutcome::Reply) return sent;
    return ReadReply(conn.Get(), where, StageMs(timeoutMs, runEnd));
}

}  // namespace

TExchangeResult ExchangeOpen(const std::string& host, int port, int timeoutMs, const String& packet, TFd& conn) {
    return OpenWithin(host, port, timeoutMs, TDeadline::Never(), packet, conn);
}

TExchangeResult ExchangeMore(TFd& conn, const std::string& where, int timeoutMs, std::string_view data) {
    TExchangeResult sent = SendPart(conn.Get(), where, timeoutMs, data, "data");
    if (sent.outcome != TExchangeOutcome::Reply) return sent;
    return ReadReply(conn.Get(), where, timeoutMs);
}

TExchangeResult ExchangeRequest(const std::string& host, int port, int timeoutMs, const String& packet,
                                const TDeadline& runEnd) {
    TFd conn;
    return OpenWithin(host, port, timeoutMs, runEnd, packet, conn);
}

bool NewSessionKey(String& key, std::string& err) {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = "cannot obtain random bytes: " + ErrnoText(errno).Std();
            return false;
        }
        got += static_cast<size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    key = String();
    for (unsigned char b : bytes) {
        key.AddChar(kHex[b >> 4]);
        key.AddChar(kHex[b & 15]);
    }
    return true;
}

TAskResult AskAgent(const std::string& host, int port, int timeoutMs, const String& password,
                    const String& requestText, const TDeadline& runEnd) {
    TAskResult r;
    String sessionKey;
    if (!NewSessionKey(sessionKey, r.error)) return r;
    const String packet = BuildRequestPacket(password, sessionKey, requestText);
    if (packet.IsEmpty()) {
        r.error = "the request is too large for one packet";
        return r;
    }
    TExchangeResult ex = ExchangeRequest(host, port, timeoutMs, packet, runEnd);
    r.outcome = ex.outcome;
    r.timedOut = ex.timedOut;
    r.error = ex.error;
    if (ex.outcome != TExchangeOutcome::Reply) return r;
    String decodeErr;
    if (!DecodeReplyPacket(ex.packet, sessionKey, r.text, decodeErr)) {
        r.outcome = TExchangeOutcome::NoReply;
        r.error = "invalid reply: " + decodeErr.Std();
        r.text = String();
    }
    return r;
}
