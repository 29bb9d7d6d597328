#include "protocol/handler.h"

void ProcessNotImplemented(const VTRequest&, ZELReply& reply) {
    reply.SetResult(TResultCode::NotSupported, "not implemented yet");
}
