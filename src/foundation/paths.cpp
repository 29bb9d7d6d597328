// Byte-level path helpers; '/' is the only separator.
#include <cstring>

#include "foundation/fileutils.h"

bool IsPathDelimiter(const String& s, int i) {
    return i >= 1 && i <= s.Length() && s[i] == '/';
}

String IncludeTrailingPathDelimiter(const String& s) {
    if (IsPathDelimiter(s, s.Length())) return s;
    return s + '/';
}

String ExcludeTrailingPathDelimiter(const String& s) {
    if (!IsPathDelimiter(s, s.Length())) return s;
    return s.Copy(1, s.Length() - 1);
}

int LastDelimiter(const char* delims, const String& s) {
    if (delims == nullptr || *delims == '\0') return 0;
    for (int i = s.Length(); i >= 1; --i) {
        const char c = s[i];
        if (c != '\0' && std::strchr(delims, c) != nullptr) return i;
    }
    return 0;
}

String ExtractFilePath(const String& s) {
    const int p = LastDelimiter("/", s);
    return p == 0 ? String() : s.Copy(1, p);
}

String ExtractFileName(const String& s) {
    const int p = LastDelimiter("/", s);
    return p == 0 ? s : s.Copy(p + 1, s.Length() - p);
}
