#include "zelq/exchange.h"

#include <errno.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "net/fd.h"
#include "net/sockets.h"
#include "net/sockutil.h"
#include "protocol/client.h"

namespace {

using Clock = std::chrono::steady_clock;

// Replies announcing more than this are not believed.
constexpr int64_t kMaxReplyPacket = 256LL * 1024 * 1024;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool PeerGone(int err) { return err == EPIPE || err == ECONNRESET; }

TExchangeResult Fail(TExchangeOutcome outcome, std::string error) {
    TExchangeResult r;
    r.outcome = outcome;
    r.error = std::move(error);
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

TExchangeResult ExchangeRequest(const std::string& host, int port, int timeoutMs, const String& packet) {
    const std::string where = host + ":" + std::to_string(port);
    int sock = -1;
    String err;
    const int rc = PerformConnect(sock, host.c_str(), port, timeoutMs, err);
    TFd fd(sock);
    if (rc == IP_TIMEOUT)
        return Fail(TExchangeOutcome::Failed, "cannot connect to " + where + ": timed out after " + Seconds(timeoutMs));
    if (rc != IP_OK) return Fail(TExchangeOutcome::Failed, "cannot connect to " + where + ": " + err.Std());

    // The socket is non-blocking from here on.
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int sent = 0;
    while (sent < packet.Length()) {
        ssize_t n = ::send(fd.Get(), packet.Data() + sent, static_cast<size_t>(packet.Length() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int ready = WaitReady(fd.Get(), POLLOUT, MsLeft(deadline));
            if (ready == 0)
                return Fail(TExchangeOutcome::Failed,
                            "timed out after " + Seconds(timeoutMs) + " sending the request to " + where);
            if (ready < 0) return Fail(TExchangeOutcome::Failed, std::string("cannot send: ") + std::strerror(errno));
            continue;
        }
        if (n < 0 && PeerGone(errno)) return Fail(TExchangeOutcome::NoReply, std::strerror(errno));
        return Fail(TExchangeOutcome::Failed, std::string("cannot send the request: ") + std::strerror(errno));
    }

    deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    String received;
    char buf[65536];
    while (!ReplyPacketComplete(received)) {
        if (ReplyPacketSize(received) > kMaxReplyPacket)
            return Fail(TExchangeOutcome::NoReply, "the reply announces an implausible size");
        int ready = WaitReady(fd.Get(), POLLIN, MsLeft(deadline));
        if (ready == 0)
            return Fail(TExchangeOutcome::Failed,
                        "timed out after " + Seconds(timeoutMs) + " waiting for the reply from " + where);
        if (ready < 0) return Fail(TExchangeOutcome::Failed, std::string("cannot read: ") + std::strerror(errno));
        ssize_t n = ::recv(fd.Get(), buf, sizeof buf, 0);
        if (n > 0) {
            received.AddData(buf, static_cast<int>(n));
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n == 0 || PeerGone(errno)) {
            if (received.IsEmpty()) return Fail(TExchangeOutcome::NoReply, "");
            return Fail(TExchangeOutcome::NoReply, "the connection closed in the middle of the reply");
        }
        return Fail(TExchangeOutcome::Failed, std::string("cannot read the reply: ") + std::strerror(errno));
    }
    TExchangeResult r;
    r.outcome = TExchangeOutcome::Reply;
    r.packet = received.Copy(1, static_cast<int>(ReplyPacketSize(received)));
    return r;
}

bool NewSessionKey(String& key, std::string& err) {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = std::string("cannot obtain random bytes: ") + std::strerror(errno);
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
