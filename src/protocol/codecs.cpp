#include "protocol/codecs.h"

#include <climits>
#include <cstdlib>
#include <cstring>

bool zelDecodeBool(const char* text) { return text != nullptr && std::strcmp(text, "1") == 0; }

bool zelDecodeBool(const String& text) { return zelDecodeBool(text.Data()); }

long long zelDecodeInt64(const char* text) {
    if (text == nullptr) return 0;
    return std::strtoll(text, nullptr, 10);  // saturates at the type's limits
}

long long zelDecodeInt64(const String& text) { return zelDecodeInt64(text.Data()); }

int zelDecodeInt(const char* text) {
    long long v = zelDecodeInt64(text);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

int zelDecodeInt(const String& text) { return zelDecodeInt(text.Data()); }

bool zelDecodeInt(const char* text, int& out) {
    if (text == nullptr || !isdecimalnum(text)) return false;
    out = zelDecodeInt(text);
    return true;
}

bool zelDecodeInt(const String& text, int& out) { return zelDecodeInt(text.Data(), out); }

bool zelDecodeInt64(const char* text, long long& out) {
    if (text == nullptr || !isdecimalnum(text)) return false;
    out = zelDecodeInt64(text);
    return true;
}

bool zelDecodeInt64(const String& text, long long& out) { return zelDecodeInt64(text.Data(), out); }
