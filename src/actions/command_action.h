// The command action: runs a command line on the server's behalf.
#pragma once

#include "protocol/handler.h"

// "ACT-ExternalCmd": runs a command line without a shell (parameters: 1
// command line, 2 working directory, 3 an integer that must be valid, 4 the
// time limit in ms: -1 start only, 0 no limit). "200" with the exit code;
// "301" with the child-process error text; "501" for a bad integer or an
// empty command line. All standard streams are /dev/null.
void ProcessAct_ExternalCmd(const VTRequest& params, ZELReply& reply);
