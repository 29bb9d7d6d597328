#include "checks/site_script.h"

#include <unistd.h>

#include "foundation/child.h"
#include "foundation/private_temp.h"

TSiteRun RunSiteScript(const String& script, const String* arg, TFd& output, int64_t limitMs) {
    String err;
    if (!OpenUnnamedTempFile(output, err)) return TSiteRun::NoTempFile;
    TStrList args;
    args.Add(script);
    if (arg != nullptr) args.Add(*arg);
    TChildOptions opt;
    opt.stdoutFd = opt.stderrFd = opt.fd3 = output.Get();
    opt.wait = TChildWait::Deadline;
    opt.killAfterMs = limitMs;
    const TChildStatus st = RunChild(args, opt);
    if (st.kind == TChildStatus::NotStarted || st.kind == TChildStatus::ExecFailed) return TSiteRun::NotExecuted;
    if (lseek(output.Get(), 0, SEEK_SET) != 0) return TSiteRun::NoResults;
    return TSiteRun::Ok;
}
