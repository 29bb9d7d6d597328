// The shape of every request handler (tests, actions, information and
// management requests).
//
// A handler reads its parameters from `params` (the lines after the command
// word; see protocol/params.h) and writes the whole reply: one result code
// with ZELReply::SetResult, then its values. It runs on the session thread,
// takes at most one settings snapshot (ZELSettings.Get()) for the request,
// keeps large buffers on the heap (session stacks are small) and never
// throws. Permissions are checked by the dispatcher before it runs.
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"

using THandler = void (*)(const VTRequest& params, ZELReply& reply);

// Answers "500" and "not implemented yet".
void ProcessNotImplemented(const VTRequest& params, ZELReply& reply);
