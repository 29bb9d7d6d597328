#include "actions/command_action.h"
#include "protocol/handler.h"
#include "protocol/params.h"

void ProcessAct_ExternalCmd(const VTRequest& params, ZELReply& reply) {
    const String cmdline = ParamText(params, 1);
    const String workDir = ParamText(params, 2);
    int unused = 0;
    int limit = 0;
    if (!ParamInt(params, 3, unused, reply)) return;
    if (!ParamInt(params, 4, limit, reply)) return;
    AnswerCommandRun(cmdline, workDir.IsEmpty() ? nullptr : workDir.Data(), limit, reply);
}
