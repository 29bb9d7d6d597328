// zel beside a plaintext agent: the same client loop, the same loads, one
// table. The peer answers its own protocol (zel_bench_plain.cpp); both are
// measured from outside (/proc) the same way.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <sstream>

#include "protocol/client.h"
#include "zel_bench.h"

namespace zelbench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPoolSize = 256;

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// What one agent did under one load.
struct TSide {
    TLoadResult load;            // all rounds merged
    std::vector<double> rates;   // per round
    long long ticks = 0;         // server CPU over all rounds
    bool ticksKnown = true;
    long rssMaxKb = -1;
    double MedianRate() const { return Median(rates); }
    // Server CPU time per answered request in microseconds, <0 when unknown.
    double CpuMicros() const {
        if (!ticksKnown || load.done == 0) return -1;
        return static_cast<double>(ticks) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK)) / load.done;
    }
};

std::string Num(double v, const char* format = "%.0f") {
    if (v < 0) return "n/a";
    char s[64];
    snprintf(s, sizeof s, format, v);
    return s;
}

std::string Ratio(double a, double b) {
    if (a < 0 || b <= 0) return "";
    return Num(a / b, "%.2f");
}

void Row(const std::string& load, const std::string& c, const std::string& measure, const std::string& zel,
         const std::string& peer, const std::string& ratio) {
    printf("| %s | %s | %s | %s | %s | %s |\n", load.c_str(), c.c_str(), measure.c_str(), zel.c_str(),
           peer.c_str(), ratio.c_str());
}

// One load on one side, with the server's CPU time around it.
void Measure(TSide& side, const TLoadPlan& plan, const std::vector<TPrepared>& pool, const std::vector<pid_t>& tree) {
    const long long before = tree.empty() ? -1 : CpuTicks(tree);
    TLoadResult r = RunLoad(plan, pool);
    const long long after = tree.empty() ? -1 : CpuTicks(tree);
    if (before < 0 || after < before) side.ticksKnown = false;
    else side.ticks += after - before;
    side.rates.push_back(r.Rate());
    MergeLoad(side.load, r);
}

void PrintProgress(const char* who, int c, const TSide& s) {
    printf("  %-4s C=%-3d %8.0f req/s (median of %zu)  p50 %7.3f ms  p99 %7.3f ms  CPU %s us/req  ok %d  failures %d\n",
           who, c, s.MedianRate(), s.rates.size(), s.load.p50Ms, s.load.p99Ms, Num(s.CpuMicros(), "%.1f").c_str(),
           s.load.done, s.load.failures);
    if (s.load.failures > 0) printf("       first failure: %s\n", s.load.firstError.c_str());
}

// Retries the first exchange for a while: the agents may have just started.
bool ProbeZel(const TPeerPlan& plan, const TPrepared& request, String& text, std::string& why) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    String reply, err;
    for (;;) {
        if (Exchange(plan.host, plan.zelPort, request.packet, reply, why)) {
            if (DecodeReplyPacket(reply, request.sessionKey, text, err)) return true;
            why = "reply undecodable: " + err.Std();
            return false;
        }
        if (Clock::now() > deadline) return false;
        usleep(20000);
    }
}

bool ProbePeer(const TPeerPlan& plan, const String& key, std::string& value, std::string& why) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        if (PlainExchange(plan.host, plan.peerPort, key, value, why)) return true;
        if (why.rfind("connect:", 0) != 0 || Clock::now() > deadline) return false;
        usleep(20000);
    }
}

std::string FirstLine(const std::string& s) {
    std::string line = s.substr(0, s.find('\n'));
    return line.size() > 60 ? line.substr(0, 60) + "..." : line;
}

std::vector<pid_t> Tree(pid_t pid) { return pid > 0 ? ProcessTree(pid) : std::vector<pid_t>{}; }

std::string Kb(long kb) { return kb < 0 ? "n/a" : Num(static_cast<double>(kb)); }

}  // namespace

std::string TPeerPair::Label() const {
    std::string zel = command.Std();
    for (int i = 0; i < params.Count(); ++i) zel += " " + params[i].Std();
    return zel + " vs " + key.Std();
}

bool ParsePeerPair(const std::string& text, TPeerPair& pair) {
    int depth = 0;
    size_t split = std::string::npos;
    for (size_t i = 0; i < text.size() && split == std::string::npos; ++i) {
        if (text[i] == '[') ++depth;
        else if (text[i] == ']') --depth;
        else if (text[i] == '=' && depth == 0) split = i;
    }
    if (split == std::string::npos || split == 0) return false;
    pair = TPeerPair{};
    pair.key = String(text.substr(0, split).c_str());
    std::stringstream in(text.substr(split + 1));
    std::string word;
    while (in >> word) {
        if (pair.command.IsEmpty()) pair.command = String(word.c_str());
        else pair.params.Add(String(word.c_str()));
    }
    return !pair.command.IsEmpty();
}

int RunPeerComparison(const TPeerPlan& plan) {
    struct TPools {
        std::vector<TPrepared> zel, peer;
        String code;
    };
    std::vector<TPools> pools;
    for (const TPeerPair& pair : plan.pairs) {
        TPools p;
        p.zel = PreparePackets(plan.password, BuildRequestText(pair.command, pair.params), kPoolSize);
        if (p.zel.empty()) {
            fprintf(stderr, "zel-bench: the request %s does not fit in a packet\n", pair.command.Data());
            return 1;
        }
        p.peer.push_back(TPrepared{BuildPlainRequest(pair.key), String()});
        String text;
        std::string value, why;
        if (!ProbeZel(plan, p.zel[0], text, why)) {
            fprintf(stderr, "zel-bench: zel probe (%s) failed: %s\n", pair.command.Data(), why.c_str());
            return 1;
        }
        if (!ProbePeer(plan, pair.key, value, why)) {
            fprintf(stderr, "zel-bench: peer probe (%s) failed: %s\n", pair.key.Data(), why.c_str());
            return 1;
        }
        p.code = text.Copy(1, 3);
        std::string shown = text.Std();
        std::replace(shown.begin(), shown.end(), '\n', ' ');
        printf("load %s\n  zel answers: %s\n  peer answers: %s (%zu request bytes)\n", pair.Label().c_str(),
               FirstLine(shown).c_str(), FirstLine(value).c_str(), static_cast<size_t>(p.peer[0].packet.Length()));
        if (p.code != "200") printf("  note: zel's reply code is %s, not 200\n", p.code.Data());
        pools.push_back(std::move(p));
    }

    const std::vector<pid_t> zelTree = Tree(plan.zelPid);
    const std::vector<pid_t> peerTree = Tree(plan.peerPid);
    usleep(300000);
    const long zelIdle = ResidentKb(zelTree), peerIdle = ResidentKb(peerTree);
    const long zelPss = ProportionalKb(zelTree), peerPss = ProportionalKb(peerTree);
    printf("processes: zel %zu, peer %zu; idle VmRSS zel %s kB, peer %s kB (PSS %s / %s kB)\n", zelTree.size(),
           peerTree.size(), Kb(zelIdle).c_str(), Kb(peerIdle).c_str(), Kb(zelPss).c_str(), Kb(peerPss).c_str());
    printf("N=%d per load in %d alternating rounds, %d client thread(s)\n\n", plan.requests, plan.rounds,
           plan.threads);

    struct TResult {
        size_t pair;
        int c;
        TSide zel, peer;
    };
    std::vector<TResult> results;
    int failures = 0;
    for (size_t i = 0; i < plan.pairs.size(); ++i) {
        printf("%s\n", plan.pairs[i].Label().c_str());
        for (int c : plan.concurrency) {
            TLoadPlan zelLoad;
            zelLoad.host = plan.host;
            zelLoad.port = plan.zelPort;
            zelLoad.concurrency = c;
            zelLoad.threads = plan.threads;
            zelLoad.decodeEvery = plan.verify ? 1 : 64;
            zelLoad.expectCode = pools[i].code;
            TLoadPlan peerLoad = zelLoad;
            peerLoad.port = plan.peerPort;
            peerLoad.plain = true;
            peerLoad.decodeEvery = 0;
            peerLoad.expectCode = String();
            // Warm-up of caches, stacks, allocators and the peer's workers.
            zelLoad.requests = peerLoad.requests = std::min(plan.requests, 500);
            RunLoad(zelLoad, pools[i].zel);
            RunLoad(peerLoad, pools[i].peer);

            TResult r{i, c, {}, {}};
            std::optional<TRssSampler> zelRss, peerRss;
            if (!zelTree.empty()) zelRss.emplace(zelTree);
            if (!peerTree.empty()) peerRss.emplace(peerTree);
            for (int round = 0; round < plan.rounds; ++round) {
                int share = plan.requests / plan.rounds + (round < plan.requests % plan.rounds ? 1 : 0);
                zelLoad.requests = peerLoad.requests = share;
                // Who goes first alternates, so that a drift of the machine's
                // load falls on both alike.
                if (round % 2 == 0) {
                    Measure(r.zel, zelLoad, pools[i].zel, zelTree);
                    Measure(r.peer, peerLoad, pools[i].peer, peerTree);
                } else {
                    Measure(r.peer, peerLoad, pools[i].peer, peerTree);
                    Measure(r.zel, zelLoad, pools[i].zel, zelTree);
                }
            }
            if (zelRss) r.zel.rssMaxKb = zelRss->MaxKb();
            if (peerRss) r.peer.rssMaxKb = peerRss->MaxKb();
            PrintProgress("zel", c, r.zel);
            PrintProgress("peer", c, r.peer);
            failures += r.zel.load.failures + r.peer.load.failures;
            results.push_back(std::move(r));
        }
    }

    printf("\n| load | C | measure | zel | peer | zel/peer |\n|---|---|---|---|---|---|\n");
    const int maxC = *std::max_element(plan.concurrency.begin(), plan.concurrency.end());
    for (const TResult& r : results) {
        const std::string load = plan.pairs[r.pair].Label();
        const std::string c = std::to_string(r.c);
        Row(load, c, "req/s (median of " + std::to_string(plan.rounds) + " rounds)", Num(r.zel.MedianRate()),
            Num(r.peer.MedianRate()), Ratio(r.zel.MedianRate(), r.peer.MedianRate()));
        Row(load, c, "p50 / p99 ms", Num(r.zel.load.p50Ms, "%.3f") + " / " + Num(r.zel.load.p99Ms, "%.3f"),
            Num(r.peer.load.p50Ms, "%.3f") + " / " + Num(r.peer.load.p99Ms, "%.3f"),
            Ratio(r.zel.load.p50Ms, r.peer.load.p50Ms) + " / " + Ratio(r.zel.load.p99Ms, r.peer.load.p99Ms));
        // Each round reads whole clock ticks before and after.
        const double tickMicros = 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
        const int fewest = std::max(1, std::min(r.zel.load.done, r.peer.load.done));
        Row(load, c, "server CPU us/request (+-" + Num(tickMicros * plan.rounds / fewest, "%.1f") + ")",
            Num(r.zel.CpuMicros(), "%.1f"), Num(r.peer.CpuMicros(), "%.1f"),
            Ratio(r.zel.CpuMicros(), r.peer.CpuMicros()));
        if (r.c == maxC) {
            Row(load, c, "VmRSS max kB (summed)", Kb(r.zel.rssMaxKb), Kb(r.peer.rssMaxKb),
                Ratio(static_cast<double>(r.zel.rssMaxKb), static_cast<double>(r.peer.rssMaxKb)));
        }
        if (r.zel.load.failures + r.peer.load.failures > 0) {
            Row(load, c, "failures", std::to_string(r.zel.load.failures), std::to_string(r.peer.load.failures), "");
        }
    }
    Row("idle", "-", "VmRSS kB (summed over " + std::to_string(zelTree.size()) + " / " +
                         std::to_string(peerTree.size()) + " processes)",
        Kb(zelIdle), Kb(peerIdle), Ratio(static_cast<double>(zelIdle), static_cast<double>(peerIdle)));
    Row("idle", "-", "PSS kB (shared pages split)", Kb(zelPss), Kb(peerPss),
        Ratio(static_cast<double>(zelPss), static_cast<double>(peerPss)));
    return failures == 0 ? 0 : 2;
}

int RunStartup(const std::vector<std::string>& zelArgv, const std::vector<std::string>& peerArgv,
               const TPeerPlan& plan, const String& key, int runs) {
    const std::vector<TPrepared> zelPool = PreparePackets(plan.password, BuildRequestText("GetInfo", TStrList()), 1);
    if (zelPool.empty()) return 1;
    std::vector<double> zelMs, peerMs;
    for (int run = 0; run < runs; ++run) {
        for (int side = 0; side < 2; ++side) {
            const bool zel = side == 0;
            TChildProgram program;
            std::string err, why;
            const auto start = Clock::now();
            if (!program.Start(zel ? zelArgv : peerArgv, "", err)) {
                fprintf(stderr, "zel-bench: %s\n", err.c_str());
                return 1;
            }
            bool answered = false;
            while (!answered && Clock::now() - start < std::chrono::seconds(15)) {
                if (!program.Running()) {
                    why = "the program exited during start-up";
                    break;
                }
                if (zel) {
                    String reply, text, decodeErr;
                    answered = Exchange(plan.host, plan.zelPort, zelPool[0].packet, reply, why) &&
                               DecodeReplyPacket(reply, zelPool[0].sessionKey, text, decodeErr) &&
                               text.Copy(1, 3) == "200";
                } else {
                    std::string value;
                    answered = PlainExchange(plan.host, plan.peerPort, key, value, why);
                }
                if (!answered) usleep(1000);
            }
            const std::chrono::duration<double, std::milli> ms = Clock::now() - start;
            program.Stop();
            if (!answered) {
                std::string command;
                for (const std::string& a : zel ? zelArgv : peerArgv) command += " " + a;
                fprintf(stderr, "zel-bench: %s gave no answer: %s (run it by hand to see why:%s)\n",
                        zel ? "zel" : "the peer", why.c_str(), command.c_str());
                return 1;
            }
            (zel ? zelMs : peerMs).push_back(ms.count());
            printf("start-up %d: %s answered after %.1f ms\n", run + 1, zel ? "zel " : "peer", ms.count());
            usleep(200000);
        }
    }
    const double z = Median(zelMs), p = Median(peerMs);
    Row("start-up", "-", "ms to the first answer (median of " + std::to_string(runs) + ")", Num(z, "%.1f"),
        Num(p, "%.1f"), Ratio(z, p));
    return 0;
}

}  // namespace zelbench
