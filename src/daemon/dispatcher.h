// The request dispatcher: splits the command word from its parameters,
// finds the command's row in the command table (daemon/commands.h), applies
// its gate and runs its handler, which leaves the result in the reply.
#pragma once

#include "net/address.h"
#include "protocol/handler.h"
#include "protocol/reply.h"
#include "protocol/request.h"

struct TZELFlags;
struct UpgradeRec;

// The connection of the session that dispatches a request.
struct ThreadParams {
    int Socket = -1;
    TNetAddress Address;  // the client's
};

// true when the command word was recognised and handled (whatever the
// result code, a gate's "600" included); false for a missing end mark, an
// empty or an unknown command. Exactly one result is left in the reply. Runs on
// the session thread; reads one settings snapshot for the gate. An accepted
// "UpgradeCode" leaves `upgrade` active: the session then feeds it the bytes
// that follow on the connection. When `word` is given it receives the
// command word of the table's row (a static text), or null when no row
// matched.
//
// The audit trail (daemon/audit.h): a gate's refusal is recorded (rate-
// limited); a settings change lists the names whose values changed; a
// reload says whether it succeeded and why not.
bool ProcessVTRequest(VTRequest& request, ZELReply& reply, TZELFlags& flags, ThreadParams params,
                      UpgradeRec& upgrade, const char** word = nullptr);
