// Session workers: reuse, growth under blocked sessions, shrinking back,
// and a refused thread start.
#include "daemon/session_pool.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

std::atomic<int> g_started{0};
int CountingStarter(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
    ++g_started;
    return pthread_create(t, a, f, arg);
}
int NoThreads(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; }

// A gate that blocked sessions wait at until it opens.
std::mutex g_gateMutex;
std::condition_variable g_gateCv;
bool g_gateOpen = false;
std::atomic<int> g_served{0};

void Quick(TFd, in_addr) { ++g_served; }
void Blocked(TFd, in_addr) {
    std::unique_lock<std::mutex> lock(g_gateMutex);
    g_gateCv.wait(lock, [] { return g_gateOpen; });
    ++g_served;
}

TFd Connection() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return TFd();
    close(pair[1]);
    return TFd(pair[0]);
}

bool Eventually(const std::function<bool()>& f, int ms = 20000) {
    for (int i = 0; i < ms / 10; ++i) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return f();
}

struct StarterGuard {
    ~StarterGuard() { SetSessionThreadStarter(nullptr); }
};

// One process, in order: the cases share the process-wide pool.
TEST(SessionPool, ReusesGrowsAndShrinks) {
    StarterGuard guard;
    SetSessionThreadStarter(CountingStarter);
    StartSessionWorkers();
    ASSERT_EQ(SessionWorkerCount(), SESSION_WORKERS_MIN);
    ASSERT_TRUE(Eventually([] { return IdleSessionWorkerCount() == SESSION_WORKERS_MIN; }));

    // Sequential connections are served by the same worker: no thread start.
    const int before = g_started;
    for (int i = 0; i < 200; ++i) {
        String err;
        ASSERT_TRUE(SubmitSession(Quick, Connection(), in_addr{}, err)) << err.Data();
        ASSERT_TRUE(Eventually([&] { return g_served == i + 1 && IdleSessionWorkerCount() == SessionWorkerCount(); }));
    }
    EXPECT_EQ(g_started - before, 0);

    // A burst of 200 where 20 sessions block: the pool grows, so the other
    // 180 are served while the 20 still wait.
    g_served = 0;
    for (int i = 0; i < 200; ++i) {
        String err;
        ASSERT_TRUE(SubmitSession(i % 10 == 0 ? Blocked : Quick, Connection(), in_addr{}, err)) << err.Data();
    }
    EXPECT_TRUE(Eventually([] { return g_served == 180; }));
    EXPECT_GE(SessionWorkerCount(), 21);
    // The blocked ones outlast the idle period of the others and are not
    // disturbed by the pool shrinking around them.
    std::this_thread::sleep_for(SESSION_WORKER_IDLE_EXIT + std::chrono::seconds(1));
    EXPECT_GE(SessionWorkerCount(), 20);
    {
        std::lock_guard<std::mutex> lock(g_gateMutex);
        g_gateOpen = true;
    }
    g_gateCv.notify_all();
    EXPECT_TRUE(Eventually([] { return g_served == 200; }));
    // After the load the pool shrinks back to its minimum.
    EXPECT_TRUE(Eventually([] { return SessionWorkerCount() == SESSION_WORKERS_MIN; }))
        << SessionWorkerCount() << " workers";
}

// With no worker free and no thread to be had, the connection is closed and
// the reason reported.
TEST(SessionPool, RefusedThreadClosesTheConnection) {
    StarterGuard guard;
    SetSessionThreadStarter(NoThreads);
    ASSERT_EQ(SessionWorkerCount(), 0);  // a fresh process: nothing started yet
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    String err;
    EXPECT_FALSE(SubmitSession(Quick, TFd(pair[0]), in_addr{}, err));
    EXPECT_FALSE(err.IsEmpty());
    char c;
    EXPECT_EQ(read(pair[1], &c, 1), 0);  // the agent's end is closed
    close(pair[1]);
}

}  // namespace
