// Optional trace hook for packet sizes and authentication failures.
#pragma once

#include <netinet/in.h>

// Receives a printf format with one %d (or none) and its value. The daemon
// installs a hook that forwards to its debug messages; by default nothing
// is traced.
using TTraceFn = void (*)(in_addr client, const char* format, int value);

// Installs (or, with nullptr, removes) the hook; meant to be set once at
// start-up, but safe to change at any time.
void SetProtocolTrace(TTraceFn fn);
void ProtocolTrace(in_addr client, const char* format, int value);
