#include "net/sockutil.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

int NewSocket(int domain, int type, int protocol) {
    int fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

namespace {

int PollOnce(int fd, short events, int timeoutMs) {
    pollfd p{};
    p.fd = fd;
    p.events = events;
    int n = ::poll(&p, 1, timeoutMs);
    if (n <= 0) return n;
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    return 1;
}

}  // namespace

int WaitReady(int fd, short events, int timeoutMs) {
    if (fd < 0) return 0;  // nothing can become ready
    if (timeoutMs < 0) timeoutMs = 0;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int left = timeoutMs;
    for (;;) {
        int n = PollOnce(fd, events, left);
        if (n >= 0 || errno != EINTR) return n;
        auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        left = rest.count() > 0 ? static_cast<int>(rest.count()) : 0;
    }
}

int WaitReadyForever(int fd, short events) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    for (;;) {
        int n = PollOnce(fd, events, -1);
        if (n >= 0 || errno != EINTR) return n;
    }
}
