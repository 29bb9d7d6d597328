// Programming-error stop in the classic assertion format, active in every
// build type: "<program>: <file>:<line>: <function>: Assertion `<expr>' failed."
// followed by abort().
#pragma once

[[noreturn]] void zel_assert_fault(const char* expr, const char* file, unsigned line, const char* function);
