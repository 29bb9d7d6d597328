#include "checks/script_output.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {

constexpr int kBufferSize = 64 * 1024;

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsResultLine(const String& line) {
    static constexpr char kMark[] = "scriptres:";
    constexpr int n = sizeof kMark - 1;
    return line.Length() >= n && strncasecmp(line.Data(), kMark, n) == 0;
}

}  // namespace

TLineReader::TLineReader(int fd, int64_t limit) : fd_(fd), left_(limit), buf_(new char[kBufferSize]) {}

bool TLineReader::Fill() {
    if (end_) return false;
    if (left_ <= 0) {
        end_ = true;
        return false;
    }
    const size_t want = left_ < kBufferSize ? static_cast<size_t>(left_) : kBufferSize;
    ssize_t got;
    do {
        got = read(fd_, buf_.get(), want);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        end_ = true;
        return false;
    }
    pos_ = 0;
    len_ = static_cast<int>(got);
    left_ -= got;
    return true;
}

bool TLineReader::Next(String& piece) {
    piece = String();
    while (piece.Length() < kMaxPiece) {
        if (pos_ >= len_ && !Fill()) break;
        const int room = kMaxPiece - piece.Length();
        int n = 0;
        bool lf = false;
        while (n < room && pos_ + n < len_) {
            if (buf_[pos_ + n++] == '\n') {
                lf = true;
                break;
            }
        }
        piece.AddData(buf_.get() + pos_, n);
        pos_ += n;
        if (lf) break;
    }
    return !piece.IsEmpty();
}

String ReadPrefix(int fd, int max) {
    String out;
    TLineReader in(fd, max);
    String piece;
    while (in.Next(piece)) out += piece;
    return out;
}

bool ParseLeadingInt(const String& text, int& value) {
    const char* p = text.Data();
    const char* end = p + text.Length();
    while (p < end && IsSpace(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p >= end || *p < '0' || *p > '9') return false;
    long long v = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT_MAX || v < INT_MIN) return false;
    value = static_cast<int>(v);
    return true;
}

bool ParseLeadingReal(const String& text, double& value) {
    const char* start = text.Data();  // NUL-terminated
    char* end = nullptr;
    errno = 0;
    const float f = std::strtof(start, &end);
    if (end == start || !std::isfinite(f)) return false;
    value = static_cast<double>(f);
    return true;
}

String CollectListLines(TLineReader& in) {
    String list, piece;
    while (in.Next(piece)) {
        if (piece[piece.Length()] == '\n') piece.SetLength(piece.Length() - 1);
        if (piece.IsEmpty()) continue;
        list += piece;
        list += "\r\n";
    }
    return list;
}

void CollectScriptResult(TLineReader& in, int wanted, String& result, String& output, int maxOutput) {
    result = String();
    output = String();
    String line;
    while (in.Next(line)) {
        line.TrimAscii();
        if (line.IsEmpty()) continue;
        if (wanted > 0) {
            if (output.Length() + line.Length() + 2 <= maxOutput) {
                output += line;
                output += "\r\n";
            }
            --wanted;
        }
        if (!IsResultLine(result)) result = line;
        if (IsResultLine(result) && wanted <= 0) break;
    }
}
