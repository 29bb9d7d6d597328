// Byte-level search primitives of the log tests: ASCII case folding and a
// substring search with a whole-word rule, usable on a
// whole line or on consecutive pieces of a line too long to hold at once.
// Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

// Sentinel for "not found".
inline constexpr size_t kNoPos = static_cast<size_t>(-1);

// dst[i] = src[i] with 'A'-'Z' turned into 'a'-'z'; other bytes unchanged
// (bytes 0x80-0xFF are never letters). dst may equal src.
void FoldAscii(char* dst, const char* src, size_t n);

// isalnum in the POSIX locale: ASCII letters and digits only.
inline bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

// Index of the first occurrence of needle (m >= 1 bytes) in hay (n bytes),
// exact bytes, or kNoPos.
size_t FindBytes(const char* hay, size_t n, const char* needle, size_t m);

// The first occurrence of needle (m >= 1 bytes) that starts at or after
// `start` and counts, or kNoPos.
//
// Without wholeWord every occurrence counts. With it, an occurrence counts
// when the byte before it (if any) and the byte after it (if any) are not
// ASCII letters or digits; otherwise the search goes on one byte further.
// Index 0 is taken to be the line start (no byte
// before); `final` says hay ends where the line ends. When hay is only a
// piece of a longer line (final = false), an occurrence that touches the
// end of hay is left undecided (not reported): the caller keeps the last
// m + 1 bytes and searches them again with what follows, starting at 1.
size_t FindCounting(const char* hay, size_t n, const char* needle, size_t m, bool wholeWord, size_t start,
                    bool final);
