#include "daemon/session_pool.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "foundation/io.h"

namespace {

// One published listening socket; workers keep it open while they wait on it.
struct TListener {
    TFd fd;
};

std::atomic<TThreadStarter> g_threadStarter{pthread_create};
TSessionHooks g_hooks;  // set before the first worker starts, then only read

// The listener and its guard. Never destroyed: workers may still wait on
// them while the process exits.
struct TShared {
    std::mutex mutex;                    // guards listener
    std::condition_variable published;   // a listener was published
    std::shared_ptr<TListener> listener;
};
TShared& Shared() {
    static TShared* shared = new TShared;
    return *shared;
}
std::atomic<unsigned> g_generation{0};  // changed by every publication
std::atomic<int> g_workers{0};
std::atomic<int> g_idle{0};  // workers not serving a connection

// An idle worker that found no work for a while leaves if enough others stay.
bool LeaveIfSpare() {
    int idle = g_idle.load();
    while (idle > kSessionWorkersMin) {
        if (g_idle.compare_exchange_weak(idle, idle - 1)) {
            --g_workers;
            return true;
        }
    }
    return false;
}

void* WorkerMain(void*);

// Starts one idle worker. false with the system's text when the thread
// cannot be started.
bool StartWorker(String& err) {
    ++g_workers;
    ++g_idle;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kSessionStackSize);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = g_threadStarter.load()(&thread, &attr, WorkerMain, nullptr);
    pthread_attr_destroy(&attr);
    if (rc == 0) return true;
    --g_idle;
    --g_workers;
    err = ErrnoText(rc);
    return false;
}

// The worker leaves the idle ones; the last idle one starts another, so that
// somebody always waits for the next client. A refused thread start is not
// fatal: connections then wait in the listen queue for a worker.
void BecomeBusy() {
    if (g_idle.fetch_sub(1) == 1 && g_workers.load() < kSessionWorkersMax) {
        String ignored;
        StartWorker(ignored);
    }
}

// Withdraws `listener` if it is still the published one.
void Withdraw(const std::shared_ptr<TListener>& listener) {
    TShared& shared = Shared();
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (shared.listener != listener) return;
    shared.listener.reset();
    ++g_generation;
}

void* WorkerMain(void*) {
    TShared& shared = Shared();
    std::shared_ptr<TListener> listener;
    unsigned seen = g_generation.load() - 1;  // forces the first look
    for (;;) {
        if (g_generation.load() != seen) {
            std::unique_lock<std::mutex> lock(shared.mutex);
            seen = g_generation.load();
            listener = shared.listener;
            if (!listener) {
                bool published =
                    shared.published.wait_for(lock, kSessionWorkerIdleExit, [&] { return shared.listener != nullptr; });
                lock.unlock();
                if (!published && LeaveIfSpare()) return nullptr;
                seen = g_generation.load() - 1;
                continue;
            }
        }
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        int fd = accept4(listener->fd.Get(), reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
        if (fd >= 0) {
            TNetAddress peer;
            TNetAddress::FromSockAddr(reinterpret_cast<const sockaddr*>(&from), length, peer);
            // A refused connection is closed at once and leaves the worker
            // idle: a flood of refusals starts no threads.
            TFd socket(fd);
            if (g_hooks.admit != nullptr && !g_hooks.admit(socket, peer)) continue;
            BecomeBusy();
            if (g_hooks.serve != nullptr) g_hooks.serve(std::move(socket), peer);
            ++g_idle;
            continue;
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {  // the receive time-out: no client for a while
            if (LeaveIfSpare()) return nullptr;
            continue;
        }
        if (g_generation.load() != seen) continue;  // withdrawn or replaced, and shut down
        if (g_hooks.acceptFailed == nullptr || !g_hooks.acceptFailed(error, listener->fd.Get())) Withdraw(listener);
    }
}

}  // namespace

void SetSessionHooks(const TSessionHooks& hooks) { g_hooks = hooks; }

bool PublishSessionListener(int listenFd, String& err) {
    std::shared_ptr<TListener> fresh;
    if (listenFd >= 0) {
        fresh = std::make_shared<TListener>();
        fresh->fd.Reset(fcntl(listenFd, F_DUPFD_CLOEXEC, 0));
        if (!fresh->fd.Valid()) {
            err = ErrnoText(errno);
            return false;
        }
        // Workers wait in a blocking accept(); the receive time-out lets an
        // idle one wake now and then to see whether it is still needed.
        int flags = fcntl(fresh->fd.Get(), F_GETFL);
        if (flags >= 0 && (flags & O_NONBLOCK) != 0) fcntl(fresh->fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
        timeval idle{static_cast<time_t>(kSessionWorkerIdleExit.count()), 0};
        setsockopt(fresh->fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    }
    TShared& shared = Shared();
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.listener = std::move(fresh);
        ++g_generation;
    }
    shared.published.notify_all();
    return true;
}

bool StartSessionWorkers(String& err) {
    while (g_idle.load() < kSessionWorkersMin) {
        if (!StartWorker(err)) return false;
    }
    return true;
}

void SetSessionThreadStarter(TThreadStarter starter) { g_threadStarter = starter ? starter : pthread_create; }

int SessionWorkerCount() { return g_workers.load(); }

int IdleSessionWorkerCount() { return g_idle.load(); }
