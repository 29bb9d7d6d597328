#include "foundation/child_reaper.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "foundation/io.h"


namespace {

struct TOrphan {
    pid_t pid;
    TFd pidfd;  // invalid when the kernel gave none
};

// Never destroyed: the thread may still run while the process exits.
struct TReaper {
    std::mutex mutex;
    std::vector<TOrphan> kids;  // guarded by mutex
    TFd wake;                   // eventfd; set once under mutex, never closed
    bool running = false;       // guarded by mutex
};

TReaper& Reaper() {
    static TReaper* r = new TReaper();
    return *r;
}

void ReapEnded(TReaper& r) {
    std::lock_guard<std::mutex> lock(r.mutex);
    for (size_t i = 0; i < r.kids.size();) {
        int status = 0;
        const pid_t got = waitpid(r.kids[i].pid, &status, WNOHANG);
        if (got == r.kids[i].pid || (got < 0 && errno == ECHILD)) {
            r.kids[i] = std::move(r.kids.back());
            r.kids.pop_back();
        } else {
            ++i;
        }
    }
}

void* ReaperLoop(void*) {
    TReaper& r = Reaper();
    std::vector<pollfd> fds;
    for (;;) {
        bool blind = false;
        fds.clear();
        {
            std::lock_guard<std::mutex> lock(r.mutex);
            fds.push_back({r.wake.Get(), POLLIN, 0});
            for (const TOrphan& k : r.kids) {
                if (k.pidfd.Valid())
                    fds.push_back({k.pidfd.Get(), POLLIN, 0});
                else
                    blind = true;
            }
        }
        poll(fds.data(), fds.size(), blind ? 1000 : -1);
        uint64_t n;
        while (read(r.wake.Get(), &n, sizeof n) > 0) {
        }
        ReapEnded(r);
    }
    return nullptr;
}

// Starts the thread with every signal blocked, so that signals meant for the
// agent never land on it. Called with r.mutex held.
bool StartThread(TReaper& r) {
    if (!r.wake.Valid()) r.wake.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!r.wake.Valid()) return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    pthread_t tid;
    const bool ok = pthread_create(&tid, &attr, ReaperLoop, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    pthread_attr_destroy(&attr);
    return ok;
}

}  // namespace

void HandToReaper(pid_t pid, TFd pidfd) {
    TReaper& r = Reaper();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.kids.push_back({pid, std::move(pidfd)});
    if (!r.running) r.running = StartThread(r);
    if (r.wake.Valid()) {
        const uint64_t one = 1;
        ssize_t ignored = write(r.wake.Get(), &one, sizeof one);
        (void)ignored;
    }
}

int PendingReapCount() {
    TReaper& r = Reaper();
    std::lock_guard<std::mutex> lock(r.mutex);
    return static_cast<int>(r.kids.size());
}

bool AdoptInheritedChildren(String& err) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        err = ErrnoText(errno);
        return false;
    }
    const pid_t self = getpid();
    std::vector<pid_t> children;
    while (const dirent* e = readdir(proc)) {
        char* end = nullptr;
        const long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        char path[64];
        snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        TFd fd(open(path, O_RDONLY | O_CLOEXEC));
        if (!fd.Valid()) continue;
        char buf[512];
        const ssize_t n = read(fd.Get(), buf, sizeof buf - 1);
        if (n <= 0) continue;
        buf[n] = '\0';
        // "pid (name) state ppid ...": the name may hold anything but ends
        // at the last ')'.
        const char* close = strrchr(buf, ')');
        char state = 0;
        long ppid = 0;
        if (close == nullptr || sscanf(close + 1, " %c %ld", &state, &ppid) != 2) continue;
        if (ppid == self) children.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    for (pid_t pid : children) HandToReaper(pid, TFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))));
    return true;
}
