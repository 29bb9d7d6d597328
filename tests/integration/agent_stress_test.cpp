// Bounded load on the running agent: many concurrent requests, many idle
// connections, clients that vanish and random bytes. Afterwards the agent
// must be back to its idle state: one active connection (the asking one),
// and as many open descriptors and threads as before the load.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "common/proc_walk.h"
#include "daemon/session_pool.h"
#include "integration/agent_harness.h"
#include "protocol/client.h"

namespace zelit {
namespace {

// A ThreadSanitizer build's runtime starts one thread of its own in the
// agent along with the agent's first thread, and keeps it: it may or may not
// be there yet when the idle figures are taken.
#if defined(__SANITIZE_THREAD__)
constexpr int kSanitizerThreads = 1;
#else
constexpr int kSanitizerThreads = 0;
#endif

// Runs body(thread index) on `threads` threads and waits for them all.
template <class F>
void RunConcurrently(int threads, F body) {
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back(body, t);
    for (auto& th : pool) th.join();
}

class AgentStress : public ::testing::Test {
protected:
    void SetUp() override {
        TAgentConfig cfg;
        // A short idle time-out; no success log, to keep the load on the
        // sessions rather than on log appends.
        cfg.extraLines = {"timeout=1000", "logsuccess=0"};
        cfg.verbose = false;
        agent = std::make_unique<TAgent>(cfg);
        ASSERT_TRUE(agent->Start()) << agent->StartError();
        // The idle figures, before any connection.
        idleDescriptors = OpenDescriptorCount(agent->Pid());
        idleThreads = ThreadCount(agent->Pid());
        ASSERT_GT(idleDescriptors, 0);
        ASSERT_GT(idleThreads, 0);
    }

    void TearDown() override {
        if (agent) {
            EXPECT_EQ(agent->SanitizerReport(), "");
        }
    }

    // One GetInfo; "" when it got no reply.
    std::string Info(const char* name) {
        TReply r = agent->Exchange("GetInfo");
        return r.replied ? ReplyValue(r.text, name) : std::string();
    }

    void ExpectBackToIdle() {
        EXPECT_TRUE(WaitFor([&] { return Info("ActiveConnections") == "1"; }, 20000))
            << "ActiveConnections=" << Info("ActiveConnections");
        bool idle = WaitFor(
            [&] {
                const int threads = ThreadCount(agent->Pid());
                return OpenDescriptorCount(agent->Pid()) == idleDescriptors && threads >= idleThreads &&
                       threads <= idleThreads + kSanitizerThreads;
            },
            20000);
        EXPECT_TRUE(idle) << "descriptors " << OpenDescriptorCount(agent->Pid()) << " (idle " << idleDescriptors
                          << "), threads " << ThreadCount(agent->Pid()) << " (idle " << idleThreads << ")";
        EXPECT_TRUE(agent->Running());
    }

    std::unique_ptr<TAgent> agent;
    int idleDescriptors = 0;
    int idleThreads = 0;
};

TEST_F(AgentStress, ThousandsOfRequestsOverConcurrentConnections) {
    constexpr int kThreads = 64;
    constexpr int kPerThread = 40;
    std::atomic<int> ok{0};
    std::atomic<int> failed{0};
    std::string firstFailure;
    std::mutex failureMutex;
    RunConcurrently(kThreads, [&](int) {
        for (int i = 0; i < kPerThread; ++i) {
            TReply r = agent->Exchange("GetInfo");
            if (r.replied && ReplyCode(r.text) == "200") {
                ++ok;
            } else {
                ++failed;
                std::lock_guard<std::mutex> lock(failureMutex);
                if (firstFailure.empty()) firstFailure = r.replied ? r.text.Std() : r.error;
            }
        }
    });
    EXPECT_EQ(ok.load(), kThreads * kPerThread);
    EXPECT_EQ(failed.load(), 0) << firstFailure;
    ExpectBackToIdle();
    // Each request was a session of its own (plus the ones asking since).
    EXPECT_GE(std::atoi(Info("OpenedConnections").c_str()), kThreads * kPerThread + 2);
}

// A burst of 200 connections at once, some of them stuck in a program that
// runs longer than an idle worker waits before it ends: every other request
// is answered while those still run, they answer in the end, and afterwards
// the agent is back to its idle threads and descriptors.
TEST_F(AgentStress, ABurstWithSessionsStuckInASlowProgram) {
    constexpr int kClients = 200;
    constexpr int kSlowEvery = 20;  // 10 slow ones
    const std::string slowProgram = "sleep " + std::to_string(kSessionWorkerIdleExit.count() + 2);
    std::atomic<int> quickOk{0}, quickBeforeSlow{0}, slowOk{0};
    std::atomic<bool> slowAnswered{false};
    RunConcurrently(kClients, [&](int t) {
        if (t % kSlowEvery == 0) {
            TClientOptions options;
            options.timeoutMs = 60000;
            TReply r = agent->Exchange("TEST-ExternalPrg", Params({slowProgram, "", "", "60000"}), options);
            slowAnswered = true;
            if (r.replied && ReplyCode(r.text) == "200") ++slowOk;
            return;
        }
        TReply r = agent->Exchange("GetInfo");
        if (r.replied && ReplyCode(r.text) == "200") {
            ++quickOk;
            if (!slowAnswered) ++quickBeforeSlow;
        }
    });
    EXPECT_EQ(slowOk.load(), kClients / kSlowEvery);
    EXPECT_EQ(quickOk.load(), kClients - kClients / kSlowEvery);
    EXPECT_EQ(quickBeforeSlow.load(), quickOk.load());
    ExpectBackToIdle();
}

TEST_F(AgentStress, IdleConnectionsDoNotStopTheService) {
    constexpr int kIdle = 500;
    std::vector<TFd> idle;
    idle.reserve(kIdle);
    // From four addresses other than the requests' own, each below the
    // per-address cap on sessions.
    for (int i = 0; i < kIdle; ++i) {
        idle.push_back(ConnectLoopback(agent->Port(), "127.0.1." + std::to_string(1 + i % 4)));
        ASSERT_TRUE(idle.back().Valid()) << i;
    }
    std::atomic<int> ok{0};
    RunConcurrently(8, [&](int) {
        for (int i = 0; i < 25; ++i) {
            TReply r = agent->Exchange("GetInfo");
            if (r.replied && ReplyCode(r.text) == "200") ++ok;
        }
    });
    EXPECT_EQ(ok.load(), 200);
    // Every idle connection is closed by the agent, without a reply.
    int closed = 0;
    for (auto& fd : idle) {
        TReceived got = ReceiveUntilClosed(fd.Get(), 20000);
        if (got.closed && got.data.IsEmpty()) ++closed;
    }
    EXPECT_EQ(closed, kIdle);
    idle.clear();
    ExpectBackToIdle();
}

TEST_F(AgentStress, ClientsThatVanishMidPacket) {
    const String good = MakeRequestPacket(agent->Password(), NewSessionKey(), "GetInfo");
    RunConcurrently(8, [&](int t) {
        for (int i = 0; i < 40; ++i) {
            TFd fd = ConnectLoopback(agent->Port());
            if (!fd.Valid()) continue;
            int cut = 1 + (t * 40 + i) % (good.Length() - 1);
            SendAll(fd.Get(), good.Copy(1, cut));
            if (i % 2 == 0) {
                // A reset instead of an orderly close.
                linger lg{1, 0};
                setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            }
        }
    });
    TReply r = agent->Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
    ExpectBackToIdle();
}

TEST_F(AgentStress, RandomBytesAsPackets) {
    const String good = MakeRequestPacket(agent->Password(), NewSessionKey(), "GetInfo");
    std::atomic<int> unexpectedReplies{0};
    std::atomic<int> notClosed{0};
    RunConcurrently(8, [&](int t) {
        std::mt19937 rng(1000u + static_cast<unsigned>(t));  // the same bytes on every run
        auto byte = [&] { return static_cast<char>(rng() & 0xFF); };
        for (int i = 0; i < 40; ++i) {
            String bytes;
            int kind = i % 3;
            if (kind == 0) {
                // Anything at all, then the end of the stream.
                int n = 1 + static_cast<int>(rng() % 3000);
                for (int k = 0; k < n; ++k) bytes.AddChar(byte());
            } else if (kind == 1) {
                // A well-formed length field followed by noise.
                int n = 1 + static_cast<int>(rng() % 3000);
                char len[4] = {static_cast<char>(n), static_cast<char>(n >> 8), 0, 0};
                bytes = String(len, 4);
                for (int k = 0; k < n; ++k) bytes.AddChar(byte());
            } else {
                // A real packet with a few bytes changed after the password
                // proof: it may even decipher to some request, which gets an
                // answer; what matters is that the agent lives on.
                bytes = good;
                for (int k = 0; k < 3; ++k) {
                    int at = 24 + static_cast<int>(rng() % static_cast<unsigned>(bytes.Length() - 24));
                    bytes.Buffer()[at] = byte();
                }
            }
            TFd fd = ConnectLoopback(agent->Port());
            if (!fd.Valid()) continue;
            SendAll(fd.Get(), bytes);
            shutdown(fd.Get(), SHUT_WR);
            TReceived got = ReceiveUntilClosed(fd.Get(), 20000);
            if (!got.closed) ++notClosed;
            if (kind != 2 && !got.data.IsEmpty()) ++unexpectedReplies;
        }
    });
    EXPECT_EQ(unexpectedReplies.load(), 0);
    EXPECT_EQ(notClosed.load(), 0);
    TReply r = agent->Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(ReplyCode(r.text), "200");
    ExpectBackToIdle();
}

TEST_F(AgentStress, RunningOutOfDescriptorsIsWaitedOut) {
    rlimit old{};
    ASSERT_EQ(prlimit(agent->Pid(), RLIMIT_NOFILE, nullptr, &old), 0);
    const int highest = proc_walk::HighestDescriptor(agent->Pid());
    ASSERT_GE(highest, 3);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(highest + 1);
    ASSERT_EQ(prlimit(agent->Pid(), RLIMIT_NOFILE, &tight, nullptr), 0);

    TReply reply;
    std::thread client([&] { reply = agent->Exchange("GetInfo"); });
    bool refused = agent->WaitForMessage("Accept error: Too many open files\n", 15000);
    ASSERT_EQ(prlimit(agent->Pid(), RLIMIT_NOFILE, &old, nullptr), 0);
    client.join();
    EXPECT_TRUE(refused) << agent->Messages();
    ASSERT_TRUE(reply.replied) << reply.error;
    EXPECT_EQ(ReplyCode(reply.text), "200");
    ExpectBackToIdle();
}

}  // namespace
}  // namespace zelit
