#include "zelq/escape.h"

namespace {

// Length of the valid UTF-8 sequence starting at s[i] (2 to 4), or 0.
// Overlong forms, surrogates and code points above U+10FFFF are invalid.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

// "\xNN" with capitals in the terminal forms, "\u00nn" with small letters
// in JSON.
void AppendByteEscape(std::string& out, unsigned char c, TEscapeForm form) {
    static const char kUpper[] = "0123456789ABCDEF";
    static const char kLower[] = "0123456789abcdef";
    const char* digits = form == TEscapeForm::Json ? kLower : kUpper;
    out += form == TEscapeForm::Json ? "\\u00" : "\\x";
    out += digits[c >> 4];
    out += digits[c & 15];
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view bytes, TEscapeForm form) {
    out.reserve(out.size() + bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (IsControlByte(c)) {
            if (c == '\t' && form == TEscapeForm::Terminal) out += '\t';
            else AppendByteEscape(out, c, form);
            ++i;
        } else if (form != TEscapeForm::Json || c < 0x80) {
            if (form == TEscapeForm::Json && (c == '"' || c == '\\')) out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t n = Utf8SequenceLength(bytes, i)) {
            out.append(bytes.substr(i, n));
            i += n;
        } else {
            AppendByteEscape(out, c, form);
            ++i;
        }
    }
}

std::string Escaped(std::string_view bytes, TEscapeForm form) {
    std::string out;
    AppendEscaped(out, bytes, form);
    return out;
}

std::string JsonString(std::string_view bytes) {
    std::string out = "\"";
    AppendEscaped(out, bytes, TEscapeForm::Json);
    out += '"';
    return out;
}
