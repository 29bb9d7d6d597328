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
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

// A socket of the given type bound to the loopback address of family
// (127.0.0.1 or ::1) on port (0: an ephemeral one).
inline TFd BoundLoopback(int type, int family = AF_INET, int port = 0) {
    TFd fd(socket(family, type | SOCK_CLOEXEC, 0));
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (family == AF_INET6) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&ss);
        sa->sin6_family = AF_INET6;
        sa->sin6_addr = in6addr_loopback;
        sa->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof *sa;
    } else {
        auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
        sa->sin_family = AF_INET;
        sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof *sa;
    }
    if (!fd.Valid() || bind(fd.Get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) fd.Reset();
    return fd;
}

// A port on which nothing listens: bound but never listening, so no one
// else can take it while the test runs and connections are refused.
struct ClosedPort {
    TFd holder = BoundLoopback(SOCK_STREAM);
    int port = LocalPort(holder.Get());
};

// A loopback port that never completes a connection: it listens with a
// backlog of 0 that one connection already fills, so further connection
// requests are dropped unanswered (a host that drops packets, on loopback).
struct TBlackHole {
    explicit TBlackHole(int family = AF_INET) : listener(BoundLoopback(SOCK_STREAM, family)) {
        if (!listener.Valid() || listen(listener.Get(), 0) != 0) return;
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        if (getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return;
        filler.Reset(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (filler.Valid() && connect(filler.Get(), reinterpret_cast<sockaddr*>(&ss), len) == 0)
            port = LocalPort(listener.Get());
    }
    TFd listener, filler;
    int port = -1;  // -1: could not be set up
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
