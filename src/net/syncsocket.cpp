#include "net/syncsocket.h"

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "foundation/fd.h"
#include "net/resolve.h"
#include "net/sockets.h"
#include "net/sockutil.h"

namespace {

constexpr int kReadChunk = 20480;

}  // namespace

int TSyncSocket::Connect(const char* host, int port, int timeoutMs) {
    Disconnect();
    if (SockType == TCP) {
        TFd sock;
        int rc = IP_ERR_CONNECT;
        if (PerformConnect(host, port, timeoutMs, sock, rc, LastError)) Socket = sock.Release();
        return rc;
    }
    sockaddr_in sa{};
    int rc = ResolveSockAddr(host, port, sa, LastError);
    if (rc != IP_OK) return rc;
    TFd fd(NewSocket(AF_INET, SOCK_DGRAM, 0));
    if (!fd.Valid()) {
        LastError = GetErrorStr(errno);
        return IP_ERR_SOCKET;
    }
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        LastError = GetErrorStr(errno);
        return IP_ERR_CONNECT;
    }
    Socket = fd.Release();
    return IP_OK;
}

int TSyncSocket::SendBuf(const char* data, int len, int /*flags*/) {
    LastError = "";
    if (len < 1 || data == nullptr) return 0;
    for (;;) {
        ssize_t n = ::send(Socket, data, static_cast<size_t>(len), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        LastError = GetErrorStr(errno);
        return IP_ERR_SEND;
    }
}

int TSyncSocket::SendString(const String& data, int flags) {
    return SendBuf(data.Data(), data.Length(), flags);
}

int TSyncSocket::ReadString(String& out, int timeoutMs) {
    LastError = "";
    out = "";
    if (WaitReady(Socket, POLLIN, timeoutMs) != 1) {
        LastError = "Timeout";
        return IP_TIMEOUT;
    }
    char buf[kReadChunk];
    for (;;) {
        ssize_t n = ::recv(Socket, buf, sizeof buf, 0);
        if (n >= 0) {
            out.AddData(buf, static_cast<int>(n));
            return static_cast<int>(n);
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            LastError = "Timeout";
            return IP_TIMEOUT;
        }
        LastError = GetErrorStr(errno);
        return IP_ERR_READ;
    }
}

int TSyncSocket::Connected() {
    if (Socket == -1) return 0;
    return WaitReady(Socket, POLLIN, 5) >= 0 ? 1 : 0;
}

void TSyncSocket::Disconnect() {
    LastError = "";
    if (Socket != -1) {
        ::close(Socket);
        Socket = -1;
    }
}
