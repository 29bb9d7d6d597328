// zel-bench: requests per second and latency of the agent under load, next
// to the floor of the same exchange (a server that only moves the bytes).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/twofish.h"
#include "protocol/client.h"
#include "zel_bench.h"

namespace {

using namespace zelbench;

constexpr int kPoolSize = 256;

const char kUsage[] =
    "usage: zel-bench [-H HOST] [-p PORT] [-P PASSWORD] [-n N] [-c C[,C...]] [-t THREADS] [-r ROUNDS]\n"
    "                 [--spawn PATH_TO_ZEL] [--floor | --no-floor | --baseline WORD] [--verify]\n"
    "                 [--command WORD [PARAMS...]]\n"
    "       zel-bench (-p PORT | --spawn PATH) --peer-port PORT [--peer-pid PID] [--pid PID]\n"
    "                 [--pair KEY=WORD[ PARAM...]]... [-n N] [-c C,...] [-t THREADS] [-r ROUNDS] [--verify]\n"
    "       zel-bench --startup RUNS --exec 'ZEL ARGS' -p PORT --peer-exec 'PEER ARGS' --peer-port PORT\n"
    "                 [--pair KEY=...]\n"
    "       zel-bench --once -p PORT [--command WORD [PARAMS...]] | --once-plain KEY -p PORT\n"
    "  -H HOST      agent address, dotted IPv4 (default 127.0.0.1)\n"
    "  -p PORT      agent port (not with --spawn)\n"
    "  -P PASSWORD  agent password (default: $ZEL_PASSWORD, else empty)\n"
    "  -n N         requests per run (default 20000)\n"
    "  -c C,...     concurrent connections, one run each (default 1,16,64)\n"
    "  -t THREADS   client threads sharing the connections (default 1)\n"
    "  -r ROUNDS    agent and floor take turns in this many rounds of N/ROUNDS (default 4)\n"
    "  --spawn PATH start this agent binary (zel -i, stdout to /dev/null) with a temporary\n"
    "               configuration on a free loopback port, report its resident memory\n"
    "  --floor      also measure the floor server (the default); --no-floor skips it\n"
    "  --baseline WORD  instead of the floor, the same agent answering the request WORD\n"
    "               (no parameters), e.g. an unknown command word\n"
    "  --verify     decode every reply and check its code (default: one in 64)\n"
    "  --command    the command word and its parameters; must come last (default GetInfo)\n"
    "Beside a plaintext agent (one request per connection: \"ZBXD\" 0x01, 8-byte length, key):\n"
    "  --peer-port PORT  its port on HOST; the loads alternate between the two agents\n"
    "  --peer-pid PID    its main process: CPU time and memory summed over it and its children\n"
    "  --pid PID         the zel agent's process (with -p; --spawn knows its own)\n"
    "  --pair KEY=WORD[ PARAM...]  one load: the peer's item key against zel's request\n"
    "               (parameters split on spaces; repeatable; default agent.ping=GetInfo)\n"
    "  --startup RUNS    start each program RUNS times (no shell; arguments split on spaces),\n"
    "               time fork to the first answered request (zel GetInfo, the first pair's key),\n"
    "               stop it by pid; --exec starts zel, --peer-exec the peer\n"
    "  --once       one exchange with zel, prints the reply text; --once-plain KEY the same\n"
    "               with the plaintext agent on -p PORT\n";

struct TOptions {
    std::string host = "127.0.0.1";
    int port = 0;
    String password;
    int requests = 20000;
    std::vector<int> concurrency{1, 16, 64};
    int threads = 1;
    std::string spawn;
    bool floor = true;
    bool verify = false;
    int rounds = 4;
    String command = "GetInfo";
    TStrList params;
    String baseline;  // a request of the same agent to compare with, instead of the floor
    bool roundsGiven = false;
    // Beside a plaintext agent.
    int peerPort = 0;
    int peerPid = -1;
    int pid = -1;
    std::vector<TPeerPair> pairs;
    int startupRuns = 0;
    std::string exec, peerExec;
    bool once = false;
    String oncePlain;
};

std::vector<std::string> SplitArgs(const std::string& s) {
    std::vector<std::string> argv;
    std::stringstream in(s);
    std::string word;
    while (in >> word) argv.push_back(word);
    return argv;
}

bool ParseInt(const char* s, int lo, int hi, int& out) {
    char* end = nullptr;
    long v = strtol(s, &end, 10);
    if (end == s || *end != '\0' || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

bool ParseList(const char* s, std::vector<int>& out) {
    out.clear();
    std::stringstream in(s);
    std::string item;
    while (std::getline(in, item, ',')) {
        int v = 0;
        if (!ParseInt(item.c_str(), 1, 100000, v)) return false;
        out.push_back(v);
    }
    return !out.empty();
}

bool ParseOptions(int argc, char** argv, TOptions& o) {
    if (const char* env = getenv("ZEL_PASSWORD")) o.password = env;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needValue = [&]() {
            if (value == nullptr) fprintf(stderr, "zel-bench: %s needs a value\n", a.c_str());
            ++i;
            return value != nullptr;
        };
        if (a == "-H") {
            if (!needValue()) return false;
            o.host = value;
        } else if (a == "-p") {
            if (!needValue() || !ParseInt(value, 1, 65535, o.port)) return false;
        } else if (a == "-P") {
            if (!needValue()) return false;
            o.password = value;
        } else if (a == "-n") {
            if (!needValue() || !ParseInt(value, 1, 100000000, o.requests)) return false;
        } else if (a == "-c") {
            if (!needValue() || !ParseList(value, o.concurrency)) return false;
        } else if (a == "-t") {
            if (!needValue() || !ParseInt(value, 1, 64, o.threads)) return false;
        } else if (a == "--spawn") {
            if (!needValue()) return false;
            o.spawn = value;
        } else if (a == "--floor") {
            o.floor = true;
        } else if (a == "--no-floor") {
            o.floor = false;
        } else if (a == "-r") {
            if (!needValue() || !ParseInt(value, 1, 1000, o.rounds)) return false;
            o.roundsGiven = true;
        } else if (a == "--peer-port") {
            if (!needValue() || !ParseInt(value, 1, 65535, o.peerPort)) return false;
        } else if (a == "--peer-pid") {
            if (!needValue() || !ParseInt(value, 1, 1 << 30, o.peerPid)) return false;
        } else if (a == "--pid") {
            if (!needValue() || !ParseInt(value, 1, 1 << 30, o.pid)) return false;
        } else if (a == "--pair") {
            TPeerPair pair;
            if (!needValue()) return false;
            if (!ParsePeerPair(value, pair)) {
                fprintf(stderr, "zel-bench: --pair wants KEY=WORD[ PARAM...], not %s\n", value);
                return false;
            }
            o.pairs.push_back(pair);
        } else if (a == "--startup") {
            if (!needValue() || !ParseInt(value, 1, 100, o.startupRuns)) return false;
        } else if (a == "--exec") {
            if (!needValue()) return false;
            o.exec = value;
        } else if (a == "--peer-exec") {
            if (!needValue()) return false;
            o.peerExec = value;
        } else if (a == "--once") {
            o.once = true;
        } else if (a == "--once-plain") {
            if (!needValue()) return false;
            o.oncePlain = value;
        } else if (a == "--baseline") {
            if (!needValue()) return false;
            o.baseline = value;
        } else if (a == "--verify") {
            o.verify = true;
        } else if (a == "--command") {
            if (!needValue()) return false;
            o.command = value;
            for (++i; i < argc; ++i) o.params.Add(argv[i]);
        } else {
            fprintf(stderr, "zel-bench: unknown option %s\n", a.c_str());
            return false;
        }
    }
    if (o.startupRuns > 0 && (o.exec.empty() || o.peerExec.empty() || o.port == 0 || o.peerPort == 0)) {
        fprintf(stderr, "zel-bench: --startup needs --exec, --peer-exec, -p and --peer-port\n");
        return false;
    }
    if (o.spawn.empty() && o.port == 0) {
        fprintf(stderr, "zel-bench: give -p PORT or --spawn PATH_TO_ZEL\n");
        return false;
    }
    return true;
}

std::string Kb(long kb) {
    if (kb < 0) return "n/a";
    char s[48];
    snprintf(s, sizeof s, "%ld kB (%.1f MB)", kb, kb / 1024.0);
    return s;
}

void PrintRow(const char* who, int c, const TLoadResult& r) {
    printf("%-6s C=%-3d %9.0f req/s  p50 %7.3f ms  p99 %7.3f ms  max %8.3f ms  ok %d  failures %d\n", who, c,
           r.Rate(), r.p50Ms, r.p99Ms, r.maxMs, r.done, r.failures);
    if (r.failures > 0) printf("       first failure: %s\n", r.firstError.c_str());
}

TPeerPlan MakePeerPlan(const TOptions& o) {
    TPeerPlan plan;
    plan.host = o.host;
    plan.zelPort = o.port;
    plan.password = o.password;
    plan.zelPid = o.pid;
    plan.peerPort = o.peerPort;
    plan.peerPid = o.peerPid;
    plan.requests = o.requests;
    plan.concurrency = o.concurrency;
    plan.threads = o.threads;
    plan.rounds = o.roundsGiven ? o.rounds : 3;
    plan.verify = o.verify;
    plan.pairs = o.pairs;
    if (plan.pairs.empty()) {
        TPeerPair pair;
        ParsePeerPair("agent.ping=GetInfo", pair);
        plan.pairs.push_back(pair);
    }
    return plan;
}

// One exchange, its reply text on stdout: a query client's call, for timing
// beside other clients.
int RunOnce(const TOptions& o) {
    if (o.once) {
        // Light as a query client: no pool of locked memory for the keys
        // (hundreds of mmap/mlock calls) and the cipher's short
        // self-check, before any cipher object exists; an operator's own
        // pool setting wins. Nothing is spawned from here, so no agent
        // inherits the setting.
        setenv("BOTAN_MLOCK_POOL_SIZE", "0", 0);
        Twofish_initialise_quick();
    }
    if (!o.oncePlain.IsEmpty()) {
        std::string value, err;
        if (!PlainExchange(o.host, o.port, o.oncePlain, value, err)) {
            fprintf(stderr, "zel-bench: %s\n", err.c_str());
            return 1;
        }
        printf("%s\n", value.c_str());
        return 0;
    }
    const String key = RandomKey(16);
    const String packet = BuildRequestPacket(o.password, key, BuildRequestText(o.command, o.params));
    String reply, text, err;
    std::string why;
    if (packet.IsEmpty() || !Exchange(o.host, o.port, packet, reply, why) ||
        !DecodeReplyPacket(reply, key, text, err)) {
        fprintf(stderr, "zel-bench: %s%s\n", why.c_str(), err.Data());
        return 1;
    }
    fwrite(text.Data(), 1, static_cast<size_t>(text.Length()), stdout);
    return 0;
}

int Run(const TOptions& o) {
    if (o.once || !o.oncePlain.IsEmpty()) return RunOnce(o);
    if (o.startupRuns > 0) {
        TPeerPlan plan = MakePeerPlan(o);
        return RunStartup(SplitArgs(o.exec), SplitArgs(o.peerExec), plan, plan.pairs[0].key, o.startupRuns);
    }
    std::unique_ptr<TSpawnedAgent> agent;
    std::string host = o.host;
    int port = o.port;
    String password = o.password;
    if (!o.spawn.empty()) {
        agent = std::make_unique<TSpawnedAgent>();
        std::string err;
        if (!agent->Start(o.spawn, err)) {
            fprintf(stderr, "zel-bench: %s\n", err.c_str());
            return 1;
        }
        host = "127.0.0.1";
        port = agent->Port();
        password = agent->Password();
        printf("agent: %s -i %s/zel.cfg (pid %d, port %d, stdout to /dev/null, logsuccess=0)\n", o.spawn.c_str(),
               agent->Dir().c_str(), static_cast<int>(agent->Pid()), port);
    }

    if (o.peerPort > 0) {
        TPeerPlan plan = MakePeerPlan(o);
        plan.host = host;
        plan.zelPort = port;
        plan.password = password;
        if (agent) plan.zelPid = agent->Pid();
        return RunPeerComparison(plan);
    }

    const String requestText = BuildRequestText(o.command, o.params);
    std::vector<TPrepared> pool = PreparePackets(password, requestText, kPoolSize);
    if (pool.empty()) {
        fprintf(stderr, "zel-bench: the request does not fit in a packet\n");
        return 1;
    }

    // One exchange first: the reply's code and size, which the floor copies.
    String reply, text, err;
    std::string why;
    if (!Exchange(host, port, pool[0].packet, reply, why)) {
        fprintf(stderr, "zel-bench: probe request failed: %s\n", why.c_str());
        return 1;
    }
    if (!DecodeReplyPacket(reply, pool[0].sessionKey, text, err)) {
        fprintf(stderr, "zel-bench: probe reply undecodable: %s\n", err.Data());
        return 1;
    }
    String code = text.Copy(1, 3);
    int lf = text.Pos('\n');
    String second = lf > 0 ? text.Copy(lf + 1, text.Length() - lf).GetWord(1, '\n') : String();
    printf("command: %s (%d params)  request packet %d bytes  reply packet %d bytes, code %s %s\n",
           o.command.Data(), o.params.Count(), pool[0].packet.Length(), reply.Length(), code.Data(),
           second.Data());

    // The baseline: another request of the same agent, probed the same way.
    const bool useBaseline = !o.baseline.IsEmpty();
    std::vector<TPrepared> basePool;
    String baseCode;
    if (useBaseline) {
        basePool = PreparePackets(password, BuildRequestText(o.baseline, TStrList()), kPoolSize);
        String baseReply, baseText;
        if (basePool.empty() || !Exchange(host, port, basePool[0].packet, baseReply, why) ||
            !DecodeReplyPacket(baseReply, basePool[0].sessionKey, baseText, err)) {
            fprintf(stderr, "zel-bench: baseline probe failed: %s\n", why.c_str());
            return 1;
        }
        baseCode = baseText.Copy(1, 3);
        printf("baseline: %s  reply packet %d bytes, code %s\n", o.baseline.Data(), baseReply.Length(),
               baseCode.Data());
    }
    const bool compare = o.floor || useBaseline;
    const char* otherName = useBaseline ? "base" : "floor";

    TFloorServer floor;
    if (o.floor && !useBaseline && !floor.Start(reply, why)) {
        fprintf(stderr, "zel-bench: %s\n", why.c_str());
        return 1;
    }

    long idleKb = -1;
    if (agent) {
        usleep(300000);
        idleKb = ResidentKb(agent->Pid());
        printf("agent RSS idle: %s\n", Kb(idleKb).c_str());
    }
    printf("N=%d per run in %d alternating rounds, %d client thread(s), %s\n\n", o.requests, o.rounds, o.threads,
           o.verify ? "every reply decoded" : "one reply in 64 decoded, all checked for length");

    struct TRow {
        int c;
        TLoadResult agent, floor;
        long rssKb;
    };
    std::vector<TRow> rows;
    for (int c : o.concurrency) {
        TLoadPlan plan;
        plan.host = host;
        plan.port = port;
        plan.concurrency = c;
        plan.threads = o.threads;
        plan.decodeEvery = o.verify ? 1 : 64;
        plan.expectCode = code;
        // Warm up caches, thread stacks and the allocator before measuring.
        plan.requests = std::min(o.requests, 500);
        RunLoad(plan, pool);

        TRow row{c, {}, {}, -1};
        // Agent and floor take turns, so that a change in the machine's
        // load falls on both alike.
        std::optional<TRssSampler> sampler;
        if (agent) sampler.emplace(agent->Pid());
        TLoadPlan fspec = plan;
        const std::vector<TPrepared>& otherPool = useBaseline ? basePool : pool;
        if (useBaseline) {
            fspec.expectCode = baseCode;
        } else {
            fspec.host = "127.0.0.1";
            fspec.port = floor.Port();
            fspec.decodeEvery = 0;  // the floor's reply was made for another key
        }
        if (compare) {
            fspec.requests = std::min(o.requests, 500);
            RunLoad(fspec, otherPool);
        }
        for (int round = 0; round < o.rounds; ++round) {
            int share = o.requests / o.rounds + (round < o.requests % o.rounds ? 1 : 0);
            plan.requests = fspec.requests = share;
            MergeLoad(row.agent, RunLoad(plan, pool));
            if (compare) MergeLoad(row.floor, RunLoad(fspec, otherPool));
        }
        if (sampler) row.rssKb = sampler->MaxKb();
        sampler.reset();
        PrintRow("agent", c, row.agent);
        if (compare) {
            PrintRow(otherName, c, row.floor);
            printf("       ratio agent/%s %.2f\n", otherName,
                   row.floor.Rate() > 0 ? row.agent.Rate() / row.floor.Rate() : 0);
        }
        if (agent) printf("       agent RSS max during the run: %s\n", Kb(row.rssKb).c_str());
        rows.push_back(row);
    }

    printf("\n| command | C | agent req/s | %s req/s | ratio | agent p50/p99/max ms | %s p50/p99/max ms "
           "| failures | agent RSS max |\n|---|---|---|---|---|---|---|---|---|\n",
           useBaseline ? o.baseline.Data() : "floor", useBaseline ? o.baseline.Data() : "floor");
    for (const TRow& r : rows) {
        printf("| %s | %d | %.0f | %.0f | %.2f | %.3f / %.3f / %.3f | %.3f / %.3f / %.3f | %d / %d | %s |\n",
               o.command.Data(), r.c, r.agent.Rate(), r.floor.Rate(),
               r.floor.Rate() > 0 ? r.agent.Rate() / r.floor.Rate() : 0, r.agent.p50Ms, r.agent.p99Ms,
               r.agent.maxMs, r.floor.p50Ms, r.floor.p99Ms, r.floor.maxMs, r.agent.failures, r.floor.failures,
               r.rssKb < 0 ? "n/a" : Kb(r.rssKb).c_str());
    }
    if (agent) {
        usleep(300000);
        printf("\nagent RSS idle at start: %s, idle after the runs: %s\n", Kb(idleKb).c_str(),
               Kb(ResidentKb(agent->Pid())).c_str());
    }
    int failures = 0;
    for (const TRow& r : rows) failures += r.agent.failures + r.floor.failures;
    return failures == 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    TOptions options;
    if (argc < 2 || !ParseOptions(argc, argv, options)) {
        fputs(kUsage, stderr);
        return 1;
    }
    return Run(options);
}
