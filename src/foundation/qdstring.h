// Byte strings and string lists used throughout the agent.
//
// String is a growable, binary-safe byte string. Character positions run
// from 1 to Length(); 0 means "not found". TStrList is a list of byte
// strings indexed from 0 to Count()-1.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class String {
public:
    String() = default;
    String(const char* s);  // NOLINT: implicit on purpose, like a C string
    String(const char* s, int n);
    explicit String(std::string_view s);
    String(const String&) = default;
    String(String&&) noexcept = default;
    ~String() = default;

    String& operator=(const String& s);
    String& operator=(String&& s) noexcept;
    String& operator=(const char* s);

    // Replaces the content by n bytes of src (n = -1: up to the NUL).
    int CopyData(const char* src, int n);
    // Appends n bytes of src (n = -1: up to the NUL); a null src appends nothing.
    int AddData(const char* src, int n);
    int AddChar(char c);

    String& operator+=(const char* s);
    String& operator+=(char c);
    String& operator+=(const String& s);
    String operator+(char c) const;
    String operator+(const char* s) const;
    String operator+(const String& s) const;

    int Length() const { return static_cast<int>(s_.size()); }
    bool IsEmpty() const { return s_.empty(); }
    // The bytes; always followed by a NUL, so Data() is also usable as C
    // text when the content holds no NUL byte.
    const char* Data() const { return s_.c_str(); }
    // Writable access to the Length() bytes (after SetLength).
    char* Buffer() { return s_.data(); }
    std::string_view View() const { return s_; }
    const std::string& Std() const { return s_; }

    // The byte at 1-based position i; the caller keeps 1 <= i <= Length().
    char operator[](int i) const { return s_[static_cast<size_t>(i - 1)]; }

    // Sets the length to n (new bytes are zero).
    void SetLength(int n);

    String& LowerCase();

    int Pos(char c) const;
    int Pos(const char* s, int n = -1) const;
    int Pos(const String& s) const;

    String Copy(int pos, int count) const;
    void Delete(int pos, int count);
    // Removes leading and trailing blanks and control characters. Classic
    // rule: every byte up to 0x20 and every byte from 0x80 to 0xFF counts
    // as blank, so non-ASCII letters at either end are lost.
    String& Trim();
    // Removes only the bytes 0x00-0x20 at either end: "/var/log/café"
    // stays whole. The trim for paths, names, hosts and texts that reach
    // the agent from requests and from scripts' output.
    String& TrimAscii();
    String ReplaceAll(const char* what, const char* with, int caseSensitive) const;
    String GetWord(int n, char delim) const;

    bool operator==(const char* s) const;
    bool operator==(const String& s) const { return s_ == s.s_; }
    bool operator!=(const char* s) const { return !(*this == s); }
    bool operator!=(const String& s) const { return !(*this == s); }

private:
    std::string s_;
};

class TStrList {
public:
    TStrList() = default;
    void Add(const String& s);
    // A copy of item i; 0 <= i < Count() or the process stops.
    String operator[](int i) const;
    void Delete(int i);
    int Count() const { return static_cast<int>(items_.size()); }
    void Clear() { items_.clear(); items_.shrink_to_fit(); }

private:
    std::vector<String> items_;
};

// c in lower case when it is an ASCII capital letter, else c.
char LoCase(char c);
// Every character a digit or '-' (anywhere, any number); "" is true.
bool isdecimalnum(const char* s);
// The first n bytes are all digits '0'-'9'; n = 0 is true.
bool isdecimalnum(const char* s, int n);
// 1-based position of needle in hay, exact bytes; 0 when absent or empty.
int mempos(const char* hay, int hayLen, const char* needle, int needleLen);
// As mempos, ignoring ASCII case.
int memposi(const char* hay, int hayLen, const char* needle, int needleLen);
