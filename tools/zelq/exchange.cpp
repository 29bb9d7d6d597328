#include "zelq/exchange.h"

#include <errno.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <cstdio>
#include <memory>

#include "foundation/fd.h"
#include "foundation/io.h"
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

}  // namespace

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

TExchangeResult ExchangeOpen(const std::string& host, int port, int timeoutMs, const String& packet, TFd& conn) {
    const std::string where = host + ":" + std::to_string(port);
    TNetFailure failure = TNetFailure::None;
    String err;
    if (!PerformConnect(host.c_str(), port, timeoutMs, conn, failure, err)) {
        if (failure == TNetFailure::Timeout)
            return Fail(TExchangeOutcome::Failed,
                        "cannot connect to " + where + ": timed out after " + Seconds(timeoutMs), true);
        return Fail(TExchangeOutcome::Failed, "cannot connect to " + where + ": " + err.Std());
    }
    // The socket is non-blocking from here on.
    TExchangeResult sent = SendPart(conn.Get(), where, timeoutMs, packet.View(), "request");
    if (sent.outcome != TExchangeOutcome::Reply) return sent;
    return ReadReply(conn.Get(), where, timeoutMs);
}

TExchangeResult ExchangeMore(TFd& conn, const std::string& where, int timeoutMs, std::string_view data) {
    TExchangeResult sent = SendPart(conn.Get(), where, timeoutMs, data, "data");
    if (sent.outcome != TExchangeOutcome::Reply) return sent;
    return ReadReply(conn.Get(), where, timeoutMs);
}

TExchangeResult ExchangeRequest(const std::string& host, int port, int timeoutMs, const String& packet) {
    TFd conn;
    return ExchangeOpen(host, port, timeoutMs, packet, conn);
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
                    const String& requestText) {
    TAskResult r;
    String sessionKey;
    if (!NewSessionKey(sessionKey, r.error)) return r;
    const String packet = BuildRequestPacket(password, sessionKey, requestText);
    if (packet.IsEmpty()) {
        r.error = "the request is too large for one packet";
        return r;
    }
    TExchangeResult ex = ExchangeRequest(host, port, timeoutMs, packet);
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
