#include "checks/log_scanner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "checks/text_search.h"
#include "foundation/fileutils.h"

namespace {

constexpr size_t kNotSearched = kNoPos - 1;

bool IsTerm(char c) { return c == '\n' || c == '\r'; }

String NotFound(const String& name) { return String("File \"") + ExtractFileName(name) + "\" not found"; }

// The file is as the previous scan left it: same size and time.
bool Unchanged(const TLogState& state, const struct stat& st) {
    return state.size != 0 && st.st_size == state.size && state.time != 0 && st.st_mtime == state.time;
}

}  // namespace

TLogScanner::TLogScanner(TLineMatcher& matcher, size_t bufferSize) : m_(matcher) {
    carry_ = m_.MaxNeedle() + 1;
    cap_ = std::max({bufferSize, 4 * (carry_ + 1), size_t{16}});
    buf_ = std::make_unique<char[]>(cap_);
    if (m_.NeedsFold()) fold_ = std::make_unique<char[]>(cap_);
    hit_.assign(m_.Needles().size(), kNotSearched);
}

bool TLogScanner::Open(const String& fileName, TLogState& state, TLogMatch& match, String& err, bool& shortcut) {
    struct stat st;
    if (::stat(fileName.Data(), &st) != 0 || !S_ISREG(st.st_mode)) {
        match.currentSize = -1;
        err = NotFound(fileName);
        return false;
    }
    match.currentSize = st.st_size;
    if (Unchanged(state, st)) {
        shortcut = true;
        return true;
    }
    // Non-blocking, so that a FIFO put in the file's place cannot hold the
    // session; what was opened is checked on the descriptor.
    int fd = -1;
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(openRetryMs));
        fd = ::open(fileName.Data(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }
    if (fd < 0) {
        err = "Cannot open file";
        return false;
    }
    fd_.Reset(fd);
    return true;
}

bool TLogScanner::Scan(const String& fileName, TLogState& state, bool scanAll, TLogMatch& match, String& err) {
    err = String();
    match = TLogMatch();
    struct stat st;
    if (!fd_.Valid()) {
        bool shortcut = false;
        if (!Open(fileName, state, match, err, shortcut)) return false;
        if (shortcut) return true;
        if (::fstat(fd_.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            fd_.Reset();
            err = NotFound(fileName);
            return false;
        }
    } else {
        if (::fstat(fd_.Get(), &st) != 0) {
            err = "Cannot read file";
            return false;
        }
        if (Unchanged(state, st)) {
            match.currentSize = st.st_size;
            return true;
        }
    }
    match.currentSize = st.st_size;
    if (state.size == 0 && state.time == 0) {
        // Never scanned: what the file holds now counts as seen.
        state.position = st.st_size - 1;
        state.size = st.st_size;
        state.time = st.st_mtime;
        return true;
    }
    bool fromEmpty = false;
    if (state.size == 0) {
        // The last scan found the file empty (a new log, or one just rotated
        // or truncated): everything it holds now was written since.
        if (st.st_size == 0) {
            state.time = st.st_mtime;
            return true;
        }
        state.position = 0;
        fromEmpty = true;
    }
    if (state.position > st.st_size) state.position = 0;  // truncated or replaced
    if (state.position < 0) {
        err = "fseek error";
        return false;
    }
    if (!primed_ || state.position != pos_) Reset(state.position);
    const TStop stop = Run(scanAll, match, err);
    if (stop == TStop::Error) return false;
    if (stop == TStop::End) {
        // Everything up to where the reads ended has been seen; a later
        // append makes the size differ, so the shortcut cannot hide it.
        state.size = bufOff_ + static_cast<int64_t>(end_);
        if (::fstat(fd_.Get(), &st) == 0) state.time = st.st_mtime;
    } else {
        if (fromEmpty) {
            // Size 0 would send the next scan back to the start: record what
            // has been read, with the shortcut off.
            state.size = pos_;
            state.time = 0;
        }
        if (::fstat(fd_.Get(), &st) != 0) st.st_size = match.currentSize;
    }
    if (match.result > 0) match.currentSize = std::max<int64_t>(st.st_size, bufOff_ + static_cast<int64_t>(end_));
    state.position = pos_;
    return true;
}

void TLogScanner::Reset(int64_t position) {
    bufOff_ = position;
    cur_ = end_ = 0;
    pos_ = position;
    longLine_ = false;
    primed_ = true;
}

TLogScanner::TStop TLogScanner::Run(bool scanAll, TLogMatch& match, String& err) {
    char* fold = fold_.get();
    for (;;) {
        if (!longLine_) {
            if (cur_ < end_) {
                const size_t last = LastTerm(cur_, end_);
                if (last != kNoPos && Region(cur_, last + 1, scanAll, match)) return TStop::Match;
            }
            // [cur_, end_) is the start of a line not yet terminated.
            if (end_ == cap_) {
                if (cur_ > 0) {
                    Compact();
                } else {
                    longLine_ = true;
                    lineBase_ = 0;
                    head_ = String();
                    m_.StartPieces();
                    LongPiece(end_, false);
                }
            }
        } else {
            const size_t t = NextTerm(carry_, end_);
            if (t != kNoPos) {
                if (FinishLong(t, match) && !scanAll) return TStop::Match;
                continue;
            }
            if (end_ == cap_) LongPiece(end_, false);
        }
        ssize_t n;
        do {
            n = ::pread(fd_.Get(), buf_.get() + end_, cap_ - end_, bufOff_ + static_cast<int64_t>(end_));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            err = "Cannot read file";
            return TStop::Error;
        }
        if (n == 0) {
            if (atEndOfFile) atEndOfFile();
            return TStop::End;
        }
        if (fold != nullptr) FoldAscii(fold + end_, buf_.get() + end_, static_cast<size_t>(n));
        end_ += static_cast<size_t>(n);
    }
}

void TLogScanner::Compact() {
    const size_t keep = end_ - cur_;
    if (keep > 0) {
        std::memmove(buf_.get(), buf_.get() + cur_, keep);
        if (fold_) std::memmove(fold_.get(), fold_.get() + cur_, keep);
    }
    bufOff_ += static_cast<int64_t>(cur_);
    end_ = keep;
    cur_ = 0;
}

bool TLogScanner::Region(size_t a, size_t b, bool scanAll, TLogMatch& match) {
    size_t i = a;
    if (!m_.Prefilter()) {
        while (i < b) {
            const size_t le = NextTerm(i, b);
            if (le == i) {
                ++i;
                continue;
            }
            if (StopsAt(i, le, scanAll, i, match)) return true;
        }
    } else {
        // Only lines holding a raw occurrence of some search text can match.
        std::fill(hit_.begin(), hit_.end(), kNotSearched);
        while (i < b) {
            const size_t h = EarliestHit(i, b);
            if (h == kNoPos) {
                SkipLines(i, b);
                break;
            }
            const size_t before = LastTerm(i, h);
            const size_t ls = before == kNoPos ? i : before + 1;
            SkipLines(i, ls);
            if (StopsAt(ls, NextTerm(h, b), scanAll, i, match)) return true;
        }
    }
    cur_ = b;
    return false;
}

bool TLogScanner::StopsAt(size_t ls, size_t le, bool scanAll, size_t& next, TLogMatch& match) {
    const bool hit = Line(ls, le, match);
    next = le + 1;
    if (!hit || scanAll) return false;
    cur_ = next;
    return true;
}

bool TLogScanner::Line(size_t ls, size_t le, TLogMatch& match) {
    const int64_t before = pos_;
    pos_ = bufOff_ + static_cast<int64_t>(le) + 1;
    int64_t at = 0;
    const int c = m_.MatchLine(buf_.get() + ls, fold_ ? fold_.get() + ls : nullptr, le - ls, at);
    if (c < 0) return false;
    match.result = before + at;
    match.line = String(buf_.get() + ls, static_cast<int>(std::min<size_t>(le - ls, kLogLineKeep)));
    match.condition = c;
    return true;
}

void TLogScanner::SkipLines(size_t a, size_t b) {
    // [a, b) holds whole lines; the position moves behind the last one that
    // is not empty, later empty-line terminators count toward the next line.
    if (a >= b) return;
    size_t t = b - 1;
    while (t > a && IsTerm(buf_[t - 1])) --t;
    if (t > a) pos_ = bufOff_ + static_cast<int64_t>(t) + 1;
}

size_t TLogScanner::EarliestHit(size_t from, size_t to) {
    const auto& needles = m_.Needles();
    size_t best = kNoPos;
    for (size_t k = 0; k < needles.size(); ++k) {
        const TLineMatcher::TNeedle& nd = needles[k];
        if (!nd.filter) continue;
        if (hit_[k] == kNotSearched || (hit_[k] != kNoPos && hit_[k] < from)) {
            const char* hay = nd.folded ? fold_.get() : buf_.get();
            const size_t rel = FindBytes(hay + from, to - from, nd.text.data(), nd.text.size());
            hit_[k] = rel == kNoPos ? kNoPos : from + rel;
        }
        if (hit_[k] != kNoPos) best = std::min(best, hit_[k]);
    }
    return best;
}

size_t TLogScanner::NextTerm(size_t from, size_t to) const {
    if (from >= to) return kNoPos;
    const char* b = buf_.get();
    const void* lf = std::memchr(b + from, '\n', to - from);
    const size_t lfAt = lf == nullptr ? to : static_cast<size_t>(static_cast<const char*>(lf) - b);
    const void* cr = std::memchr(b + from, '\r', lfAt - from);
    if (cr != nullptr) return static_cast<size_t>(static_cast<const char*>(cr) - b);
    return lf == nullptr ? kNoPos : lfAt;
}

size_t TLogScanner::LastTerm(size_t from, size_t to) const {
    if (from >= to) return kNoPos;
    const char* b = buf_.get();
    const void* lf = memrchr(b + from, '\n', to - from);
    const size_t crFrom = lf == nullptr ? from : static_cast<size_t>(static_cast<const char*>(lf) - b) + 1;
    const void* cr = crFrom < to ? memrchr(b + crFrom, '\r', to - crFrom) : nullptr;
    if (cr != nullptr) return static_cast<size_t>(static_cast<const char*>(cr) - b);
    return lf == nullptr ? kNoPos : static_cast<size_t>(static_cast<const char*>(lf) - b);
}

void TLogScanner::LongPiece(size_t n, bool final) {
    const size_t from = lineBase_ == 0 ? 0 : carry_;
    if (head_.Length() < kLogLineKeep && n > from) {
        const size_t take = std::min<size_t>(kLogLineKeep - static_cast<size_t>(head_.Length()), n - from);
        head_.AddData(buf_.get() + from, static_cast<int>(take));
    }
    m_.Piece(buf_.get(), fold_.get(), n, lineBase_, final);
    if (final) return;
    const size_t drop = n - carry_;
    std::memmove(buf_.get(), buf_.get() + drop, carry_);
    if (fold_) std::memmove(fold_.get(), fold_.get() + drop, carry_);
    bufOff_ += static_cast<int64_t>(drop);
    lineBase_ += static_cast<int64_t>(drop);
    end_ = carry_;
    cur_ = 0;
}

bool TLogScanner::FinishLong(size_t t, TLogMatch& match) {
    LongPiece(t, true);
    const int64_t before = pos_;
    pos_ = bufOff_ + static_cast<int64_t>(t) + 1;
    longLine_ = false;
    cur_ = t + 1;
    int64_t at = 0;
    const int c = m_.EndPieces(at);
    if (c < 0) return false;
    match.result = before + at;
    match.line = head_;
    match.condition = c;
    return true;
}
