#include "protocol/handler.h"

#include "foundation/child.h"

void ProcessNotImplemented(const VTRequest&, ZELReply& reply) {
    reply.SetResult(TResultCode::NotSupported, "not implemented yet");
}

void AnswerCommandRun(const String& cmdline, const char* workDir, int limitMs, ZELReply& reply) {
    if (cmdline.IsEmpty()) {
        reply.SetResult(TResultCode::WrongParams, "Command line to execute is not specified");
        return;
    }
    int code = 0;
    String err;
    if (!RunProgram(cmdline.Data(), workDir, limitMs, code, err)) {
        reply.SetResult(TResultCode::NotDone, err);
        return;
    }
    reply.SetResult(TResultCode::Ok);
    reply.AddIntParam(code);
}
