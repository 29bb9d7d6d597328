#include "daemon/protocol_trace.h"

#include "daemon/messages.h"
#include "protocol/trace.h"

namespace {

void TraceToMessages(const TNetAddress& client, const char* format, int value) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    showmessage(format, client, MSG_DEBUG, 1, value);
#pragma GCC diagnostic pop
}

}  // namespace

void InstallProtocolTrace() { SetProtocolTrace(TraceToMessages); }
