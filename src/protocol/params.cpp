#include "protocol/params.h"

#include "protocol/codecs.h"

String ParamText(const VTRequest& params, int n) { return params.GetParam(n, true); }

String ParamRaw(const VTRequest& params, int n) { return params.GetParam(n, false); }

String ParamDecoded(const VTRequest& params, int n, bool trim) {
    return zelDecodeStrings(params.GetParam(n, trim));
}

bool ParamFlag(const VTRequest& params, int n) { return zelDecodeBool(params.GetParam(n, true)); }

int ParamNumber(const VTRequest& params, int n) { return zelDecodeInt(params.GetParam(n, true)); }

bool ParamInt(const VTRequest& params, int n, int& out, ZELReply& reply) {
    if (zelDecodeInt(params.GetParam(n, true), out)) return true;
    reply.SetResult(TResultCode::WrongParams, kWrongParameter);
    return false;
}

bool ParamInt64(const VTRequest& params, int n, long long& out, ZELReply& reply) {
    if (zelDecodeInt64(params.GetParam(n, true), out)) return true;
    reply.SetResult(TResultCode::WrongParams, kWrongParameter);
    return false;
}
