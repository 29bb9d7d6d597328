// Reading what scripts print: the leading number of the process-count and
// CPU scripts, the lines of the process list, and the result line and first
// lines of a shell-script test. Pure functions of the bytes read; each
// reader is used by one thread.
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/qdstring.h"

// Reads a descriptor from its current offset in pieces of at most 511
// bytes: a piece ends after a line feed or when it holds 511 bytes, so a
// longer line comes as several pieces. At most `limit` bytes are read in
// all; what follows is ignored.
class TLineReader {
public:
    static constexpr int kMaxPiece = 511;
    explicit TLineReader(int fd, int64_t limit = INT64_MAX);
    // The next piece (its line feed kept); false at the end (or a read error).
    bool Next(String& piece);

private:
    bool Fill();
    int fd_;
    int64_t left_;
    std::unique_ptr<char[]> buf_;
    int pos_ = 0, len_ = 0;
    bool end_ = false;
};

// Up to max bytes from the descriptor's current offset.
String ReadPrefix(int fd, int max);

// The whole number at the start of text, white space before it allowed, with
// an optional sign: false when there is none or it does not fit 32 bits.
bool ParseLeadingInt(const String& text, int& value);
// The number at the start of text (white space allowed before it), read in
// single precision: false when there is none or it is not finite.
bool ParseLeadingReal(const String& text, double& value);

// The process list: every piece without one trailing line feed, empty ones
// skipped, each followed by CR LF.
String CollectListLines(TLineReader& in);

// A shell-script test's output: each piece trimmed, empty ones skipped. The
// first `wanted` of them, each followed by CR LF, go to output; result is
// the first one beginning with "scriptres:" (any case), else the last one.
// Reading stops once both are settled. Lines that would take output past
// maxOutput bytes are not kept.
inline constexpr int kMaxScriptOutput = 16 * 1024 * 1024;
void CollectScriptResult(TLineReader& in, int wanted, String& result, String& output,
                         int maxOutput = kMaxScriptOutput);
