// The agent's own process answers (no script): counting processes by name
// and listing them, one pass over /proc each, with the cost per process.
//
//   proc_bench [--children N] [benchmark flags]
//
// --children N first starts N sleeping children (each dies with this
// program), so the cost can be seen on a host with many processes, e.g.
// --children 20000 (the kernel's pid_max and the user's process limit must
// leave room for them).
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "checks/proc_scan.h"

namespace {

int ProcessCount() {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        n += !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
    }
    return n;
}

void PerProcess(benchmark::State& state) {
    const int n = ProcessCount();
    state.counters["processes"] = n;
    state.counters["per_process"] =
        benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// A short name that the children carry: a count that matches many.
void BM_CountShortName(benchmark::State& state) {
    int count = 0;
    String err;
    for (auto _ : state) {
        if (!CountProcesses("zel-proc-child", count, err)) state.SkipWithError(err.Data());
        benchmark::DoNotOptimize(count);
    }
    state.counters["matched"] = count;
    PerProcess(state);
}
BENCHMARK(BM_CountShortName)->Unit(benchmark::kMillisecond);

// A long name: its command lines are read for the processes whose command
// name matches its first 15 bytes.
void BM_CountLongName(benchmark::State& state) {
    int count = 0;
    String err;
    for (auto _ : state) {
        if (!CountProcesses("zel-proc-children-long", count, err)) state.SkipWithError(err.Data());
        benchmark::DoNotOptimize(count);
    }
    state.counters["matched"] = count;
    PerProcess(state);
}
BENCHMARK(BM_CountLongName)->Unit(benchmark::kMillisecond);

// A name no process has: the usual case of a server asking for a daemon.
void BM_CountNoMatch(benchmark::State& state) {
    int count = 0;
    String err;
    for (auto _ : state) {
        if (!CountProcesses("no-such-daemon", count, err)) state.SkipWithError(err.Data());
        benchmark::DoNotOptimize(count);
    }
    PerProcess(state);
}
BENCHMARK(BM_CountNoMatch)->Unit(benchmark::kMillisecond);

void BM_ListProcesses(benchmark::State& state) {
    String list, err;
    for (auto _ : state) {
        if (!ListProcesses(list, err)) state.SkipWithError(err.Data());
        benchmark::DoNotOptimize(list.Data());
    }
    state.counters["list_bytes"] = list.Length();
    PerProcess(state);
}
BENCHMARK(BM_ListProcesses)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    int children = 0;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--children") == 0 && i + 1 < argc) {
            children = atoi(argv[++i]);
        } else {
            rest.push_back(argv[i]);
        }
    }
    std::vector<pid_t> pids;
    const pid_t parent = getpid();
    for (int i = 0; i < children; ++i) {
        const pid_t p = fork();
        if (p == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(0);
            prctl(PR_SET_NAME, "zel-proc-child");
            for (;;) pause();
        }
        if (p < 0) {
            perror("proc_bench: fork");
            break;
        }
        pids.push_back(p);
    }
    if (children > 0) fprintf(stderr, "proc_bench: %zu sleeping children started\n", pids.size());
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const pid_t p : pids) kill(p, SIGKILL);
    for (const pid_t p : pids) waitpid(p, nullptr, 0);
    return 0;
}
