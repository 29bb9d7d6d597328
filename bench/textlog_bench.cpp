// Text log scan speed: 1 GiB appended since the last state, no matching line.
// The agent's scanner (plain text with and without case, expressions) beside
// grep -F -c and grep -F -i -c on the same file (LC_ALL=C).
//
//   textlog_bench [--size-mib N] [google benchmark flags]
//
// The log is written to a fresh folder under $TMPDIR (else /tmp) at start and
// removed at exit. Figures are bytes scanned per second; every run reads the
// file from the page cache after the first.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "checks/log_scanner.h"

extern char** environ;

namespace {

std::string g_dir;
std::string g_log;
long long g_size = 0;

// Log-like lines: time stamp, host, process, level, request details.
bool WriteLog(const std::string& path, long long bytes) {
    static const char* const levels[] = {"INFO", "INFO", "INFO", "WARN", "DEBUG"};
    static const char* const paths[] = {"/api/v1/items", "/api/v1/users", "/static/app.js", "/health", "/login"};
    std::mt19937 gen(7);
    auto rng = [&gen] { return static_cast<unsigned>(gen()); };
    std::string block;
    char line[256];
    while (block.size() < (4u << 20)) {
        const int n = std::snprintf(line, sizeof(line),
                                    "2024-05-17 %02u:%02u:%02u.%03u web-%02u app[%u]: %s request id=%08x "
                                    "path=%s/%u status=%u took=%ums\n",
                                    rng() % 24, rng() % 60, rng() % 60, rng() % 1000, rng() % 16, 1000 + rng() % 9000,
                                    levels[rng() % 5], rng(), paths[rng() % 5], rng() % 100000,
                                    rng() % 3 == 0 ? 404u : 200u, rng() % 900);
        block.append(line, static_cast<size_t>(n));
    }
    const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    long long done = 0;
    while (done < bytes) {
        const size_t n = static_cast<size_t>(std::min<long long>(bytes - done, static_cast<long long>(block.size())));
        if (::write(fd, block.data(), n) != static_cast<ssize_t>(n)) break;
        done += static_cast<long long>(n);
    }
    return ::close(fd) == 0 && done == bytes;
}

void Scan(benchmark::State& state, const char* text, int useExpression, int caseSensitive) {
    TTextLogFilter f;
    f.expression = text;
    f.useExpression = useExpression;
    f.caseSensitive = caseSensitive;
    TLineMatcher matcher;
    matcher.Build(&f, 1);
    for (auto _ : state) {
        TLogScanner scanner(matcher);
        TLogState st{0, 1, 0};
        TLogMatch m;
        String err;
        if (!scanner.Scan(String(g_log), st, false, m, err) || m.result != 0 || st.size != g_size) state.SkipWithError("unexpected scan result");
    }
    state.SetBytesProcessed(state.iterations() * g_size);
}

void Grep(benchmark::State& state, std::vector<std::string> args) {
    args.insert(args.begin(), "grep");
    args.push_back(g_log);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore = {"LC_ALL=C"};
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "LC_ALL=", 7) != 0) envStore.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t pid = 0;
        if (posix_spawnp(&pid, "grep", &fa, nullptr, argv.data(), envp.data()) != 0) {
            state.SkipWithError("cannot start grep");
            break;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) state.SkipWithError("grep found something");
    }
    posix_spawn_file_actions_destroy(&fa);
    state.SetBytesProcessed(state.iterations() * g_size);
}

void BM_ScanPlain(benchmark::State& s) { Scan(s, "segfault", 0, 1); }
void BM_GrepF(benchmark::State& s) { Grep(s, {"-F", "-c", "segfault"}); }
void BM_ScanPlainIgnoreCase(benchmark::State& s) { Scan(s, "SegFault", 0, 0); }
void BM_GrepFi(benchmark::State& s) { Grep(s, {"-F", "-i", "-c", "SegFault"}); }
// Three texts; a line holding none of them cannot match, so only lines with
// one of them are evaluated.
void BM_ScanExpression(benchmark::State& s) { Scan(s, "('segfault' or 'panic') and not 'debug'", 1, 0); }
// An expression that holds without its texts: every line is evaluated.
void BM_ScanExpressionEveryLine(benchmark::State& s) { Scan(s, "not 'request' or ('panic' and 'status')", 1, 0); }

BENCHMARK(BM_ScanPlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GrepF)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScanPlainIgnoreCase)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GrepFi)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScanExpression)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScanExpressionEveryLine)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    long long mib = 1024;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--size-mib") == 0 && i + 1 < argc) {
            mib = std::atoll(argv[++i]);
            continue;
        }
        rest.push_back(argv[i]);
    }
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zel-bench-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    g_dir = templ;
    g_log = g_dir + "/app.log";
    g_size = mib << 20;
    int rc = 0;
    if (!WriteLog(g_log, g_size)) {
        std::perror("writing the log");
        rc = 1;
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    benchmark::Shutdown();
    return rc;
}
