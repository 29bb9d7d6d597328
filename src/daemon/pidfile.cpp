#include "daemon/pidfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "foundation/io.h"

bool TPidFile::Create(const std::string& path, std::string& message) {
    Close();
    heldByAnother_ = false;
    // Not truncated before the lock is ours: a running daemon's pid stays.
    TFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.Valid()) {
        message = "Failed to create pid file " + path + "\n";
        return false;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(fd.Get(), F_SETLK, &lock) != 0) {
        const int e = errno;
        message = "Failed to lock pid file " + path + "\n";
        struct flock holder = lock;
        if ((e == EAGAIN || e == EACCES) && fcntl(fd.Get(), F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK) {
            heldByAnother_ = true;
            message = "Failed to lock pid file " + path + ": another agent (process " +
                      std::to_string(static_cast<long>(holder.l_pid)) + ") holds it. Stopping\n";
        }
        return false;
    }
    char text[32];
    int n = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
    String ignored;
    if (ftruncate(fd.Get(), 0) != 0 || !WriteAll(fd.Get(), std::string_view(text, static_cast<size_t>(n)), ignored)) {
        message = "Failed to create pid file " + path + "\n";
        return false;
    }
    fd_ = std::move(fd);
    path_ = path;
    return true;
}

void TPidFile::Close() {
    if (!fd_.Valid()) return;
    // A process that serves as a user of its own may not remove a file in
    // root's folder: it leaves the file empty, naming no process.
    if (unlink(path_.c_str()) != 0) {
        const int truncated = ftruncate(fd_.Get(), 0);
        (void)truncated;
    }
    fd_.Reset();
    path_.clear();
}
