// Incremental scan of a growing text log: from the state the server last
// received (position, size, time), read what was appended, find the first
// line that meets the conditions of a TLineMatcher, and give back the new
// state. The agent keeps nothing between requests; within one request the
// scanner keeps the file open so a second scan goes on where the first one
// stopped.
//
// Lines end at CR or LF; a terminator that ends an empty line is skipped but
// counts toward the bytes of the next line. A line not yet terminated when
// the file ends is left for a later scan (its bytes are not consumed).
// Memory stays bounded whatever the file holds: lines are matched where they
// lie in the read buffer, a line longer than the buffer is matched in
// pieces, and only the first kLogLineKeep bytes of a reported line are kept.
//
// One scanner per request, on one thread; the matcher must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "checks/line_matcher.h"
#include "foundation/fd.h"
#include "foundation/qdstring.h"

// Bytes of a reported line that are sent back.
inline constexpr int kLogLineKeep = 1024;
// Default size of the read buffer.
inline constexpr size_t kLogReadBuffer = 512 * 1024;

// The scan state exchanged with the server.
struct TLogState {
    int64_t position = 0;  // where the next scan starts
    int64_t size = 0;      // size when a scan last reached the end
    int64_t time = 0;      // modification time recorded with size; 0: no shortcut
    // size 0 and time 0: never scanned; the first scan records the end of the
    // file and reports nothing of what it holds. size 0 and another time: the
    // last scan found the file empty; the next one reads from its start.
};

// What one scan found.
struct TLogMatch {
    int64_t result = 0;       // 0: no line; > 0: (offset where the line's bytes began) + (match position)
    String line;              // the reported line, first kLogLineKeep bytes
    int condition = -1;       // which condition of the matcher held (0 or 1), -1 for none
    int64_t currentSize = 0;  // the file's size as seen by the scan
};

class TLogScanner {
public:
    // bufferSize is raised as needed to hold several needles' worth of bytes.
    explicit TLogScanner(TLineMatcher& matcher, size_t bufferSize = kLogReadBuffer);

    // One scan of fileName from state. false with err set ("File "x" not
    // found", "Cannot open file", "fseek error", "Cannot read file"); true
    // with match.result 0 when no line matched, else the positive match
    // result and the line. state becomes the new
    // state: after a match without scanAll the position points behind the
    // matched line and size and time stay as received (when the file was
    // empty at the last scan: size = that position, time 0); otherwise the scan
    // went to the end of the file and size/time record that end. A file
    // replaced or truncated below state.position is read from its start; one
    // that has already grown past state.position again cannot be told from
    // an append.
    // The first call opens the file (three attempts, openRetryMs apart);
    // later calls on the same scanner reuse the open file and go on from
    // where the previous scan stopped when state.position is where it left
    // off.
    bool Scan(const String& fileName, TLogState& state, bool scanAll, TLogMatch& match, String& err);

    // Pause between attempts to open the file.
    int openRetryMs = 1000;
    // Called each time a scan has read up to the end of the file (tests use
    // it to append at that moment).
    std::function<void()> atEndOfFile;

private:
    enum class TStop { Match, End, Error };

    bool Open(const String& fileName, TLogState& state, TLogMatch& match, String& err, bool& shortcut);
    void Reset(int64_t position);
    TStop Run(bool scanAll, TLogMatch& match, String& err);
    bool Region(size_t a, size_t b, bool scanAll, TLogMatch& match);
    bool Line(size_t ls, size_t le, TLogMatch& match);
    // Matches the line [ls, le) and sets next behind it; true when the scan
    // stops there (a match without scanAll), cur_ then behind the line.
    bool StopsAt(size_t ls, size_t le, bool scanAll, size_t& next, TLogMatch& match);
    void SkipLines(size_t a, size_t b);
    size_t EarliestHit(size_t from, size_t to);
    size_t NextTerm(size_t from, size_t to) const;
    size_t LastTerm(size_t from, size_t to) const;
    void Compact();
    void LongPiece(size_t n, bool final);
    bool FinishLong(size_t t, TLogMatch& match);

    TLineMatcher& m_;
    TFd fd_;
    size_t cap_;
    std::unique_ptr<char[]> buf_;
    std::unique_ptr<char[]> fold_;  // case-folded copy, when the matcher needs it
    size_t cur_ = 0;                // next unprocessed byte (a line start)
    size_t end_ = 0;                // end of the bytes read
    int64_t bufOff_ = 0;            // file offset of buf_[0]
    int64_t pos_ = 0;               // committed position
    bool primed_ = false;           // the buffer continues from pos_
    // A line longer than the buffer, held as its last carry_ bytes.
    bool longLine_ = false;
    int64_t lineBase_ = 0;  // line offset of buf_[0]
    size_t carry_ = 1;
    String head_;           // its first kLogLineKeep bytes
    std::vector<size_t> hit_;  // per needle: next raw occurrence in the region
};
