// The file tests against the standard tools, each counted whole: for the
// agent one complete request (connect, enciphered request, the test, the
// reply, deciphered) to an agent started for the run; for a tool its whole
// process. Run from the build tree:
//   build/release/bench/file_bench [--benchmark_filter=...]
// The checksum runs on a 1 GiB file made (and removed) in $TMPDIR or /tmp
// and read once before measuring, so both sides read it from the cache.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "protocol/client.h"
#include "zel_bench.h"

extern char** environ;

namespace {

using namespace zelbench;

TSpawnedAgent* g_agent = nullptr;
std::string g_bigFile;

// One request to the agent; the reply must carry "200". Returns the reply
// text (without the code line), or "" after reporting an error.
std::string AgentRequest(benchmark::State& state, const char* word, const std::vector<std::string>& params) {
    TStrList list;
    for (const std::string& p : params) list.Add(String(p));
    const String key = RandomKey(16);
    const String packet = BuildRequestPacket(g_agent->Password(), key, BuildRequestText(String(word), list));
    String reply, text, err;
    std::string error;
    if (!Exchange("127.0.0.1", g_agent->Port(), packet, reply, error) ||
        !DecodeReplyPacket(reply, key, text, err)) {
        state.SkipWithError((error + err.Std()).c_str());
        return "";
    }
    const std::string t = text.Std();
    if (t.compare(0, 4, "200\n") != 0) {
        state.SkipWithError(("reply: " + t).c_str());
        return "";
    }
    return t.substr(4);
}

// Runs argv with stdout to a pipe; false when it cannot be run or does not
// exit normally.
bool Spawn(const std::vector<std::string>& args, std::string& text) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    text.clear();
    char buf[4096];
    ssize_t n;
    while (rc == 0 && (n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status);
}

// A tool's output, or "" after reporting an error.
std::string RunTool(benchmark::State& state, const std::vector<std::string>& args) {
    std::string text;
    if (!Spawn(args, text)) state.SkipWithError(("cannot run " + args[0]).c_str());
    return text;
}

// Caches as on a host that is checked every few minutes: the big file's
// pages and the inodes of /usr.
void WarmUp() {
    std::string text;
    Spawn({"cksum", g_bigFile}, text);
    Spawn({"du", "-sb", "/usr"}, text);
}

double FirstNumber(const std::string& s) { return std::strtod(s.c_str(), nullptr); }

void BM_AgentFileCRC_1GiB(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(AgentRequest(state, "TEST-FileCRC", {g_bigFile}));
    state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

void BM_cksum_1GiB(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(RunTool(state, {"cksum", g_bigFile}));
    state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

void BM_AgentFolderSize_usr(benchmark::State& state) {
    std::string r;
    for (auto _ : state) r = AgentRequest(state, "TEST-FolderSize", {"/usr", "1"});
    state.counters["bytes"] = FirstNumber(r);
}

void BM_du_sb_usr(benchmark::State& state) {
    std::string r;
    for (auto _ : state) r = RunTool(state, {"du", "-sb", "/usr"});
    state.counters["bytes"] = FirstNumber(r);
}

void BM_AgentCountFiles_usr(benchmark::State& state) {
    std::string r;
    for (auto _ : state) r = AgentRequest(state, "TEST-CountFiles", {"/usr", "*", "1", "0", "0"});
    state.counters["files"] = FirstNumber(r);
}

void BM_find_type_f_wc_usr(benchmark::State& state) {
    std::string r;
    // The pipeline as administrators type it.
    for (auto _ : state) r = RunTool(state, {"/bin/sh", "-c", "find /usr -type f | wc -l"});
    state.counters["files"] = FirstNumber(r);
}

void BM_AgentFileExists(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(AgentRequest(state, "TEST-FileExists", {"/tmp"}));
}

BENCHMARK(BM_AgentFileCRC_1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_cksum_1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_AgentFolderSize_usr)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_du_sb_usr)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_AgentCountFiles_usr)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_find_type_f_wc_usr)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_AgentFileExists)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A temporary folder with the 1 GiB file; removed on destruction.
struct TBigFile {
    std::string dir;
    bool Make(std::string& err) {
        const char* base = getenv("TMPDIR");
        std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zel-file-bench-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) {
            err = "mkdtemp failed";
            return false;
        }
        dir = templ;
        g_bigFile = dir + "/big.bin";
        const int fd = open(g_bigFile.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            err = "cannot create " + g_bigFile;
            return false;
        }
        std::vector<char> block(1 << 20);
        uint32_t x = 12345;
        for (char& c : block) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 23);
        bool ok = true;
        for (int i = 0; i < 1024 && ok; ++i) {
            block[0] = static_cast<char>(i);
            ok = write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
        }
        ok = close(fd) == 0 && ok;
        if (!ok) err = "cannot write " + g_bigFile;
        return ok;
    }
    ~TBigFile() {
        if (!g_bigFile.empty()) unlink(g_bigFile.c_str());
        if (!dir.empty()) rmdir(dir.c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const char* agentPath = getenv("ZEL_AGENT");
    std::string path = agentPath != nullptr ? agentPath : ZEL_BINARY_DIR "/src/daemon/zel";
    TBigFile big;
    std::string err;
    if (!big.Make(err)) {
        std::fprintf(stderr, "file_bench: %s\n", err.c_str());
        return 1;
    }
    TSpawnedAgent agent;
    if (!agent.Start(path, err)) {
        std::fprintf(stderr, "file_bench: %s\n", err.c_str());
        return 1;
    }
    g_agent = &agent;
    // Warm the caches the way a host that is checked every few minutes has
    // them: the big file's pages and the inodes of /usr.
    WarmUp();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_agent = nullptr;
    return 0;
}
