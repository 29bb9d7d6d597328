#include "foundation/io.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

// strerror_r comes in two flavours (GNU returns the text, XSI fills the buffer).
[[maybe_unused]] const char* PickErrorText(int rc, const char* buf) { return rc == 0 ? buf : ""; }
[[maybe_unused]] const char* PickErrorText(const char* text, const char*) { return text ? text : ""; }

bool Fail(int e, String& err) {
    err = ErrnoText(e);
    errno = e;
    return false;
}

bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

bool PutAll(int fd, std::string_view data, const TDeadline& deadline, bool socket, String& err) {
    while (!data.empty()) {
        if (deadline.IsSet()) {
            if (!WaitReady(fd, POLLOUT, deadline, err)) return false;
        }
        ssize_t n;
        if (socket) {
            int flags = MSG_NOSIGNAL | (deadline.IsSet() ? MSG_DONTWAIT : 0);
            n = ::send(fd, data.data(), data.size(), flags);
        } else {
            size_t chunk = deadline.IsSet() ? std::min<size_t>(data.size(), PIPE_BUF) : data.size();
            n = ::write(fd, data.data(), chunk);
        }
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n == 0) return Fail(EIO, err);
        int e = errno;
        if (e == EINTR) continue;
        if (WouldBlock(e) && deadline.IsSet()) continue;
        return Fail(e, err);
    }
    return true;
}

}  // namespace

TDeadline TDeadline::AfterMs(long long ms) {
    if (ms < 0) ms = 0;
    return TDeadline(Clock::now() + std::chrono::milliseconds(ms));
}

int TDeadline::PollMs() const {
    if (!set_) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(when_ - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

String ErrnoText(int e) {
    char buf[256];
    buf[0] = '\0';
    const char* text = PickErrorText(strerror_r(e, buf, sizeof buf), buf);
    if (text[0] != '\0') return String(text);
    std::snprintf(buf, sizeof buf, "Unknown error %d", e);
    return String(buf);
}

bool WaitReady(int fd, short events, const TDeadline& deadline, String& err) {
    if (fd < 0) return Fail(EBADF, err);  // poll() would skip it and wait out the deadline
    for (;;) {
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, deadline.PollMs());
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail(errno, err);
        }
        if (n == 0) {
            if (deadline.Passed()) return Fail(ETIMEDOUT, err);
            continue;
        }
        if (p.revents & POLLNVAL) return Fail(EBADF, err);
        return true;
    }
}

bool WriteAll(int fd, std::string_view data, String& err) { return PutAll(fd, data, TDeadline(), false, err); }

bool WriteAll(int fd, std::string_view data, const TDeadline& deadline, String& err) {
    return PutAll(fd, data, deadline, false, err);
}

bool SendAll(int fd, std::string_view data, String& err) { return PutAll(fd, data, TDeadline(), true, err); }

bool SendAll(int fd, std::string_view data, const TDeadline& deadline, String& err) {
    return PutAll(fd, data, deadline, true, err);
}

bool ReadSome(int fd, void* buf, size_t size, size_t& got, const TDeadline& deadline, String& err) {
    got = 0;
    if (size == 0) return true;
    for (;;) {
        if (deadline.IsSet()) {
            if (!WaitReady(fd, POLLIN, deadline, err)) return false;
        }
        ssize_t n = ::read(fd, buf, size);
        if (n >= 0) {
            got = static_cast<size_t>(n);
            return true;
        }
        int e = errno;
        if (e == EINTR) continue;
        if (WouldBlock(e) && deadline.IsSet()) continue;
        return Fail(e, err);
    }
}

bool ReadFull(int fd, void* buf, size_t size, size_t& got, const TDeadline& deadline, String& err) {
    got = 0;
    char* p = static_cast<char*>(buf);
    while (got < size) {
        size_t n = 0;
        if (!ReadSome(fd, p + got, size - got, n, deadline, err)) return false;
        if (n == 0) break;
        got += n;
    }
    return true;
}

bool ReadToEnd(int fd, std::string& out, size_t limit, String& err) {
    char buf[65536];
    size_t appended = 0;
    while (appended <= limit) {
        size_t n = 0;
        if (!ReadSome(fd, buf, sizeof buf, n, TDeadline(), err)) return false;
        if (n == 0) break;
        out.append(buf, n);
        appended += n;
    }
    return true;
}
