// Optional trace hook for packet sizes and authentication failures.
#pragma once

#include "net/address.h"

// Receives a printf format with one %d (or none) and its value. The daemon
// installs a hook that forwards to its debug messages; by default nothing
// is traced.
using TTraceFn = void (*)(const TNetAddress& client, const char* format, int value);

// Installs (or, with nullptr, removes) the hook; meant to be set once at
// start-up, but safe to change at any time.
void SetProtocolTrace(TTraceFn fn);
void ProtocolTrace(const TNetAddress& client, const char* format, int value);
