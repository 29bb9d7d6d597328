// Loopback helpers for the network tests.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "foundation/fd.h"

namespace nettest {

inline int LocalPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
    return ntohs(sa.sin_port);
}

// A socket of the given type bound to 127.0.0.1 on an ephemeral port.
inline TFd BoundLoopback(int type) {
    TFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) fd.Reset();
    return fd;
}

// A port on which nothing listens: bound but never listening, so no one
// else can take it while the test runs and connections are refused.
struct ClosedPort {
    TFd holder = BoundLoopback(SOCK_STREAM);
    int port = LocalPort(holder.Get());
};

inline bool CloseOnExec(int fd) {
    int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

inline bool NonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

}  // namespace nettest
