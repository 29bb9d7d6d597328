#include "checks/process_checks.h"

#include "checks/cpu_sampler.h"
#include "checks/proc_scan.h"
#include "checks/script_output.h"
#include "checks/site_script.h"
#include "config/settings.h"
#include "foundation/fileutils.h"
#include "protocol/params.h"

namespace {

// Numbers are looked for in this much of the output, a list is read up to
// this size; the rest is ignored.
constexpr int kNumberPrefix = 64 * 1024;
constexpr int64_t kMaxListBytes = 16 * 1024 * 1024;

struct TSiteScript {
    String TZELSettings::*path;
    const char* missing;
};

constexpr TSiteScript kProcCnt{&TZELSettings::proccntscript, "ProcCnt script doesn't exist"};
constexpr TSiteScript kCpuUsage{&TZELSettings::cpuusagescript, "CPUUsage script doesn't exist"};
constexpr TSiteScript kProcList{&TZELSettings::proclistscript, "ProcList script doesn't exist"};

// The configured script, or false with the reply set. An empty script means
// that the agent answers itself (the settings keep an empty name empty).
bool ConfiguredScript(const TSiteScript& which, String& script, ZELReply& reply) {
    auto s = ZELSettings.Get();
    script = (*s).*which.path;
    if (script.IsEmpty()) return true;
    if (!FileExists(script.Data())) {
        reply.SetResult(TResultCode::NotDone, which.missing);
        return false;
    }
    return true;
}

// Runs it; false with the reply set.
bool Run(const String& script, const String* arg, TFd& output, ZELReply& reply) {
    switch (RunSiteScript(script, arg, output)) {
    case TSiteRun::Ok:
        return true;
    case TSiteRun::NoTempFile:
        reply.SetResult(TResultCode::NotDone, "cannot get temp file");
        return false;
    case TSiteRun::NotExecuted:
        reply.SetResult(TResultCode::NotDone, "Cannot execute script");
        return false;
    case TSiteRun::NoResults:
        break;
    }
    reply.SetResult(TResultCode::NotDone, "Cannot get script results");
    return false;
}

// A figure of the agent's own (script empty: own(value)) or the number the
// site script's output begins with (parse). false with the reply set: the
// script's failure, or "Script error" when no figure came out.
template <class TNumber, class TOwn>
bool Figure(const String& script, const String* arg, TOwn own, bool (*parse)(const String&, TNumber&), TNumber& value,
            ZELReply& reply) {
    bool got;
    if (script.IsEmpty()) {
        got = own(value);
    } else {
        TFd output;
        if (!Run(script, arg, output, reply)) return false;
        got = parse(ReadPrefix(output.Get(), kNumberPrefix), value);
    }
    if (!got) reply.SetResult(TResultCode::NotDone, "Script error");
    return got;
}

}  // namespace

void ProcessTest_Process(const VTRequest& params, ZELReply& reply) {
    String script;
    if (!ConfiguredScript(kProcCnt, script, reply)) return;
    const String name = ParamText(params, 2);
    if (name.IsEmpty()) {
        reply.SetResult(TResultCode::WrongParams, "Name of the process is not specified");
        return;
    }
    const auto own = [&name](int& count) {
        String err;
        return CountProcesses(name.View(), count, err);
    };
    int count = 0;
    if (!Figure(script, &name, own, ParseLeadingInt, count, reply)) return;
    reply.SetResult(TResultCode::Ok);
    reply.AddIntParam(count);
}

void ProcessTest_CPU(const VTRequest&, ZELReply& reply) {
    String script;
    if (!ConfiguredScript(kCpuUsage, script, reply)) return;
    const auto own = [](double& usage) {
        String err;
        TCpuSampler* sampler = AgentCpuSampler(err);
        return sampler != nullptr && sampler->Usage(usage, err);
    };
    double usage = 0;
    if (!Figure(script, nullptr, own, ParseLeadingReal, usage, reply)) return;
    reply.SetResult(TResultCode::Ok);
    reply.AddRealParam(usage);
}

void ProcessInfo_ProcessesList(const VTRequest&, ZELReply& reply) {
    String script;
    if (!ConfiguredScript(kProcList, script, reply)) return;
    if (script.IsEmpty()) {
        String list, err;
        if (!ListProcesses(list, err, kMaxListBytes)) list = String();  // as a script printing nothing
        reply.SetResult(TResultCode::Ok);
        reply.AddStringParam(list, true);
        return;
    }
    TFd output;
    if (!Run(script, nullptr, output, reply)) return;
    TLineReader in(output.Get(), kMaxListBytes);
    const String list = CollectListLines(in);
    reply.SetResult(TResultCode::Ok);
    reply.AddStringParam(list, true);
}
