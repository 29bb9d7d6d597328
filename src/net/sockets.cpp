#include "net/sockets.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "foundation/fd.h"
#include "foundation/io.h"
#include "net/resolve.h"
#include "net/sockutil.h"

namespace {

void ShutAndClose(TFd& fd) {
    ::shutdown(fd.Get(), SHUT_RDWR);
    fd.Reset();
}

}  // namespace

namespace {

// Binds a new socket of `family` to `addr` and listens on it. False with sock
// empty and the system's error in `error` (the text for err in `text`).
bool BindAndListen(const sockaddr* addr, socklen_t length, int family, int v6only, TFd& sock, int& error,
                   String& text) {
    sock.Reset();
    String ignored;
    TFd fd;
    if (!NewSocket(family, SOCK_STREAM, 0, fd, ignored)) {
        error = errno;
        text = "socket() or bind() error";
        return false;
    }
    int on = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6) setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    if (::bind(fd.Get(), addr, length) != 0) {
        error = errno;
        text = "socket() or bind() error";
        ShutAndClose(fd);
        return false;
    }
    if (::listen(fd.Get(), 512) != 0) {
        error = errno;
        text = "listen() error";
        ShutAndClose(fd);
        return false;
    }
    sock = std::move(fd);
    return true;
}

// The errors that say the host has no IPv6 at all (a kernel without it, or
// booted with it off): the listener then serves IPv4 alone.
bool NoIPv6Here(int error) { return error == EAFNOSUPPORT || error == EPROTONOSUPPORT || error == EADDRNOTAVAIL; }

// TcpListen with the system's error of the last failed call in `error`.
bool Listen(const char* host, const char* service, unsigned int* addrlen, TFd& sock, int& error, String& err) {
    error = 0;
    err = "";
    sock.Reset();
    if (host != nullptr && *host == '\0') host = nullptr;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    int rc = getaddrinfo(host, service, &hints, &raw);
    if (rc != 0) {
        err = gai_strerror(rc);
        return false;
    }
    std::unique_ptr<addrinfo, TAddrInfoFree> list(raw);
    TFd fd;
    if (host == nullptr) {
        // Every local address of both families on one socket: IPv6 with
        // IPv4 clients as mapped addresses, so the session workers accept on
        // a single listener. Without IPv6 on the host, IPv4 alone.
        sockaddr_in6 any6{};
        any6.sin6_family = AF_INET6;
        any6.sin6_addr = in6addr_any;
        sockaddr_in any4{};
        any4.sin_family = AF_INET;
        any4.sin_addr.s_addr = htonl(INADDR_ANY);
        for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
            if (a->ai_family == AF_INET6) any6.sin6_port = reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_port;
            if (a->ai_family == AF_INET) any4.sin_port = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_port;
        }
        if (any6.sin6_port == 0) any6.sin6_port = any4.sin_port;
        if (any4.sin_port == 0) any4.sin_port = any6.sin6_port;
        if (BindAndListen(reinterpret_cast<const sockaddr*>(&any6), sizeof any6, AF_INET6, 0, fd, error, err)) {
            if (addrlen) *addrlen = sizeof any6;
            sock = std::move(fd);
            return true;
        }
        if (!NoIPv6Here(error)) return false;
        if (!BindAndListen(reinterpret_cast<const sockaddr*>(&any4), sizeof any4, AF_INET, 0, fd, error, err))
            return false;
        if (addrlen) *addrlen = sizeof any4;
        sock = std::move(fd);
        return true;
    }
    // A literal is one address; a name's IPv4 addresses come first, as
    // before IPv6 was served, then its IPv6 ones.
    for (int family : {AF_INET, AF_INET6}) {
        for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
            if (a->ai_family != family) continue;
            // "::" is every address of both families, as an empty host.
            const int v6only =
                family == AF_INET6 &&
                !IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
            if (BindAndListen(a->ai_addr, a->ai_addrlen, family, v6only, fd, error, err)) {
                if (addrlen) *addrlen = static_cast<unsigned int>(a->ai_addrlen);
                sock = std::move(fd);
                return true;
            }
            if (err == "listen() error") return false;
        }
    }
    err = "socket() or bind() error";
    return false;
}

}  // namespace

bool TcpListen(const char* host, const char* service, unsigned int* addrlen, TFd& sock, String& err) {
    int ignored = 0;
    return Listen(host, service, addrlen, sock, ignored, err);
}

bool TcpListen(const char* host, int port, unsigned int* addrlen, TFd& sock, String& err) {
    int ignored = 0;
    return TcpListen(host, port, addrlen, sock, ignored, err);
}

bool TcpListen(const char* host, int port, unsigned int* addrlen, TFd& sock, int& systemError, String& err) {
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    return Listen(host, service, addrlen, sock, systemError, err);
}

namespace {

// The outcome of a connect in progress: true, or false (Connect) with the
// pending error.
bool PendingConnectResult(int fd, TNetFailure& failure, String& err) {
    int pending = 0;
    socklen_t len = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) pending = errno;
    if (pending == 0) return true;
    err = ErrnoText(pending);
    failure = TNetFailure::Connect;
    return false;
}

bool Failed(TNetFailure kind, const String& text, TNetFailure& failure, String& err) {
    failure = kind;
    err = text;
    return false;
}

// Makes sock a socket connected to addr within timeoutMs (<= 0: a
// blocking connect). false with failure Timeout ("Timeout"), Socket or
// Connect and a text in err.
bool ConnectSocket(TFd& sock, const TSockAddr& target, int timeoutMs, TNetFailure& failure, String& err) {
    if (!NewSocket(target.Family(), SOCK_STREAM, 0, sock, err)) return Failed(TNetFailure::Socket, err, failure, err);
    const sockaddr* addr = target.Get();

    if (timeoutMs <= 0) {
        if (::connect(sock.Get(), addr, target.len) == 0) return true;
        if (errno != EINTR) return Failed(TNetFailure::Connect, ErrnoText(errno), failure, err);
        // An interrupted blocking connect goes on in the background.
        if (!WaitReady(sock.Get(), POLLOUT, TDeadline::Never(), err))
            return Failed(TNetFailure::Connect, err, failure, err);
        return PendingConnectResult(sock.Get(), failure, err);
    }

    int on = 1;
    if (ioctl(sock.Get(), FIONBIO, &on) != 0)
        return Failed(TNetFailure::Socket, String("ioctl error - ") + ErrnoText(errno), failure, err);
    if (::connect(sock.Get(), addr, target.len) != 0 && errno != EINPROGRESS && errno != EALREADY &&
        errno != EISCONN && errno != EINTR)
        return Failed(TNetFailure::Connect, ErrnoText(errno), failure, err);
    if (!WaitReady(sock.Get(), POLLOUT, TDeadline::AfterMs(timeoutMs), err)) {
        if (errno == ETIMEDOUT) return Failed(TNetFailure::Timeout, "Timeout", failure, err);
        return Failed(TNetFailure::Connect, err, failure, err);
    }
    return PendingConnectResult(sock.Get(), failure, err);
}

}  // namespace

bool ConnectFirst(const std::vector<TSockAddr>& addrs, int timeoutMs, TFd& sock, TNetFailure& failure, String& err) {
    err = "";
    failure = TNetFailure::None;
    sock.Reset();
    if (addrs.empty()) return Failed(TNetFailure::Resolve, "Cannot resolve server name to IP address", failure, err);
    const TDeadline deadline = TDeadline::AfterMs(timeoutMs);
    for (size_t i = 0; i < addrs.size(); ++i) {
        int shareMs = timeoutMs;
        if (timeoutMs > 0 && addrs.size() > 1) {
            const int left = static_cast<int>(addrs.size() - i);
            shareMs = std::max(1, deadline.PollMs() / left);
        }
        err = "";
        TFd fd;
        if (ConnectSocket(fd, addrs[i], shareMs, failure, err)) {  // fd closes a socket that failed
            failure = TNetFailure::None;
            err = "";
            sock = std::move(fd);
            return true;
        }
    }
    return false;
}

bool PerformConnect(const char* host, int port, int timeoutMs, TFd& sock, TNetFailure& failure, String& err) {
    sock.Reset();
    std::vector<TSockAddr> addrs;
    if (!ResolveHostAddrs(host, port, SOCK_STREAM, addrs, failure, err)) return false;
    return ConnectFirst(addrs, timeoutMs, sock, failure, err);
}
