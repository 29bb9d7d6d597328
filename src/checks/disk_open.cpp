#include "checks/disk_open.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "foundation/io.h"

namespace {

bool Accepted(mode_t mode, unsigned kinds) {
    if (S_ISREG(mode)) return (kinds & kOpenRegular) != 0;
    if (S_ISBLK(mode)) return (kinds & kOpenBlock) != 0;
    if (S_ISDIR(mode)) return (kinds & kOpenDirectory) != 0;
    return false;
}

constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

bool Failed(int e, String& err) {
    err = ErrnoText(e);
    return false;
}

bool NotAccepted(String& err) {
    err = kNotAcceptedKind;
    return false;
}

}  // namespace

bool ResolveFile(const char* name, unsigned kinds, TFd& pathFd, struct stat& st, String& err) {
    pathFd.Reset();
    if (name == nullptr || *name == '\0') return Failed(ENOENT, err);
    TFd path(open(name, O_PATH | O_CLOEXEC));
    if (!path.Valid()) return Failed(errno, err);
    if (fstat(path.Get(), &st) != 0) return Failed(errno, err);
    if (!Accepted(st.st_mode, kinds)) return NotAccepted(err);
    pathFd = std::move(path);
    return true;
}

bool ReopenForReading(const TFd& pathFd, const char* name, unsigned kinds, struct stat& st, TFd& fd, String& err) {
    fd.Reset();
    // Reopen the inode the O_PATH descriptor holds; the name may have been
    // replaced meanwhile.
    char proc[48];
    std::snprintf(proc, sizeof(proc), "/proc/self/fd/%d", pathFd.Get());
    TFd file(open(proc, kReadFlags));
    if (!file.Valid()) {
        if (errno != ENOENT) return Failed(errno, err);
        // No /proc: open the name and make sure it is still the same file.
        file.Reset(open(name, kReadFlags));
        if (!file.Valid()) return Failed(errno, err);
    }
    struct stat now;
    if (fstat(file.Get(), &now) != 0) return Failed(errno, err);
    if (now.st_dev != st.st_dev || now.st_ino != st.st_ino || !Accepted(now.st_mode, kinds)) return NotAccepted(err);
    // The open could not block; reads should, as files normally do.
    const int fl = fcntl(file.Get(), F_GETFL);
    if (fl < 0 || fcntl(file.Get(), F_SETFL, fl & ~O_NONBLOCK) != 0) return Failed(errno, err);
    st = now;
    fd = std::move(file);
    return true;
}

bool OpenForReading(const char* name, unsigned kinds, TFd& fd, struct stat& st, String& err) {
    fd.Reset();
    TFd path;
    return ResolveFile(name, kinds, path, st, err) && ReopenForReading(path, name, kinds, st, fd, err);
}

int64_t ReadFull(int fd, char* buf, int64_t n) {
    int64_t done = 0;
    while (done < n) {
        const ssize_t r = read(fd, buf + done, static_cast<size_t>(n - done));
        if (r > 0) {
            done += r;
        } else if (r == 0) {
            break;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return done;
}
