// A host name for tests of failed name resolution (included as
// "common/unresolvable.h").
#pragma once

#include <string>

// Never resolves, and its lookup never leaves the machine: the reserved
// top-level domain, and a first label longer than the 63 bytes DNS allows,
// so the resolver library refuses it before any query is sent.
inline const std::string kUnresolvableHost = std::string(70, 'x') + ".invalid";
