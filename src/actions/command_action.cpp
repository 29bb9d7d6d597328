#include "actions/send_actions.h"
#include "foundation/child.h"
#include "protocol/params.h"

void ProcessAct_ExternalCmd(const VTRequest& params, ZELReply& reply) {
    const String cmdline = ParamText(params, 1);
    const String workDir = ParamText(params, 2);
    int unused = 0;
    int limit = 0;
    if (!ParamInt(params, 3, unused, reply)) return;
    if (!ParamInt(params, 4, limit, reply)) return;
    if (cmdline.IsEmpty()) {
        reply.SetResult(TResultCode::WrongParams, "Command line to execute is not specified");
        return;
    }
    int code = 0;
    String err;
    if (!RunProgram(cmdline.Data(), workDir.IsEmpty() ? nullptr : workDir.Data(), limit, code, err)) {
        reply.SetResult(TResultCode::NotDone, err);
        return;
    }
    reply.SetResult(TResultCode::Ok);
    reply.AddIntParam(code);
}
