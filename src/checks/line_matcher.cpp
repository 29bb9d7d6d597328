#include "checks/line_matcher.h"

#include <algorithm>

#include "checks/text_search.h"

void TLineMatcher::Build(const TTextLogFilter* filters, int count) {
    needles_.clear();
    conds_.clear();
    needsFold_ = false;
    prefilter_ = true;
    maxNeedle_ = 0;
    auto addNeedle = [&](const String& text, const TTextLogFilter& f, bool usable) {
        TNeedle n;
        n.text = text.Std();
        n.folded = f.caseSensitive == 0;
        if (n.folded) FoldAscii(n.text.data(), n.text.data(), n.text.size());
        n.wholeWord = f.wholeWord != 0;
        n.never = !usable || n.text.empty() || n.text.find_first_of("\r\n") != std::string::npos;
        if (!n.never) {
            needsFold_ = needsFold_ || n.folded;
            maxNeedle_ = std::max(maxNeedle_, n.text.size());
        }
        needles_.push_back(std::move(n));
        return static_cast<int>(needles_.size()) - 1;
    };
    for (int i = 0; i < count; ++i) {
        const TTextLogFilter& f = filters[i];
        TCondition c;
        if (f.useExpression == 0) {
            c.plain = true;
            c.needle.push_back(addNeedle(f.expression, f, true));
            needles_.back().filter = !needles_.back().never;
        } else {
            c.plain = false;
            String err;
            CompileSearchExpression(f.expression, c.prog, err);
            for (const String& op : c.prog.operands) c.needle.push_back(addNeedle(op, f, c.prog.valid));
            if (c.prog.valid) {
                stack_.resize(std::max(stack_.size(), static_cast<size_t>(c.prog.depth) + 1));
                opFound_.resize(std::max(opFound_.size(), c.prog.operands.size()));
                MarkFilterNeedles(c);
            }
        }
        conds_.push_back(std::move(c));
    }
    found_.assign(needles_.size(), 0);
    where_.assign(needles_.size(), 0);
}

void TLineMatcher::MarkFilterNeedles(const TCondition& c) {
    // The texts whose absence alone makes the condition false, whatever the
    // others: ('a' or 'b') and not 'c' needs only 'a' and 'b' looked for.
    // Texts are dropped one by one while every combination of the dropped
    // ones still gives false (tried exhaustively for a few texts only).
    const size_t n = c.prog.operands.size();
    std::vector<uint8_t> found(n, 0), stack(static_cast<size_t>(c.prog.depth) + 1, 0);
    auto falseWithout = [&](const std::vector<size_t>& free) {
        for (uint32_t bits = 0; bits < (1u << free.size()); ++bits) {
            std::fill(found.begin(), found.end(), 0);
            for (size_t i = 0; i < free.size(); ++i) found[free[i]] = (bits >> i) & 1u;
            if (c.prog.Eval(found.data(), stack.data())) return false;
        }
        return true;
    };
    std::vector<size_t> free;
    if (!falseWithout(free)) {
        // Holds on a line without any of its texts (such as not 'debug'):
        // every line must be looked at.
        prefilter_ = false;
        return;
    }
    std::vector<uint8_t> needed(n, 1);
    for (size_t k = 0; k < n && free.size() < 10; ++k) {
        free.push_back(k);
        if (falseWithout(free)) {
            needed[k] = 0;
        } else {
            free.pop_back();
        }
    }
    for (size_t k = 0; k < n; ++k) {
        TNeedle& nd = needles_[static_cast<size_t>(c.needle[k])];
        if (needed[k] != 0 && !nd.never) nd.filter = true;
    }
}

bool TLineMatcher::Found(int k, const char* raw, const char* folded, size_t n, size_t& at) const {
    const TNeedle& nd = needles_[static_cast<size_t>(k)];
    if (nd.never) return false;
    at = FindCounting(nd.folded ? folded : raw, n, nd.text.data(), nd.text.size(), nd.wholeWord, 0, true);
    return at != kNoPos;
}

int TLineMatcher::MatchLine(const char* raw, const char* folded, size_t n, int64_t& pos) {
    for (size_t ci = 0; ci < conds_.size(); ++ci) {
        const TCondition& c = conds_[ci];
        size_t at = 0;
        if (c.plain) {
            if (Found(c.needle[0], raw, folded, n, at)) {
                pos = static_cast<int64_t>(at) + 1;
                return static_cast<int>(ci);
            }
            continue;
        }
        if (!c.prog.valid) continue;
        for (size_t j = 0; j < c.needle.size(); ++j) opFound_[j] = Found(c.needle[j], raw, folded, n, at) ? 1 : 0;
        if (c.prog.Eval(opFound_.data(), stack_.data())) {
            pos = 1;
            return static_cast<int>(ci);
        }
    }
    return -1;
}

void TLineMatcher::StartPieces() {
    std::fill(found_.begin(), found_.end(), 0);
    undecided_ = 0;
    for (const TNeedle& n : needles_)
        if (!n.never) ++undecided_;
}

void TLineMatcher::Piece(const char* raw, const char* folded, size_t n, int64_t base, bool final) {
    if (undecided_ == 0) return;
    for (size_t k = 0; k < needles_.size(); ++k) {
        const TNeedle& nd = needles_[k];
        if (nd.never || found_[k] != 0) continue;
        // The first byte of a later piece was looked at with the piece before.
        const size_t at = FindCounting(nd.folded ? folded : raw, n, nd.text.data(), nd.text.size(), nd.wholeWord,
                                       base == 0 ? 0 : 1, final);
        if (at == kNoPos) continue;
        found_[k] = 1;
        where_[k] = base + static_cast<int64_t>(at) + 1;
        --undecided_;
    }
}

int TLineMatcher::EndPieces(int64_t& pos) { return Decide(pos); }

int TLineMatcher::Decide(int64_t& pos) {
    for (size_t ci = 0; ci < conds_.size(); ++ci) {
        const TCondition& c = conds_[ci];
        if (c.plain) {
            const auto k = static_cast<size_t>(c.needle[0]);
            if (found_[k] != 0) {
                pos = where_[k];
                return static_cast<int>(ci);
            }
            continue;
        }
        if (!c.prog.valid) continue;
        for (size_t j = 0; j < c.needle.size(); ++j) opFound_[j] = found_[static_cast<size_t>(c.needle[j])];
        if (c.prog.Eval(opFound_.data(), stack_.data())) {
            pos = 1;
            return static_cast<int>(ci);
        }
    }
    return -1;
}
