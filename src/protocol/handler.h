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

// The common end of the handlers that run a command line for the server
// (an external-program test, the command action): "501" "Command line to
// execute is not specified" for an empty line; otherwise runs it without a
// shell (foundation/child.h RunProgram, in workDir unless null, within
// limitMs: -1 start only, 0 no limit) and answers "300" with the reason it
// could not run, or "200" with its exit code. Blocks the session thread.
void AnswerCommandRun(const String& cmdline, const char* workDir, int limitMs, ZELReply& reply);
