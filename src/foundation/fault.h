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

#include <source_location>

[[noreturn]] void AssertFault(const char* expr,
                                   std::source_location where = std::source_location::current());
