// The "SetSettings" handler on a request of many parameter lines, against a
// configuration file in a scratch folder:
//   build/release/bench/settings_bench --benchmark_filter=SetSettings
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "config/settings.h"
#include "manage/remote_settings.h"

namespace {

struct TScratchConfig {
    std::string dir, cfg;
    TScratchConfig() {
        char templ[] = "/tmp/zel-bench-XXXXXX";
        if (mkdtemp(templ) == nullptr) return;
        dir = templ;
        cfg = dir + "/zel.cfg";
        std::string agent = dir + "/zel";
        FILE* f = fopen(agent.c_str(), "w");
        if (f) fclose(f);
        f = fopen(cfg.c_str(), "w");
        if (f) {
            fprintf(f, "port=5050\npassword=secret\nzelpath=%s\ntmpdir=%s\n", agent.c_str(), dir.c_str());
            fclose(f);
        }
        ZELSettings.Modify([this](TZELSettings& s) { s.cfgfile = cfg.c_str(); });
        String err;
        ZELSettings.LoadOptions(err);
    }
    ~TScratchConfig() {
        if (dir.empty()) return;
        for (const char* suffix : {"/zel.cfg", "/zel.cfg.Old", "/zel"}) unlink((dir + suffix).c_str());
        rmdir(dir.c_str());
    }
};

// A request of range(0) bytes: short "Comment=n" lines (range(1) = 0) or
// empty lines (range(1) = 1).
void BM_SetSettings(benchmark::State& state) {
    TScratchConfig scratch;
    std::string text;
    for (int i = 0; static_cast<long>(text.size()) < state.range(0); ++i)
        text += state.range(1) ? std::string("\n") : "Comment=" + std::to_string(i % 10) + "\n";
    VTRequest request;
    request = String(text);
    for (auto _ : state) {
        ZELReply reply;
        SetAgentSettings(request, reply);
        benchmark::DoNotOptimize(reply);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long>(text.size()));
}
BENCHMARK(BM_SetSettings)
    ->ArgsProduct({{1 << 10, 16 << 10, 80 << 10}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// A filter list of range(0) entries, every one in force.
void BM_SetSettingsFilterList(benchmark::State& state) {
    TScratchConfig scratch;
    std::string list, marks(static_cast<size_t>(state.range(0)), '1');
    for (long i = 0; i < state.range(0); ++i) list += "10.0." + std::to_string(i / 250 % 250) + "." + std::to_string(i % 250) + "%0D%0A";
    VTRequest request;
    request = String("IPFilterAddr=" + list + "\nIPFilterMarks=" + marks + "\n");
    for (auto _ : state) {
        ZELReply reply;
        SetAgentSettings(request, reply);
        benchmark::DoNotOptimize(reply);
    }
    // Back to a short list for the next case.
    VTRequest reset;
    reset = String("IPFilterAddr=127.0.0.1\nIPFilterMarks=1\n");
    ZELReply reply;
    SetAgentSettings(reset, reply);
}
BENCHMARK(BM_SetSettingsFilterList)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
