// The value codecs of requests and replies: numbers and booleans read from
// parameters, line-end escaping, and the typed reply values. The input is
// both a single text and a parameter text of several lines.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "protocol/codecs.h"
#include "protocol/params.h"
#include "protocol/reply.h"
#include "protocol/request.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const String text(raw);
    const std::string cText(raw.substr(0, raw.find('\0')));

    zelDecodeBool(text);
    Check(zelDecodeBool(cText.c_str()) == zelDecodeBool(String(cText.c_str())));
    const int i = zelDecodeInt(cText.c_str());
    const long long ll = zelDecodeInt64(cText.c_str());
    int checked = 0;
    long long checked64 = 0;
    zelDecodeInt(text, checked);
    zelDecodeInt64(text, checked64);

    // Escaping line ends and back gives the text again (a text that holds
    // an escape of its own cannot round-trip).
    const String encoded = zelEncodeStrings(text);
    Check(encoded.View().find_first_of("\r\n") == std::string_view::npos);
    if (raw.find('%') == std::string_view::npos) Check(zelDecodeStrings(encoded) == text);
    zelDecodeStrings(text);

    VTRequest params;
    params = text;
    ZELReply reply;
    reply.SetResult("200");
    for (int n = 0; n <= 4; ++n) {
        ParamText(params, n);
        ParamRaw(params, n);
        ParamDecoded(params, n, true);
        ParamDecoded(params, n, false);
        ParamFlag(params, n);
        ParamNumber(params, n);
        int v = 0;
        long long v64 = 0;
        ZELReply scratch;
        ParamInt(params, n, v, scratch);
        ParamInt64(params, n, v64, scratch);
    }
    reply.AddIntParam(i);
    reply.AddIntParam(ll);
    reply.AddBoolParam(i);
    reply.AddStringParam(text, true);
    reply.AddStringParam(text, false);
    if (size >= 8) {
        double d;
        std::memcpy(&d, data, sizeof d);
        reply.AddRealParam(d);
        time_t t;
        std::memcpy(&t, data, sizeof t);
        reply.AddTimeParam(t);
    }
    return 0;
}
