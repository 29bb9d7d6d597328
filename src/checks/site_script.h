// Running a site script (process count, CPU usage, process list) for one
// request: the script runs directly (no shell), with its one optional
// argument as a single argument, standard input on /dev/null, and its
// descriptors 1, 2 and 3 on one unnamed temporary file. A script still
// running after kSiteScriptLimitMs is killed with its process group; what
// it printed before is kept. Thread-safe.
#pragma once

#include <cstdint>

#include "foundation/fd.h"
#include "foundation/qdstring.h"

inline constexpr int64_t kSiteScriptLimitMs = 120000;

enum class TSiteRun {
    Ok,           // output holds what the script printed, offset 0
    NoTempFile,   // the output file could not be made
    NotExecuted,  // the script could not be started
    NoResults,    // its output could not be read back
};

// arg null = no argument. limitMs is for tests.
TSiteRun RunSiteScript(const String& script, const String* arg, TFd& output, int64_t limitMs = kSiteScriptLimitMs);
