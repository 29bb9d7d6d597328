// zel-bench: a load generator for the agent and a floor server to compare
// it with. Shared declarations of its parts.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "foundation/qdstring.h"

namespace zelbench {

// One prepared request: its packet and the session key it was built with.
struct TPrepared {
    String packet;
    String sessionKey;
};

// A fresh random session key of `n` printable characters.
String RandomKey(int n);

// A pool of `count` packets for one request text, each under its own key.
std::vector<TPrepared> PreparePackets(const String& password, const String& requestText, int count);

// Where the load goes and how much of it.
struct TLoadPlan {
    std::string host = "127.0.0.1";
    int port = 0;
    int requests = 0;     // N
    int concurrency = 1;  // C connections in flight
    int threads = 1;      // client threads sharing the C connections
    int decodeEvery = 0;  // decode one reply in this many (0: none)
    String expectCode;    // reply code a decoded reply must carry
};

struct TLoadResult {
    int done = 0;
    int failures = 0;
    double seconds = 0;
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
    std::string firstError;
    std::vector<double> latenciesMs;  // sorted
    double Rate() const { return seconds > 0 ? done / seconds : 0; }
};

// Adds the exchanges of `part` (a run of the same kind) to `total` and
// recomputes its figures.
void MergeLoad(TLoadResult& total, const TLoadResult& part);

// Sends plan.requests exchanges, one connection each, at most
// plan.concurrency at a time. An exchange succeeds when the whole reply
// packet (as its length field announces) arrives and the peer then closes.
TLoadResult RunLoad(const TLoadPlan& plan, const std::vector<TPrepared>& pool);

// One blocking exchange; on success `reply` holds the reply packet.
bool Exchange(const std::string& host, int port, const String& packet, String& reply, std::string& err);

// The minimal server of the floor measurement: accepts on 127.0.0.1, one
// thread per connection, reads one request packet, writes `reply`, closes.
class TFloorServer {
public:
    TFloorServer() = default;
    TFloorServer(const TFloorServer&) = delete;
    TFloorServer& operator=(const TFloorServer&) = delete;
    ~TFloorServer() { Stop(); }
    bool Start(const String& reply, std::string& err);
    void Stop();
    int Port() const { return port_; }

private:
    void AcceptLoop();
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    String reply_;
};

// An agent started by zel-bench with a temporary configuration on a free
// loopback port; stopped and cleaned up by the destructor.
class TSpawnedAgent {
public:
    TSpawnedAgent() = default;
    TSpawnedAgent(const TSpawnedAgent&) = delete;
    TSpawnedAgent& operator=(const TSpawnedAgent&) = delete;
    ~TSpawnedAgent() { Stop(); }
    bool Start(const std::string& zelPath, std::string& err);
    void Stop();
    int Port() const { return port_; }
    const String& Password() const { return password_; }
    pid_t Pid() const { return pid_; }
    const std::string& Dir() const { return dir_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    String password_;
    std::string dir_;
};

// VmRSS of the process in kB, -1 when unknown.
long ResidentKb(pid_t pid);

// Samples ResidentKb every few milliseconds until stopped; keeps the max.
class TRssSampler {
public:
    explicit TRssSampler(pid_t pid);
    ~TRssSampler();
    long MaxKb();

private:
    pid_t pid_;
    std::atomic<bool> stop_{false};
    std::atomic<long> max_{-1};
    std::thread thread_;
};

// A free TCP port on 127.0.0.1 (bound, read, released), 0 on failure.
int FreeLoopbackPort();

}  // namespace zelbench
