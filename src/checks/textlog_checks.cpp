#include "checks/textlog_checks.h"

#include <cstring>

#include "checks/log_scanner.h"
#include "foundation/fileutils.h"
#include "protocol/params.h"

namespace {

// The request's conditions, the scan state and the reply shape.
struct TLogRequest {
    String file;
    TLogState state;
    bool scanAll = false;
    TTextLogFilter filters[2];
    int filterCount = 1;
    bool withAlarm = false;  // "TEST-TextLog2": the alarm flag ends the reply
};

// Runs the scan and, without scan-all, the look-ahead for a further match,
// then writes the reply.
void AnswerLogRequest(TLogRequest& rq, ZELReply& reply) {
    TLineMatcher matcher;
    matcher.Build(rq.filters, rq.filterCount);
    TLogScanner scanner(matcher);
    TLogMatch first;
    String err;
    if (!scanner.Scan(rq.file, rq.state, rq.scanAll, first, err)) {
        reply.SetResult(TResultCode::NotDone, err);
        return;
    }
    TLogState block = rq.state;
    int64_t blockSize = first.currentSize;
    bool more = false;
    if (!rq.scanAll) {
        // The look-ahead goes on from where the first scan stopped and keeps
        // its own findings: the reply reports the first scan's line.
        TLogState next = rq.state;
        TLogMatch further;
        String err2;
        if (scanner.Scan(rq.file, next, false, further, err2)) {
            if (further.result > 0) {
                more = true;
            } else {
                block = next;
                blockSize = further.currentSize;
            }
        }
    }
    reply.SetResult(TResultCode::Ok);
    reply.AddIntParam(static_cast<long long>(first.result));
    reply.AddStringParam(first.line, true);
    reply.AddBoolParam(more ? 1 : 0);
    reply.AddIntParam(static_cast<long long>(block.position));
    reply.AddIntParam(static_cast<long long>(block.size));
    reply.AddIntParam(static_cast<long long>(block.time));
    reply.AddIntParam(static_cast<long long>(blockSize));
    if (rq.withAlarm) reply.AddBoolParam(first.condition == 0 ? 1 : 0);
}

// Steps shared by both requests: the file, then the three state values.
bool ReadFileAndState(const VTRequest& params, int firstState, TLogRequest& rq, ZELReply& reply) {
    rq.file = ResolveLogFile(ParamText(params, 1));
    if (rq.file.IsEmpty()) {
        reply.SetResult(TResultCode::NotDone, "File does not exist");
        return false;
    }
    long long position = 0, size = 0, time = 0;
    if (!ParamInt64(params, firstState, position, reply) || !ParamInt64(params, firstState + 1, size, reply) ||
        !ParamInt64(params, firstState + 2, time, reply))
        return false;
    rq.state.position = position;
    rq.state.size = size;
    rq.state.time = time;
    return true;
}

}  // namespace

String ResolveLogFile(const String& mask) {
    const String name = ExtractFileName(mask);
    if (std::strpbrk(name.Data(), "*?[") == nullptr && FileExists(mask.Data())) return mask;
    return GetFirstMatchedFile(mask);
}

void DecodeFilter(const VTRequest& params, TTextLogFilter& filter, int first) {
    filter.expression = ParamDecoded(params, first);
    filter.useExpression = ParamFlag(params, first + 1) ? 1 : 0;
    filter.caseSensitive = ParamFlag(params, first + 2) ? 1 : 0;
    filter.wholeWord = ParamFlag(params, first + 3) ? 1 : 0;
}

void ProcessTest_TextLog(const VTRequest& params, ZELReply& reply) {
    TLogRequest rq;
    if (!ReadFileAndState(params, 3, rq, reply)) return;
    TTextLogFilter& f = rq.filters[0];
    f.expression = ParamDecoded(params, 2);
    f.useExpression = ParamFlag(params, 6) ? 1 : 0;
    rq.scanAll = ParamFlag(params, 7);
    f.caseSensitive = ParamFlag(params, 8) ? 1 : 0;
    f.wholeWord = ParamFlag(params, 9) ? 1 : 0;
    AnswerLogRequest(rq, reply);
}

void ProcessTest_TextLog2(const VTRequest& params, ZELReply& reply) {
    TLogRequest rq;
    if (!ReadFileAndState(params, 2, rq, reply)) return;
    rq.scanAll = ParamFlag(params, 5);
    DecodeFilter(params, rq.filters[0], 6);
    if (ParamFlag(params, 10)) {
        DecodeFilter(params, rq.filters[1], 11);
        rq.filterCount = 2;
    }
    rq.withAlarm = true;
    AnswerLogRequest(rq, reply);
}
