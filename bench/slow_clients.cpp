// zel-slow-clients: what slow clients cost a spawned agent, and how the
// monitoring server fares meanwhile.
//
//   zel-slow-clients --spawn build/release/src/daemon/zel [--kind unauth|trickle|idle]
//                    [--clients N] [--seconds S] [--nofile N] [--gap-ms G]
//                    [--sources K] [--probes P]
//
// unauth:  each client announces a 16 MiB packet under a wrong password,
//          sends all of it but 200 bytes, then one byte every G ms (2000).
// trickle: each client sends a request under the right password one byte
//          every G ms (3000).
// idle:    each client connects and sends nothing.
// Clients connect from 127.0.0.1, or spread over the K addresses 127.0.1.1
// to 127.0.1.K, and connect again when the agent closes. Every second P
// GetInfo requests (1) from 127.0.0.2, one after another, measure the
// server's latency; the agent's resident memory, threads and descriptors are
// sampled beside them. At the end the clients close, and the agent's threads
// and descriptors are compared with their idle counts once its idle workers
// have had time to end. Loopback only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/proc_walk.h"
#include "foundation/fd.h"
#include "foundation/io.h"
#include "protocol/client.h"
#include "protocol/packet.h"
#include "zel_bench.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TOptions {
    std::string zel;
    std::string kind = "unauth";
    int clients = 60;
    int seconds = 30;
    long nofile = 0;
    int gapMs = -1;
    int sources = 1;
    int probes = 1;
};

// The source address of client i.
std::string SourceOf(const TOptions& o, size_t i) {
    if (o.sources <= 1) return "127.0.0.1";
    return "127.0.1." + std::to_string(1 + i % static_cast<size_t>(o.sources));
}

TFd Connect(int port, const char* source) {
    TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return fd;
    sockaddr_in src{};
    src.sin_family = AF_INET;
    inet_pton(AF_INET, source, &src.sin_addr);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) return TFd();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return TFd();
    return fd;
}

// One GetInfo from 127.0.0.2; milliseconds, or -1 without a reply in 15 s.
double TimedGetInfo(int port, const String& password) {
    const auto start = Clock::now();
    String key = zelbench::RandomKey(16);
    String packet = BuildRequestPacket(password, key, BuildRequestText("GetInfo", TStrList()));
    TFd fd = Connect(port, "127.0.0.2");
    if (!fd.Valid()) return -1;
    timeval tv{15, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    String err;
    if (!SendAll(fd.Get(), packet.View(), err)) return -1;
    String got;
    char buf[4096];
    while (!ReplyPacketComplete(got)) {
        ssize_t n = recv(fd.Get(), buf, sizeof buf, 0);
        if (n <= 0) return -1;
        got += String(buf, static_cast<int>(n));
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct TClient {
    TFd fd;
    int sent = 0;  // bytes of `bytes` sent so far
    Clock::time_point next{};
};

bool ParseOptions(int argc, char** argv, TOptions& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s needs a value\n", name);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--spawn") o.zel = value("--spawn");
        else if (a == "--kind") o.kind = value("--kind");
        else if (a == "--clients") o.clients = atoi(value("--clients"));
        else if (a == "--seconds") o.seconds = atoi(value("--seconds"));
        else if (a == "--nofile") o.nofile = atol(value("--nofile"));
        else if (a == "--gap-ms") o.gapMs = atoi(value("--gap-ms"));
        else if (a == "--sources") o.sources = atoi(value("--sources"));
        else if (a == "--probes") o.probes = atoi(value("--probes"));
        else return false;
    }
    if (o.gapMs < 0) o.gapMs = o.kind == "unauth" ? 2000 : 3000;
    return !o.zel.empty() && (o.kind == "unauth" || o.kind == "trickle" || o.kind == "idle") && o.clients > 0 &&
           o.seconds > 0 && o.sources >= 1 && o.sources <= 254 && o.probes >= 1;
}

}  // namespace

int main(int argc, char** argv) {
    TOptions o;
    if (!ParseOptions(argc, argv, o)) {
        fprintf(stderr,
                "usage: zel-slow-clients --spawn <zel> [--kind unauth|trickle|idle] [--clients N] [--seconds S] "
                "[--nofile N] [--gap-ms G] [--sources K] [--probes P]\n");
        return 2;
    }
    zelbench::TSpawnedAgent agent;
    std::string err;
    if (!agent.Start(o.zel, err)) {
        fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    if (o.nofile > 0) {
        rlimit old{};
        prlimit(agent.Pid(), RLIMIT_NOFILE, nullptr, &old);
        rlimit lim{static_cast<rlim_t>(o.nofile), old.rlim_max};
        if (prlimit(agent.Pid(), RLIMIT_NOFILE, &lim, nullptr) != 0) {
            perror("prlimit");
            return 1;
        }
    }
    const pid_t pid = agent.Pid();
    const int idleThreads = proc_walk::ThreadCount(pid), idleFds = proc_walk::OpenDescriptorCount(pid);
    printf("idle: rss %ld kB, threads %d, descriptors %d\n", zelbench::ResidentKb(agent.Pid()), idleThreads,
           idleFds);

    // What each client sends: all of `bytes`, the first `burst` at once.
    String bytes;
    int burst = 0;
    if (o.kind == "unauth") {
        const uint32_t declared = static_cast<uint32_t>(kMaxRequestPacket - 4);
        String head;
        for (int i = 0; i < 4; ++i) head.AddChar(static_cast<char>(declared >> (8 * i)));
        head.AddChar(static_cast<char>(kPacketSignature1));
        head.AddChar(static_cast<char>(kPacketSignature2));
        String proof = EncodePswd("not the password");
        head += EncodeLength(proof, 2);
        head += proof;
        bytes = head;
        bytes += String(std::string(kMaxRequestPacket - head.Length(), 'x'));
        burst = bytes.Length() - 200;
    } else if (o.kind == "trickle") {
        bytes = BuildRequestPacket(agent.Password(), zelbench::RandomKey(16),
                                   BuildRequestText("GetInfo", TStrList()));
    }

    std::vector<TClient> clients(static_cast<size_t>(o.clients));
    long maxRss = 0;
    int maxThreads = 0, maxFds = 0;
    std::vector<double> latencies;
    int noReply = 0;
    long reconnects = 0;
    const auto end = Clock::now() + std::chrono::seconds(o.seconds);
    auto nextProbe = Clock::now();
    while (Clock::now() < end) {
        const auto now = Clock::now();
        int open = 0;
        for (size_t i = 0; i < clients.size(); ++i) {
            TClient& c = clients[i];
            if (!c.fd.Valid()) {
                c.fd = Connect(agent.Port(), SourceOf(o, i).c_str());
                c.sent = 0;
                c.next = now;
                ++reconnects;
                if (!c.fd.Valid()) continue;
            }
            ++open;
            if (bytes.IsEmpty()) {
                char probe;
                ssize_t r = recv(c.fd.Get(), &probe, 1, MSG_DONTWAIT | MSG_PEEK);
                if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) c.fd.Reset();
                continue;
            }
            if (now < c.next || c.sent >= bytes.Length()) continue;
            int want = c.sent < burst ? burst - c.sent : 1;
            ssize_t n = send(c.fd.Get(), bytes.Data() + c.sent, static_cast<size_t>(want), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) c.sent += static_cast<int>(n);
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) c.fd.Reset();
            if (c.sent >= burst) c.next = now + std::chrono::milliseconds(o.gapMs);
            // A closed connection shows on the next send; look for it now.
            char probe;
            ssize_t r = recv(c.fd.Get(), &probe, 1, MSG_DONTWAIT | MSG_PEEK);
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) c.fd.Reset();
        }
        if (now >= nextProbe) {
            nextProbe = now + std::chrono::seconds(1);
            long rss = zelbench::ResidentKb(agent.Pid());
            int threads = proc_walk::ThreadCount(pid), fds = proc_walk::OpenDescriptorCount(pid);
            maxRss = std::max(maxRss, rss);
            maxThreads = std::max(maxThreads, threads);
            maxFds = std::max(maxFds, fds);
            double ms = -1;
            for (int k = 0; k < o.probes; ++k) {
                ms = TimedGetInfo(agent.Port(), agent.Password());
                if (ms < 0) ++noReply;
                else latencies.push_back(ms);
            }
            printf("t+%2llds: rss %7ld kB, threads %4d, descriptors %4d, clients connected %4d, GetInfo %s\n",
                   static_cast<long long>(o.seconds) -
                       std::chrono::duration_cast<std::chrono::seconds>(end - Clock::now()).count(),
                   rss, threads, fds, open, ms < 0 ? "no reply" : (std::to_string(static_cast<int>(ms)) + " ms").c_str());
            fflush(stdout);
        }
        poll(nullptr, 0, o.kind == "unauth" ? 5 : 20);
    }
    std::sort(latencies.begin(), latencies.end());
    printf("max: rss %ld kB, threads %d, descriptors %d; connects %ld; GetInfo: %zu answered, %d without reply",
           maxRss, maxThreads, maxFds, reconnects, latencies.size(), noReply);
    if (!latencies.empty())
        printf(", median %.1f ms, p99 %.1f ms, max %.1f ms", latencies[latencies.size() / 2],
               latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)], latencies.back());
    printf("\n");

    // The clients leave; the sessions end and the idle workers follow.
    clients.clear();
    const auto settle = Clock::now() + std::chrono::seconds(20);
    int threads = 0, fds = 0;
    do {
        poll(nullptr, 0, 250);
        threads = proc_walk::ThreadCount(pid);
        fds = proc_walk::OpenDescriptorCount(pid);
    } while ((threads > idleThreads + 1 || fds > idleFds) && Clock::now() < settle);
    poll(nullptr, 0, 2000);  // the agent gives freed memory back on its next pass
    printf("after: rss %ld kB, threads %d (idle %d), descriptors %d (idle %d)\n", zelbench::ResidentKb(agent.Pid()),
           threads, idleThreads, fds, idleFds);
    return 0;
}
