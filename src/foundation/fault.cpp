#include "foundation/fault.h"

#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

void AssertFault(const char* expr, std::source_location where) {
    const char* file = where.file_name();
    if (const char* slash = std::strrchr(file, '/')) file = slash + 1;
    std::fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name, file,
                 static_cast<unsigned>(where.line()), where.function_name(), expr);
    std::fflush(stderr);
    std::abort();
}
