#include "net/exchange.h"

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <string_view>
#include <utility>
#include <vector>

#include "foundation/io.h"
#include "net/resolve.h"
#include "net/sockets.h"
#include "net/sockutil.h"

namespace {

bool Failed(TNetFailure kind, const String& text, TNetFailure& failure, String& err) {
    failure = kind;
    err = text;
    return false;
}

// One receive of at most len bytes once fd is readable within timeoutMs
// (below 0: a time-out at once): true with the count (0 when the peer
// closed; a datagram is taken from any sender), false with Timeout
// ("Timeout") or Receive (the system's text).
bool ReceiveOnce(int fd, char* buf, int len, int timeoutMs, int& received, TNetFailure& failure, String& err) {
    if (timeoutMs < 0) return Failed(TNetFailure::Timeout, "Timeout", failure, err);
    String why;
    if (!WaitReady(fd, POLLIN, TDeadline::AfterMs(timeoutMs), why))
        return Failed(TNetFailure::Timeout, "Timeout", failure, err);
    for (;;) {
        ssize_t n = ::recv(fd, buf, static_cast<size_t>(len), MSG_DONTWAIT);
        if (n >= 0) {
            received = static_cast<int>(n);
            return true;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Failed(TNetFailure::Timeout, "Timeout", failure, err);
        return Failed(TNetFailure::Receive, ErrnoText(errno), failure, err);
    }
}

// Sends the sendLen bytes of buf (nothing when sendLen <= 0) to addr as one
// datagram. false with Send and the system's text.
bool SendDatagram(int fd, const TSockAddr& addr, const char* buf, int sendLen, TNetFailure& failure, String& err) {
    if (sendLen <= 0 || buf == nullptr) return true;
    for (;;) {
        ssize_t n = ::sendto(fd, buf, static_cast<size_t>(sendLen), MSG_NOSIGNAL, addr.Get(), addr.len);
        if (n >= 0) return true;
        if (errno == EINTR) continue;
        return Failed(TNetFailure::Send, ErrnoText(errno), failure, err);
    }
}

}  // namespace

void CloseAfterSending(TFd& fd, int drainMs) {
    if (!fd.Valid()) return;
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd.Get(), SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM &&
        ::shutdown(fd.Get(), SHUT_WR) == 0) {
        const TDeadline deadline = TDeadline::AfterMs(drainMs);
        char buf[4096];
        String ignored;
        for (;;) {
            ssize_t n = ::recv(fd.Get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0) break;  // the peer closed too
            if (n > 0) continue;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) break;
            if (deadline.Passed() || !WaitReady(fd.Get(), POLLIN, deadline, ignored)) break;
        }
    }
    fd.Reset();
}

bool SendReceiveTCPPacket(const char* host, int port, int timeoutMs, const char* sendBuf, char* recvBuf,
                          int sendLen, int recvLen, int& received, TNetFailure& failure, String& err) {
    err = "";
    received = 0;
    failure = TNetFailure::None;
    if (timeoutMs < 0) {
        // A negative time-out can bound nothing: the address is still
        // checked, but no connection is attempted.
        std::vector<TSockAddr> addrs;
        if (!ResolveHostAddrs(host, port, SOCK_STREAM, addrs, failure, err)) return false;
        return Failed(TNetFailure::Connect, ErrnoText(EINVAL), failure, err);
    }
    // One deadline for the connection, the send and the answer together.
    const TDeadline deadline = TDeadline::AfterMs(timeoutMs);
    TFd sock;
    if (!PerformConnect(host, port, timeoutMs, sock, failure, err)) return false;

    if (sendLen > 0 && sendBuf != nullptr) {
        if (!SendAll(sock.Get(), std::string_view(sendBuf, static_cast<size_t>(sendLen)), deadline, err)) {
            // A send that fails with ETIMEDOUT of its own before the bound
            // is a send failure, not the bound passing.
            if (errno == ETIMEDOUT && deadline.Passed()) return Failed(TNetFailure::Timeout, "Timeout", failure, err);
            return Failed(TNetFailure::Send, err, failure, err);
        }
    }
    if (recvLen <= 0 || recvBuf == nullptr) return true;
    // Without a bound (0) the connection had none either: the wait is as
    // before, nothing; otherwise what is left of the deadline.
    const int leftMs = timeoutMs == 0 ? 0 : deadline.PollMs();
    return ReceiveOnce(sock.Get(), recvBuf, recvLen, leftMs, received, failure, err);
}

bool SendReceiveUDPPacket(const char* host, int port, int timeoutSec, const char* sendBuf, char* recvBuf,
                          int sendLen, int recvLen, int& received, TNetFailure& failure, String& err) {
    err = "";
    received = 0;
    failure = TNetFailure::None;
    std::vector<TSockAddr> addrs;
    if (!ResolveHostAddrs(host, port, SOCK_DGRAM, addrs, failure, err)) return false;
    // The addresses in order: the first one a socket can be made for and
    // the datagram sent to is the one (a family without a route fails at
    // once); the last failure is reported.
    TFd sock;
    for (const TSockAddr& addr : addrs) {
        err = "";
        TFd fd;
        if (!NewSocket(addr.Family(), SOCK_DGRAM, 0, fd, err)) {
            Failed(TNetFailure::Socket, err, failure, err);
            continue;
        }
        if (SendDatagram(fd.Get(), addr, sendBuf, sendLen, failure, err)) {
            sock = std::move(fd);
            break;
        }
    }
    if (!sock.Valid()) return false;
    failure = TNetFailure::None;
    err = "";
    if (recvLen > 0 && recvBuf != nullptr) {
        // Whole seconds; the product cannot overflow in 64 bits.
        long long ms = static_cast<long long>(timeoutSec) * 1000;
        if (ms > 0x7fffffff) ms = 0x7fffffff;
        if (!ReceiveOnce(sock.Get(), recvBuf, recvLen, static_cast<int>(ms), received, failure, err)) return false;
    }
    return true;
}
