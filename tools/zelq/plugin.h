// zelq --plugin: one request judged as a check of the monitoring systems
// that run "plugins" (one status line, exit 0 OK, 1 WARNING, 2 CRITICAL,
// 3 UNKNOWN). This is the runner: the exchanges (several for a text log,
// with its state file) and the printing; the judgement is in judge.h.
#pragma once

#include "foundation/qdstring.h"
#include "zelq/options.h"

// Runs the whole check against the agent: the exchange (several for a
// text log, with its state file), the judgement, the status line printed
// on standard output. Returns the exit status (0-3).
int RunPlugin(const TZelqOptions& opts, const String& password, int stdinFd);
