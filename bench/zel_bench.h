// zel-bench: a load generator for the agent and a floor server to compare
// it with. Shared declarations of its parts.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
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
    bool plain = false;   // the peer speaks the plaintext passive-check protocol
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

// One blocking connection to host:port (dotted IPv4): sends `request`, then
// reads until the peer closes, waiting at most 10 s for each piece. False
// with err when it cannot connect or send or a piece is late.
bool SendAndReceive(const std::string& host, int port, std::string_view request, std::string& received,
                    std::string& err);

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

// Samples ResidentKb (summed over the processes) every few milliseconds
// until stopped; keeps the max.
class TRssSampler {
public:
    explicit TRssSampler(pid_t pid);
    explicit TRssSampler(std::vector<pid_t> pids);
    ~TRssSampler();
    long MaxKb();

private:
    long Sum() const;
    std::vector<pid_t> pids_;
    std::atomic<bool> stop_{false};
    std::atomic<long> max_{-1};
    std::thread thread_;
};

// A free TCP port on 127.0.0.1 (bound, read, released), 0 on failure.
int FreeLoopbackPort();

// --- Processes (zel_bench_proc.cpp) ---

// `pid` and its descendants, read from /proc; empty when `pid` is gone.
std::vector<pid_t> ProcessTree(pid_t pid);
// utime + stime in clock ticks summed over the processes (all their
// threads), -1 when none could be read.
long long CpuTicks(const std::vector<pid_t>& pids);
// VmRSS and Pss (proportional share, shared pages split) in kB summed over
// the processes, -1 when none could be read.
long ResidentKb(const std::vector<pid_t>& pids);
long ProportionalKb(const std::vector<pid_t>& pids);

// A program started without a shell in its own process group, stdout and
// stderr to `logFile` (or /dev/null when empty); stopped by the destructor:
// SIGTERM to its pid, SIGKILL after `graceMs`, then SIGKILL to whatever of
// its group outlived it.
class TChildProgram {
public:
    TChildProgram() = default;
    TChildProgram(const TChildProgram&) = delete;
    TChildProgram& operator=(const TChildProgram&) = delete;
    ~TChildProgram() { Stop(); }
    bool Start(const std::vector<std::string>& argv, const std::string& logFile, std::string& err);
    void Stop(int graceMs = 5000);
    bool Running();
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// --- The plaintext passive-check protocol (zel_bench_plain.cpp) ---
// A request or reply is "ZBXD", a flags byte (0x01), a little-endian 8-byte
// length (as 4 + 4 bytes; with flag 0x04 as 8 + 8) and the data: the item
// key in a request, its value in a reply. The peer closes after its reply.

String BuildPlainRequest(const String& key);
// Bytes the reply needs in all once its header has arrived, else -1.
int64_t PlainReplySize(const std::string& received);
// A whole, exactly framed reply whose value is not the "not supported"
// answer; `value` gets the value, `why` the reason otherwise.
bool PlainReplyOk(const std::string& received, std::string& value, std::string& why);
// One blocking exchange with the plaintext agent: `value` on success.
bool PlainExchange(const std::string& host, int port, const String& key, std::string& value, std::string& err);

// --- zel beside a plaintext agent (zel_bench_peer.cpp) ---

// One load: zel's command and the peer's key that does the like.
struct TPeerPair {
    String command;
    TStrList params;
    String key;
    std::string Label() const;
};

// Splits "KEY=WORD PARAM..." at the first '=' outside [...]; the zel side
// splits on spaces. False when either side is empty.
bool ParsePeerPair(const std::string& text, TPeerPair& pair);

struct TPeerPlan {
    std::string host = "127.0.0.1";
    int zelPort = 0;
    String password;
    pid_t zelPid = -1;  // for CPU and memory (its process tree); -1: not measured
    int peerPort = 0;
    pid_t peerPid = -1;
    int requests = 20000;
    std::vector<int> concurrency{1, 16, 64};
    int threads = 1;
    int rounds = 3;
    bool verify = false;
    std::vector<TPeerPair> pairs;
};

// Runs each pair at each C on both agents in alternating rounds; prints the
// progress and a table. 0 when every exchange succeeded.
int RunPeerComparison(const TPeerPlan& plan);

// Starts each program `runs` times (zel and peer in turn), times fork to the
// first answered request (zel: GetInfo on zelPort; peer: `key` on
// peerPort), stops it by pid; prints the median as a table row.
int RunStartup(const std::vector<std::string>& zelArgv, const std::vector<std::string>& peerArgv,
               const TPeerPlan& plan, const String& key, int runs);

}  // namespace zelbench
