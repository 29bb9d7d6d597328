// A move-only owner of one file descriptor: closes it when the owner goes
// out of scope unless Release() handed it over to someone else.
#pragma once

#include <unistd.h>

class TFd {
public:
    TFd() = default;
    explicit TFd(int fd) : fd_(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    TFd(TFd&& o) noexcept : fd_(o.Release()) {}
    TFd& operator=(TFd&& o) noexcept {
        if (this != &o) Reset(o.Release());
        return *this;
    }
    ~TFd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

    // Gives up ownership; the caller closes the descriptor.
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes the owned descriptor (if any) and takes fd.
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

    // Closes now; false when close reports an error (a written file may
    // then not have reached the disk).
    bool Close() {
        if (fd_ < 0) return true;
        int fd = Release();
        return ::close(fd) == 0;
    }

private:
    int fd_ = -1;
};
