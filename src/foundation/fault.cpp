#include "foundation/fault.h"

#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

void AssertFaultAt(const char* expr, const char* file, unsigned line, const char* function) {
    if (const char* slash = std::strrchr(file, '/')) file = slash + 1;
    std::fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name, file, line, function,
                 expr);
    std::fflush(stderr);
    std::abort();
}
