// The request dispatcher: selects the handler of a command word, applies the
// management and upgrade permissions, and leaves the result in the reply.
#pragma once

#include <netinet/in.h>

#include "protocol/reply.h"
#include "protocol/request.h"

struct TZELFlags;

// The hand-over record from the accept loop to a session.
struct ThreadParams {
    int Socket = -1;
    in_addr Address{};  // network byte order
};

// Every handler reads its parameters from `params` and writes the whole reply.
using THandler = void (*)(const VTRequest& params, ZELReply& reply);

// Nonzero when the command word was recognised and handled (whatever the
// result code); 0 for a missing end mark, an empty or an unknown command.
int ProcessVTRequest(VTRequest& request, ZELReply& reply, TZELFlags& flags, ThreadParams params);

// Answers "500" and "not implemented yet": the handler of every command
// whose implementation has not landed.
void ProcessNotImplemented(const VTRequest& params, ZELReply& reply);
