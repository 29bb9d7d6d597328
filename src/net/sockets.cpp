#include "net/sockets.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "net/fd.h"
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

int TcpListen(const char* host, const char* service, unsigned int* addrlen, String& err) {
    err = "";
    if (host != nullptr && *host == '\0') host = nullptr;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    int rc = getaddrinfo(host, service, &hints, &raw);
    if (rc != 0) {
        err = gai_strerror(rc);
        return 0;
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
        return 0;
    }
    if (::listen(fd.Get(), 512) != 0) {
        ShutAndClose(fd);
        err = "listen() error";
        return 0;
    }
    if (addrlen) *addrlen = static_cast<unsigned int>(bound->ai_addrlen);
    return fd.Release();
}

int TcpListen(const char* host, int port, unsigned int* addrlen, String& err) {
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    return TcpListen(host, service, addrlen, err);
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

}  // namespace

int PerformConnect(int& sock, const char* host, int port, int timeoutMs, String& err) {
    err = "";
    sock = -1;
    sockaddr_in sa{};
    int rc = ResolveSockAddr(host, port, sa, err);
    if (rc != IP_OK) return rc;

    sock = NewSocket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        err = GetErrorStr(errno);
        return IP_ERR_SOCKET;
    }
    const sockaddr* addr = reinterpret_cast<const sockaddr*>(&sa);

    if (timeoutMs <= 0) {
        if (::connect(sock, addr, sizeof sa) == 0) return IP_OK;
        if (errno != EINTR) {
            err = GetErrorStr(errno);
            return IP_ERR_CONNECT;
        }
        // An interrupted blocking connect goes on in the background.
        if (WaitReadyForever(sock, POLLOUT) < 0) {
            err = GetErrorStr(errno);
            return IP_ERR_CONNECT;
        }
        return PendingConnectResult(sock, err);
    }

    int on = 1;
    if (ioctl(sock, FIONBIO, &on) != 0) {
        err = String("ioctl error - ") + GetErrorStr(errno);
        return IP_ERR_SOCKET;
    }
    if (::connect(sock, addr, sizeof sa) != 0 && errno != EINPROGRESS && errno != EALREADY &&
        errno != EISCONN && errno != EINTR) {
        err = GetErrorStr(errno);
        return IP_ERR_CONNECT;
    }
    int ready = WaitReady(sock, POLLOUT, timeoutMs);
    if (ready == 0) {
        err = "Timeout";
        return IP_TIMEOUT;
    }
    if (ready < 0) {
        err = GetErrorStr(errno);
        return IP_ERR_CONNECT;
    }
    return PendingConnectResult(sock, err);
}

int TCPConnect(const char* host, int port, int timeoutMs, String& err) {
    int sock = -1;
    int rc = PerformConnect(sock, host, port, timeoutMs, err);
    TFd owner(sock);
    return rc;
}
