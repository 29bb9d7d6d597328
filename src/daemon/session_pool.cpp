#include "daemon/session_pool.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/io.h"

namespace {

struct TJob {
    TSessionServe serve = nullptr;
    TFd socket;
    in_addr address{};
};

struct TWorker {
    std::condition_variable cv;
    TJob job;
    bool hasJob = false;
};

std::atomic<TThreadStarter> g_threadStarter{pthread_create};

std::mutex g_mutex;                 // guards everything below
std::vector<TWorker*> g_idle;       // idle workers, the last idled on top
std::deque<TJob> g_waiting;         // connections waiting for a worker
int g_workers = 0;

void* WorkerMain(void* raw) {
    std::unique_ptr<TWorker> self(static_cast<TWorker*>(raw));
    std::unique_lock<std::mutex> lock(g_mutex);
    for (;;) {
        if (self->hasJob) {
            TJob job = std::move(self->job);
            self->hasJob = false;
            lock.unlock();
            if (job.serve != nullptr) job.serve(std::move(job.socket), job.address);
            lock.lock();
            continue;
        }
        if (!g_waiting.empty()) {
            self->job = std::move(g_waiting.front());
            g_waiting.pop_front();
            self->hasJob = true;
            continue;
        }
        g_idle.push_back(self.get());
        bool woken = self->cv.wait_for(lock, SESSION_WORKER_IDLE_EXIT, [&] { return self->hasJob; });
        if (woken) continue;  // Submit took it off the idle stack
        if (g_workers > SESSION_WORKERS_MIN) {
            g_idle.erase(std::find(g_idle.begin(), g_idle.end(), self.get()));
            --g_workers;
            return nullptr;
        }
        g_idle.erase(std::find(g_idle.begin(), g_idle.end(), self.get()));
    }
}

// Starts a worker, with its first job when `job` is given. Call with
// g_mutex held. 0 or the error number of the thread start.
int StartWorker(TJob* job) {
    auto worker = std::make_unique<TWorker>();
    if (job != nullptr) {
        worker->job = std::move(*job);
        worker->hasJob = true;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, SESSION_STACK_SIZE);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = g_threadStarter.load()(&thread, &attr, WorkerMain, worker.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        if (job != nullptr) *job = std::move(worker->job);  // back to the caller
        return rc;
    }
    worker.release();  // the thread owns it now
    ++g_workers;
    return 0;
}

}  // namespace

void SetSessionThreadStarter(TThreadStarter starter) { g_threadStarter = starter ? starter : pthread_create; }

bool SubmitSession(TSessionServe serve, TFd socket, in_addr address, String& err) {
    TJob job{serve, std::move(socket), address};
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_idle.empty()) {
        TWorker* w = g_idle.back();
        g_idle.pop_back();
        w->job = std::move(job);
        w->hasJob = true;
        w->cv.notify_one();
        return true;
    }
    if (g_workers >= SESSION_WORKERS_MAX) {
        g_waiting.push_back(std::move(job));
        return true;
    }
    int rc = StartWorker(&job);
    if (rc == 0) return true;
    shutdown(job.socket.Get(), SHUT_RDWR);
    err = ErrnoText(rc);
    return false;  // job's owner closes the connection
}

void StartSessionWorkers() {
    std::lock_guard<std::mutex> lock(g_mutex);
    while (g_workers < SESSION_WORKERS_MIN)
        if (StartWorker(nullptr) != 0) break;
}

int SessionWorkerCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_workers;
}

int IdleSessionWorkerCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<int>(g_idle.size());
}
