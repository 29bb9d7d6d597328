#include "foundation/escape.h"

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
