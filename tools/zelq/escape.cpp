#include "zelq/escape.h"

namespace {

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

size_t ControlLength(std::string_view bytes, size_t i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (IsControlByte(c)) return 1;
    if (c < 0x80) return 0;
    const size_t n = Utf8SequenceLength(bytes, i);
    if (n == 0) return IsC1Byte(c) ? 1 : 0;
    if (n == 2 && c == 0xC2 && IsC1Byte(static_cast<unsigned char>(bytes[i + 1]))) return 2;
    return 0;
}

void AppendEscaped(std::string& out, std::string_view bytes, TEscapeForm form) {
    out.reserve(out.size() + bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (const size_t control = ControlLength(bytes, i)) {
            if (c == '\t' && form == TEscapeForm::Terminal) {
                out += '\t';
            } else if (control == 2 && form == TEscapeForm::Json) {
                // U+0080-U+009F: the code point is the second byte.
                AppendByteEscape(out, static_cast<unsigned char>(bytes[i + 1]), form);
            } else {
                for (size_t k = 0; k < control; ++k)
                    AppendByteEscape(out, static_cast<unsigned char>(bytes[i + k]), form);
            }
            i += control;
        } else if (c < 0x80) {
            if (form == TEscapeForm::Json && (c == '"' || c == '\\')) out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t n = Utf8SequenceLength(bytes, i)) {
            out.append(bytes.substr(i, n));
            i += n;
        } else if (form == TEscapeForm::Json) {
            AppendByteEscape(out, c, form);
            ++i;
        } else {
            out += static_cast<char>(c);  // not UTF-8, not a control: a Latin-1 letter, say
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
