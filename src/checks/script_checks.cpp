#include "checks/script_checks.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <thread>

#include "checks/script_output.h"
#include "config/settings.h"
#include "foundation/child.h"
#include "foundation/private_temp.h"
#include "protocol/handler.h"
#include "protocol/params.h"

namespace {

// Seconds to milliseconds without overflow.
int SecondsToLimitMs(int seconds) {
    const int64_t ms = static_cast<int64_t>(seconds) * 1000;
    if (ms > INT_MAX) return INT_MAX;
    if (ms < INT_MIN) return INT_MIN;
    return static_cast<int>(ms);
}

}  // namespace

void ProcessTest_External(const VTRequest& params, ZELReply& reply) {
    const String cmdline = ParamText(params, 1);
    int limit = 0;
    if (!ParamInt(params, 4, limit, reply)) return;
    AnswerCommandRun(cmdline, nullptr, limit, reply);
}

void ProcessTest_ShellScript(const VTRequest& params, ZELReply& reply) {
    const String templ = ParamText(params, 1);
    const String body = ParamDecoded(params, 2).ReplaceAll("\r\n", "\n", 1);
    const String paramText = ParamDecoded(params, 3);
    const int limitMs = SecondsToLimitMs(ParamNumber(params, 4));
    const int wanted = ParamNumber(params, 5);
    const int delayMicros = ZELSettings.Get()->delayforscripts;

    // The script: a fresh random name, created exclusively, rwx for the
    // owner only, closed before it runs.
    TPrivateTempFile script;
    String err;
    bool nameErr = false, modeErr = false;
    if (!script.Create("zel-script-", 0700, err, nameErr, modeErr)) {
        reply.SetResult(TResultCode::NotDone, nameErr   ? "Cannot get temp file"
                                              : modeErr ? "Cannot set exec flag for script"
                                                        : "Cannot create temp file");
        return;
    }
    if (!script.Write(body) || !script.CloseFd()) {
        reply.SetResult(TResultCode::NotDone, "cannot create temp file");
        return;
    }
    // Its output: one unnamed file for standard output and error.
    TFd output;
    if (!OpenUnnamedTempFile(output, err)) {
        reply.SetResult(TResultCode::NotDone, "Cannot get script results");
        return;
    }
    const String cmdline =
        templ.ReplaceAll("%script%", script.Name().Data(), 0).ReplaceAll("%params%", paramText.Data(), 0);

    if (delayMicros > 0) std::this_thread::sleep_for(std::chrono::microseconds(delayMicros));

    TChildOptions opt;
    opt.stdoutFd = opt.stderrFd = output.Get();
    opt.maxFileBytes = kScriptOutputCap;
    SetChildTimeLimit(opt, limitMs);
    TChildStatus st = RunChild(SplitCommandLine(cmdline.Data()), opt);
    struct stat written {};
    const bool cut = fstat(output.Get(), &written) == 0 && written.st_size >= kScriptOutputCap;
    // The script itself ended by the output cap: it ran, with its output cut.
    if (cut && st.kind == TChildStatus::Signaled && st.signal == SIGXFSZ && !st.timedOut) {
        st.kind = TChildStatus::Exited;
        st.exitCode = 128 + SIGXFSZ;
    }
    int code = 0;
    if (!ChildStatusText(st, opt.wait == TChildWait::StartOnly, code, err)) {
        reply.SetResult(TResultCode::NotDone, String("Script execution error: ") + err);
        return;
    }
    if (lseek(output.Get(), 0, SEEK_SET) != 0) {
        reply.SetResult(TResultCode::NotDone, "Cannot get script results");
        return;
    }
    TLineReader in(output.Get());
    String result, text;
    CollectScriptResult(in, wanted, result, text);
    if (cut) {
        text += kScriptOutputCutNote;
        text += "\r\n";
    }
    reply.SetResult(TResultCode::Ok);
    reply.AddStringParam(result, true);
    reply.AddStringParam(text, true);
}
