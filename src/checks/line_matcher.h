// The search conditions of one log request, prepared once and applied to
// many lines: a plain search text or a search expression, each with its own
// case and whole-word rule. Up to two conditions are tried in order (alarm,
// then reset); the first that holds decides.
//
// A line is given whole (MatchLine) or, when it is too long to hold, in
// consecutive pieces (StartPieces / Piece / EndPieces) with the same answer.
// Lines never contain CR or LF. One matcher per request; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "checks/search_expr.h"
#include "foundation/qdstring.h"

// One search condition as the request gives it.
struct TTextLogFilter {
    String expression;      // the search text or expression, unescaped
    int useExpression = 0;  // 1: an expression; 0: a plain search text
    int caseSensitive = 0;
    int wholeWord = 0;
};

class TLineMatcher {
public:
    // One search text of a condition, lowered once when the search ignores
    // case.
    struct TNeedle {
        std::string text;
        bool folded = false;     // look for it in the case-folded line
        bool wholeWord = false;
        bool never = false;      // can never be found (empty, holds CR/LF, or its condition is void)
        bool filter = false;     // one of the texts a line must hold to be looked at (Prefilter)
    };

    // filters[0] is tried first, then filters[1] (when count is 2).
    void Build(const TTextLogFilter* filters, int count);

    // Some search ignores case: lines must also be given case-folded.
    bool NeedsFold() const { return needsFold_; }
    // The longest needle (for the overlap kept between pieces).
    size_t MaxNeedle() const { return maxNeedle_; }
    // No condition can hold on a line that holds none of the Needles()
    // marked `filter`: lines without a raw occurrence of one of them need
    // not be looked at.
    bool Prefilter() const { return prefilter_; }
    const std::vector<TNeedle>& Needles() const { return needles_; }

    // A whole line (raw bytes, and folded bytes when NeedsFold, else null).
    // Returns the index of the condition that holds, or -1; pos gets the
    // 1-based position of the match within the line (1 for an expression).
    int MatchLine(const char* raw, const char* folded, size_t n, int64_t& pos);

    // A line in pieces: each piece covers line bytes [base, base + n); every
    // piece after the first repeats the last MaxNeedle() + 1 bytes of the
    // previous one; the last piece ends where the line ends.
    void StartPieces();
    void Piece(const char* raw, const char* folded, size_t n, int64_t base, bool final);
    int EndPieces(int64_t& pos);

private:
    struct TCondition {
        bool plain = true;
        TSearchProgram prog;
        std::vector<int> needle;  // needle index of each program operand
    };

    void MarkFilterNeedles(const TCondition& c);
    bool Found(int k, const char* raw, const char* folded, size_t n, size_t& at) const;
    int Decide(int64_t& pos);

    std::vector<TNeedle> needles_;
    std::vector<TCondition> conds_;
    bool needsFold_ = false;
    bool prefilter_ = true;
    size_t maxNeedle_ = 0;
    // Per needle, for the line at hand: found yet, and where (1-based).
    std::vector<uint8_t> found_;
    std::vector<int64_t> where_;
    int undecided_ = 0;
    std::vector<uint8_t> opFound_;
    std::vector<uint8_t> stack_;
};
