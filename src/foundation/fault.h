// Programming-error stop in the classic assertion format, active in every
// build type:
//   "<program>: <file>:<line>: <function>: Assertion `<expr>' failed."
// followed by abort(). The file (its name without the folders), the line and
// the function are those of the call, taken from `where`, which the caller
// leaves to its default.
//
// For conditions no input can reach: a caller that can meet bad input
// reports an error instead. May be called from any thread; never returns.
#pragma once

#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

// The report itself; call AssertFault, which fills in the place.
[[noreturn]] void AssertFaultAt(const char* expr, const char* file, unsigned line, const char* function);

#if defined(__cpp_lib_source_location)
[[noreturn]] inline void AssertFault(const char* expr, std::source_location where = std::source_location::current()) {
    AssertFaultAt(expr, where.file_name(), static_cast<unsigned>(where.line()), where.function_name());
}
#else
// A library without std::source_location (clang 14 with libstdc++ 12, the
// fuzzing build): the builtins give the caller's place as default arguments
// (the function's bare name instead of its signature).
[[noreturn]] inline void AssertFault(const char* expr, const char* file = __builtin_FILE(),
                                     unsigned line = __builtin_LINE(), const char* function = __builtin_FUNCTION()) {
    AssertFaultAt(expr, file, line, function);
}
#endif
