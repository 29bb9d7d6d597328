#include "foundation/qdstring.h"
#include "foundation/fault.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int TextLength(const char* s, int n) {
    if (s == nullptr) return 0;
    return n < 0 ? static_cast<int>(std::strlen(s)) : n;
}

bool IsBlank(char c) { return static_cast<signed char>(c) <= 32; }

}  // namespace

String::String(const char* s) {
    if (s != nullptr) s_.assign(s);
}

String::String(const char* s, int n) {
    if (s != nullptr && n != 0) s_.assign(s, static_cast<size_t>(TextLength(s, n)));
}

String::String(std::string_view s) : s_(s) {}

String& String::operator=(const String& s) {
    if (this != &s) CopyData(s.s_.data(), s.Length());
    return *this;
}

String& String::operator=(String&& s) noexcept {
    if (this != &s) {
        s_ = std::move(s.s_);
        s.s_.clear();
    }
    return *this;
}

String& String::operator=(const char* s) {
    CopyData(s, -1);
    return *this;
}

int String::CopyData(const char* src, int n) {
    if (src != nullptr && src == s_.data() && !s_.empty()) return Length();
    if (src == nullptr || n == 0) {
        s_.clear();
        s_.shrink_to_fit();
        return 0;
    }
    n = TextLength(src, n);
    s_.assign(src, static_cast<size_t>(n));
    return Length();
}

int String::AddData(const char* src, int n) {
    if (src == nullptr) return Length();
    n = TextLength(src, n);
    s_.append(src, static_cast<size_t>(n));
    return Length();
}

int String::AddChar(char c) {
    s_.push_back(c);
    return Length();
}

String& String::operator+=(const char* s) {
    AddData(s, -1);
    return *this;
}

String& String::operator+=(char c) {
    AddChar(c);
    return *this;
}

String& String::operator+=(const String& s) {
    if (&s == this) {
        std::string copy = s.s_;
        AddData(copy.data(), static_cast<int>(copy.size()));
    } else {
        AddData(s.s_.data(), s.Length());
    }
    return *this;
}

String String::operator+(char c) const {
    String r(*this);
    r.s_.push_back(c);
    return r;
}

String String::operator+(const char* s) const {
    String r(*this);
    if (s != nullptr) r.s_.append(s);
    return r;
}

String String::operator+(const String& s) const {
    String r(*this);
    r.s_.append(s.s_);
    return r;
}

void String::SetLength(int n) {
    if (n <= 0) {
        s_.clear();
        s_.shrink_to_fit();
        return;
    }
    s_.resize(static_cast<size_t>(n), '\0');
}

String& String::LowerCase() {
    for (char& c : s_) c = LoCase(c);
    return *this;
}

int String::Pos(char c) const {
    size_t p = s_.find(c);
    return p == std::string::npos ? 0 : static_cast<int>(p) + 1;
}

int String::Pos(const char* s, int n) const {
    if (s == nullptr) return 0;
    return mempos(s_.data(), Length(), s, TextLength(s, n));
}

int String::Pos(const String& s) const { return mempos(s_.data(), Length(), s.s_.data(), s.Length()); }

String String::Copy(int pos, int count) const {
    if (pos < 1) pos = 1;
    if (pos + count - 1 > Length()) count = Length() - pos + 1;
    if (count < 1) return String();
    return String(s_.data() + pos - 1, count);
}

void String::Delete(int pos, int count) {
    if (count < 1 || pos < 1 || pos > Length()) return;
    if (count > Length() - pos + 1) count = Length() - pos + 1;
    s_.erase(static_cast<size_t>(pos - 1), static_cast<size_t>(count));
}

String& String::Trim() {
    size_t b = 0, e = s_.size();
    while (b < e && IsBlank(s_[b])) ++b;
    while (e > b && IsBlank(s_[e - 1])) --e;
    s_ = s_.substr(b, e - b);
    return *this;
}

String& String::TrimAscii() {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    size_t b = 0, e = s_.size();
    while (b < e && blank(s_[b])) ++b;
    while (e > b && blank(s_[e - 1])) --e;
    if (b > 0 || e < s_.size()) s_ = s_.substr(b, e - b);
    return *this;
}

String String::ReplaceAll(const char* what, const char* with, int caseSensitive) const {
    int wlen = TextLength(what, -1);
    if (wlen == 0) return *this;
    int withLen = TextLength(with, -1);
    String result;
    const char* p = s_.data();
    int left = Length();
    while (left > 0) {
        int at = caseSensitive ? mempos(p, left, what, wlen) : memposi(p, left, what, wlen);
        if (at == 0) break;
        result.s_.append(p, static_cast<size_t>(at - 1));
        if (withLen > 0) result.s_.append(with, static_cast<size_t>(withLen));
        p += at - 1 + wlen;
        left -= at - 1 + wlen;
    }
    result.s_.append(p, static_cast<size_t>(left));
    return result;
}

String String::GetWord(int n, char delim) const {
    if (n < 1) n = 1;
    size_t start = 0;
    for (int i = 1; i < n; ++i) {
        size_t d = s_.find(delim, start);
        if (d == std::string::npos) return String();
        start = d + 1;
    }
    size_t end = s_.find(delim, start);
    if (end == std::string::npos) end = s_.size();
    return String(std::string_view(s_).substr(start, end - start));
}

bool String::operator==(const char* s) const {
    if (s == nullptr) return s_.empty();
    return s_ == std::string_view(s);
}

void TStrList::Add(const String& s) { items_.push_back(s); }

String TStrList::operator[](int i) const {
    if (i < 0 || i >= Count()) AssertFault("0 <= i && i < Count()");
    return items_[static_cast<size_t>(i)];
}

void TStrList::Delete(int i) {
    if (i < 0 || i >= Count()) AssertFault("0 <= i && i < Count()");
    items_.erase(items_.begin() + i);
}

char LoCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isdecimalnum(const char* s) {
    if (s == nullptr) return true;
    for (; *s; ++s)
        if (!((*s >= '0' && *s <= '9') || *s == '-')) return false;
    return true;
}

bool isdecimalnum(const char* s, int n) {
    for (int i = 0; i < n; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

int mempos(const char* hay, int hayLen, const char* needle, int needleLen) {
    if (!hay || !needle || hayLen <= 0 || needleLen <= 0 || needleLen > hayLen) return 0;
    std::string_view h(hay, static_cast<size_t>(hayLen));
    size_t p = h.find(std::string_view(needle, static_cast<size_t>(needleLen)));
    return p == std::string_view::npos ? 0 : static_cast<int>(p) + 1;
}

int memposi(const char* hay, int hayLen, const char* needle, int needleLen) {
    if (!hay || !needle || hayLen <= 0 || needleLen <= 0 || needleLen > hayLen) return 0;
    for (int i = 0; i + needleLen <= hayLen; ++i) {
        int j = 0;
        while (j < needleLen && LoCase(hay[i + j]) == LoCase(needle[j])) ++j;
        if (j == needleLen) return i + 1;
    }
    return 0;
}
