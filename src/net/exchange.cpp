#include "net/exchange.h"

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

#include "net/resolve.h"
#include "net/sockets.h"
#include "net/sockutil.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline (0 when it has passed).
int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

Clock::time_point DeadlineIn(int timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
}

// One receive of at most len bytes once fd is readable within timeoutMs:
// the count (0 when the peer closed; a datagram is taken from any sender),
// 0 with "Timeout", or -5 with the system's text.
int ReceiveOnce(int fd, char* buf, int len, int timeoutMs, String& err) {
    if (timeoutMs < 0 || WaitReady(fd, POLLIN, timeoutMs) != 1) {
        err = "Timeout";
        return IP_TIMEOUT;
    }
    for (;;) {
        ssize_t n = ::recv(fd, buf, static_cast<size_t>(len), MSG_DONTWAIT);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            err = "Timeout";
            return IP_TIMEOUT;
        }
        err = GetErrorStr(errno);
        return IP_ERR_READ;
    }
}

}  // namespace

int SendAll(int fd, const char* data, long long len, int timeoutMs, String& err) {
    err = "";
    if (len < 1 || data == nullptr) return IP_OK;
    const auto deadline = DeadlineIn(timeoutMs);
    long long done = 0;
    while (done < len) {
        ssize_t n = ::send(fd, data + done, static_cast<size_t>(len - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            err = GetErrorStr(errno);
            return IP_ERR_SEND;
        }
        // No room yet: wait for it within what is left of the time-out.
        int left = MsLeft(deadline);
        int ready = left > 0 ? WaitReady(fd, POLLOUT, left) : 0;
        if (ready == 0) {
            err = "Timeout";
            return IP_TIMEOUT;
        }
        if (ready < 0) {
            err = GetErrorStr(errno);
            return IP_ERR_SEND;
        }
    }
    return IP_OK;
}

void CloseAfterSending(TFd& fd, int drainMs) {
    if (!fd.Valid()) return;
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd.Get(), SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM &&
        ::shutdown(fd.Get(), SHUT_WR) == 0) {
        const auto deadline = DeadlineIn(drainMs);
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(fd.Get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0) break;  // the peer closed too
            if (n > 0) continue;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) break;
            int left = MsLeft(deadline);
            if (left == 0 || WaitReady(fd.Get(), POLLIN, left) != 1) break;
        }
    }
    fd.Reset();
}

int SendReceiveTCPPacket(const char* host, int port, int timeoutMs, const char* sendBuf, char* recvBuf,
                         int sendLen, int recvLen, String& err) {
    err = "";
    if (timeoutMs < 0) {
        // A negative time-out can bound nothing: the address is still
        // checked, but no connection is attempted.
        sockaddr_in sa{};
        int rc = ResolveSockAddr(host, port, sa, err);
        if (rc != IP_OK) return rc;
        err = GetErrorStr(EINVAL);
        return IP_ERR_CONNECT;
    }
    TFd sock;
    int rc = IP_OK;
    if (!PerformConnect(host, port, timeoutMs, sock, rc, err)) return rc;

    if (sendLen > 0) {
        rc = SendAll(sock.Get(), sendBuf, sendLen, timeoutMs, err);
        if (rc != IP_OK) return rc;
    }
    if (recvLen <= 0 || recvBuf == nullptr) return 1;
    return ReceiveOnce(sock.Get(), recvBuf, recvLen, timeoutMs, err);
}

int SendReceiveUDPPacket(const char* host, int port, int timeoutSec, const char* sendBuf, char* recvBuf,
                         int sendLen, int recvLen, String& err) {
    err = "";
    sockaddr_in sa{};
    int rc = ResolveSockAddr(host, port, sa, err);
    if (rc != IP_OK) return rc;
    TFd sock(NewSocket(AF_INET, SOCK_DGRAM, 0));
    if (!sock.Valid()) {
        err = GetErrorStr(errno);
        return IP_ERR_SOCKET;
    }
    int result = 0;
    if (sendLen > 0 && sendBuf != nullptr) {
        for (;;) {
            ssize_t n = ::sendto(sock.Get(), sendBuf, static_cast<size_t>(sendLen), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
            if (n >= 0) {
                result = static_cast<int>(n);
                break;
            }
            if (errno == EINTR) continue;
            err = GetErrorStr(errno);
            return IP_ERR_SEND;
        }
    }
    if (recvLen > 0 && recvBuf != nullptr) {
        // Whole seconds; the product cannot overflow in 64 bits.
        long long ms = static_cast<long long>(timeoutSec) * 1000;
        if (ms > 0x7fffffff) ms = 0x7fffffff;
        result = ReceiveOnce(sock.Get(), recvBuf, recvLen, static_cast<int>(ms), err);
        if (result <= 0) return result;
    }
    err = "";
    return result;
}
