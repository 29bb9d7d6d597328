#include "protocol/codecs.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

int TextLength(const char* text, int length) {
    if (text == nullptr) return 0;
    return length == 0 ? static_cast<int>(std::strlen(text)) : length;
}

}  // namespace

String zelEncodeStrings(const char* text, int length) {
    int n = TextLength(text, length);
    String out;
    for (int i = 0; i < n; ++i) {
        if (text[i] == '\n') out.AddData("%0A", 3);
        else if (text[i] == '\r') out.AddData("%0D", 3);
        else out.AddChar(text[i]);
    }
    return out;
}

String zelEncodeStrings(const String& text) { return zelEncodeStrings(text.Data(), text.Length()); }

String zelDecodeStrings(const char* text, int length) {
    int n = TextLength(text, length);
    String out;
    for (int i = 0; i < n; ++i) {
        if (text[i] == '%' && i + 2 < n && text[i + 1] == '0' && (text[i + 2] == 'A' || text[i + 2] == 'D')) {
            out.AddChar(text[i + 2] == 'A' ? '\n' : '\r');
            i += 2;
        } else {
            out.AddChar(text[i]);
        }
    }
    return out;
}

String zelDecodeStrings(const String& text) { return zelDecodeStrings(text.Data(), text.Length()); }

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
