#include "net/sockets.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <utility>

#include "foundation/fd.h"
#include "net/resolve.h"
#include "net/sockutil.h"

const char* const ipErrMsg[9] = {
    "Winsock error",                           // -7
    "Connection error",                        // -6
    "Cannot read data",                        // -5
    "Cannot send data",                        // -4
    "Cannot create socket",                    // -3
    "Cannot resolve host name to IP address",  // -2
    "Cannot init WinSock",                     // -1
    "Timeout",                                 // 0
    "",                                        // 1
};

const char* IpErrText(int code) {
    if (code < -7 || code > 1) return "";
    return ipErrMsg[code + 7];
}

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* p) const { freeaddrinfo(p); }
};

void ShutAndClose(TFd& fd) {
    ::shutdown(fd.Get(), SHUT_RDWR);
    fd.Reset();
}

}  // namespace

bool TcpListen(const char* host, const char* service, unsigned int* addrlen, TFd& sock, String& err) {
    err = "";
    sock.Reset();
    if (host != nullptr && *host == '\0') host = nullptr;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    int rc = getaddrinfo(host, service, &hints, &raw);
    if (rc != 0) {
        err = gai_strerror(rc);
        return false;
    }
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
    TFd fd;
    const addrinfo* bound = nullptr;
    for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        fd.Reset(NewSocket(a->ai_family, a->ai_socktype, a->ai_protocol));
        if (!fd.Valid()) continue;
        int on = 1;
        setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd.Get(), a->ai_addr, a->ai_addrlen) == 0) {
            bound = a;
            break;
        }
        ShutAndClose(fd);
    }
    if (bound == nullptr) {
        err = "socket() or bind() error";
        return false;
    }
    if (::listen(fd.Get(), 512) != 0) {
        ShutAndClose(fd);
        err = "listen() error";
        return false;
    }
    if (addrlen) *addrlen = static_cast<unsigned int>(bound->ai_addrlen);
    sock = std::move(fd);
    return true;
}

bool TcpListen(const char* host, int port, unsigned int* addrlen, TFd& sock, String& err) {
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    return TcpListen(host, service, addrlen, sock, err);
}

namespace {

// The outcome of a connect in progress: 1, or -6 with the pending error.
int PendingConnectResult(int fd, String& err) {
    int pending = 0;
    socklen_t len = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) pending = errno;
    if (pending == 0) return IP_OK;
    err = GetErrorStr(pending);
    return IP_ERR_CONNECT;
}

// Makes sock a socket connected to host:port. Returns 1, or 0 ("Timeout"),
// -2, -3 or -6 with a text in err.
int ConnectSocket(TFd& sock, const char* host, int port, int timeoutMs, String& err) {
    sockaddr_in sa{};
    int rc = ResolveSockAddr(host, port, sa, err);
    if (rc != IP_OK) return rc;

    sock.Reset(NewSocket(AF_INET, SOCK_STREAM, 0));
    if (!sock.Valid()) {
        err = GetErrorStr(errno);
        return IP_ERR_SOCKET;
    }
    const sockaddr* addr = reinterpret_cast<const sockaddr*>(&sa);

    if (timeoutMs <= 0) {
        if (::connect(sock.Get(), addr, sizeof sa) == 0) return IP_OK;
        if (errno != EINTR) {
            err = GetErrorStr(errno);
            return IP_ERR_CONNECT;
        }
        // An interrupted blocking connect goes on in the background.
        if (WaitReadyForever(sock.Get(), POLLOUT) < 0) {
            err = GetErrorStr(errno);
            return IP_ERR_CONNECT;
        }
        return PendingConnectResult(sock.Get(), err);
    }

    int on = 1;
    if (ioctl(sock.Get(), FIONBIO, &on) != 0) {
        err = String("ioctl error - ") + GetErrorStr(errno);
        return IP_ERR_SOCKET;
    }
    if (::connect(sock.Get(), addr, sizeof sa) != 0 && errno != EINPROGRESS && errno != EALREADY &&
        errno != EISCONN && errno != EINTR) {
        err = GetErrorStr(errno);
        return IP_ERR_CONNECT;
    }
    int ready = WaitReady(sock.Get(), POLLOUT, timeoutMs);
    if (ready == 0) {
        err = "Timeout";
        return IP_TIMEOUT;
    }
    if (ready < 0) {
        err = GetErrorStr(errno);
        return IP_ERR_CONNECT;
    }
    return PendingConnectResult(sock.Get(), err);
}

}  // namespace

bool PerformConnect(const char* host, int port, int timeoutMs, TFd& sock, int& code, String& err) {
    err = "";
    sock.Reset();
    TFd fd;
    code = ConnectSocket(fd, host, port, timeoutMs, err);
    if (code != IP_OK) return false;  // fd closes the socket that did not connect
    sock = std::move(fd);
    return true;
}

int TCPConnect(const char* host, int port, int timeoutMs, String& err) {
    TFd sock;
    int code = IP_ERR_CONNECT;
    PerformConnect(host, port, timeoutMs, sock, code, err);
    return code;
}
