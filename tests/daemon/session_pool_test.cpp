// Session workers: accepting on a published listener, reuse, growth under
// blocked sessions, shrinking back, a replaced listener, and refused
// thread starts.
#include "daemon/session_pool.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/eventually.h"
#include "common/ipv6_loopback.h"
#include "net/sockets.h"

namespace {

std::atomic<int> g_started{0};
std::atomic<bool> g_threadsAllowed{true};
int CountingStarter(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
    if (!g_threadsAllowed) return EAGAIN;
    ++g_started;
    return pthread_create(t, a, f, arg);
}

// A gate that blocked sessions wait at until it opens.
std::mutex gate_mutex;
std::condition_variable g_gateCv;
bool g_gateOpen = false;
std::atomic<int> g_served{0};

// A session reads one byte: 'b' waits at the gate, anything else is quick.
void Serve(TFd socket, const TNetAddress&) {
    char what = 0;
    if (read(socket.Get(), &what, 1) == 1 && what == 'b') {
        std::unique_lock<std::mutex> lock(gate_mutex);
        g_gateCv.wait(lock, [] { return g_gateOpen; });
    }
    ++g_served;
}

// A loopback listener on a free port.
TFd LoopbackListener(int& port) {
    TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (!fd.Valid() || bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(fd.Get(), 512) != 0 || getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return TFd();
    port = ntohs(sa.sin_port);
    return fd;
}

// Connects to the port and sends one byte; true when both worked.
bool Visit(int port, char what) {
    TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    return fd.Valid() && connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
           write(fd.Get(), &what, 1) == 1;
}

class SessionPool : public testing::Test {
protected:
    void SetUp() override {
        SetSessionThreadStarter(CountingStarter);
        TSessionHooks hooks;
        hooks.serve = Serve;
        SetSessionHooks(hooks);
        listener = LoopbackListener(port);
        ASSERT_TRUE(listener.Valid());
        g_served = 0;
    }
    void TearDown() override {
        String ignored;
        PublishSessionListener(-1, ignored);
        if (listener.Valid()) shutdown(listener.Get(), SHUT_RDWR);
        g_threadsAllowed = true;
        SetSessionThreadStarter(nullptr);
    }
    bool Publish(const TFd& fd) {
        String err;
        bool ok = PublishSessionListener(fd.Get(), err);
        EXPECT_TRUE(ok) << err.Data();
        return ok;
    }
    TFd listener;
    int port = 0;
};

// One process, in order: the cases share the process-wide pool.
TEST_F(SessionPool, ReusesGrowsAndShrinks) {
    ASSERT_TRUE(Publish(listener));
    String err;
    ASSERT_TRUE(StartSessionWorkers(err)) << err.Data();
    ASSERT_EQ(IdleSessionWorkerCount(), kSessionWorkersMin);

    // Sequential connections are served by the workers already there: the
    // first ones start the spares (somebody always waits in accept, also
    // while a worker is on its way back), then no thread starts.
    const int before = g_started;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(Visit(port, 'q'));
        ASSERT_TRUE(Eventually([&] { return g_served == i + 1; }));
    }
    EXPECT_LE(g_started - before, 2);
    EXPECT_LE(SessionWorkerCount(), kSessionWorkersMin + 2);

    // A burst of 200 where 20 sessions block: the pool grows, so the other
    // 180 are served while the 20 still wait.
    g_served = 0;
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(Visit(port, i % 10 == 0 ? 'b' : 'q'));
    EXPECT_TRUE(Eventually([] { return g_served == 180; }));
    EXPECT_GE(SessionWorkerCount(), 21);
    // The blocked ones outlast the idle period of the others and are not
    // disturbed by the pool shrinking around them: the idle workers end
    // down to the minimum, the 20 stay.
    EXPECT_TRUE(Eventually([] { return SessionWorkerCount() == 20 + kSessionWorkersMin; }, std::chrono::seconds(60)))
        << SessionWorkerCount() << " workers";
    EXPECT_EQ(IdleSessionWorkerCount(), kSessionWorkersMin);
    EXPECT_EQ(g_served, 180);
    {
        std::lock_guard<std::mutex> lock(gate_mutex);
        g_gateOpen = true;
    }
    g_gateCv.notify_all();
    EXPECT_TRUE(Eventually([] { return g_served == 200; }));
    // After the load the pool shrinks back to its minimum.
    EXPECT_TRUE(Eventually([] { return SessionWorkerCount() == kSessionWorkersMin; }))
        << SessionWorkerCount() << " workers";
}

// Connections the admission refuses keep their worker idle: a flood of
// them starts no thread.
std::atomic<int> g_refused{0};
bool RefuseAll(TFd& socket, const TNetAddress&) {
    socket.Reset();
    ++g_refused;
    return false;
}

TEST_F(SessionPool, RefusalsStartNoThreads) {
    TSessionHooks hooks;
    hooks.admit = RefuseAll;
    hooks.serve = Serve;
    SetSessionHooks(hooks);
    ASSERT_TRUE(Publish(listener));
    String err;
    ASSERT_TRUE(StartSessionWorkers(err)) << err.Data();
    const int before = g_started;
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(Visit(port, 'q'));
    EXPECT_TRUE(Eventually([] { return g_refused == 200; }));
    EXPECT_EQ(g_started - before, 0);
    EXPECT_EQ(g_served, 0);
}

// A replaced listener: the workers move to the new one as soon as the old
// one is shut down, and nothing is accepted on the old one any more.
TEST_F(SessionPool, WorkersFollowAReplacedListener) {
    ASSERT_TRUE(Publish(listener));
    String err;
    ASSERT_TRUE(StartSessionWorkers(err)) << err.Data();
    ASSERT_TRUE(Visit(port, 'q'));
    ASSERT_TRUE(Eventually([] { return g_served == 1; }));

    int newPort = 0;
    TFd replacement = LoopbackListener(newPort);
    ASSERT_TRUE(replacement.Valid());
    ASSERT_TRUE(Publish(replacement));
    shutdown(listener.Get(), SHUT_RDWR);
    listener.Reset();
    EXPECT_FALSE(Visit(port, 'q'));  // the old port is closed
    ASSERT_TRUE(Visit(newPort, 'q'));
    EXPECT_TRUE(Eventually([] { return g_served == 2; }));

}

// The hooks see the client's address of either family on a listener of
// both: an IPv4 client as its IPv4 address, never as ::ffff:a.b.c.d.
std::mutex peers_mutex;
std::vector<std::string> g_peers;  // guarded by peers_mutex
bool RecordAndRefuse(TFd& socket, const TNetAddress& peer) {
    socket.Reset();
    std::lock_guard<std::mutex> lock(peers_mutex);
    g_peers.push_back(peer.Text().Std());
    return false;
}

TEST_F(SessionPool, HooksSeeTheClientsAddressOfEitherFamily) {
    if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    TSessionHooks hooks;
    hooks.admit = RecordAndRefuse;
    hooks.serve = Serve;
    SetSessionHooks(hooks);
    TFd both;
    String err;
    ASSERT_TRUE(TcpListen("", 0, nullptr, both, err)) << err.Data();
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    ASSERT_EQ(getsockname(both.Get(), reinterpret_cast<sockaddr*>(&sa), &len), 0);
    ASSERT_TRUE(Publish(both));
    ASSERT_TRUE(StartSessionWorkers(err)) << err.Data();
    ASSERT_TRUE(Visit(ntohs(sa.sin6_port), 'q'));
    ASSERT_TRUE(Eventually([] {
        std::lock_guard<std::mutex> lock(peers_mutex);
        return g_peers.size() == 1;
    }));
    TFd v6(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sa.sin6_addr = in6addr_loopback;
    ASSERT_EQ(connect(v6.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_TRUE(Eventually([] {
        std::lock_guard<std::mutex> lock(peers_mutex);
        return g_peers.size() == 2;
    }));
    std::lock_guard<std::mutex> lock(peers_mutex);
    EXPECT_EQ(g_peers, (std::vector<std::string>{"127.0.0.1", "::1"}));
    PublishSessionListener(-1, err);
    shutdown(both.Get(), SHUT_RDWR);
}

// No thread to be had: the start reports why, the connection waits in the
// listen queue, and it is served once a worker can start.
TEST_F(SessionPool, RefusedThreadsLeaveConnectionsWaiting) {
    if (SessionWorkerCount() != 0) GTEST_SKIP() << "needs a process of its own (as ctest runs it)";
    g_threadsAllowed = false;
    ASSERT_TRUE(Publish(listener));
    String err;
    EXPECT_FALSE(StartSessionWorkers(err));
    EXPECT_FALSE(err.IsEmpty());
    EXPECT_EQ(SessionWorkerCount(), 0);
    ASSERT_TRUE(Visit(port, 'q'));
    // Nobody to take it: it waits in the listen queue, unserved.
    pollfd queued{listener.Get(), POLLIN, 0};
    EXPECT_EQ(poll(&queued, 1, 0), 1);
    EXPECT_EQ(SessionWorkerCount(), 0);
    EXPECT_EQ(g_served, 0);

    g_threadsAllowed = true;
    err = String();
    ASSERT_TRUE(StartSessionWorkers(err)) << err.Data();
    EXPECT_TRUE(Eventually([] { return g_served == 1; }));
}

}  // namespace
