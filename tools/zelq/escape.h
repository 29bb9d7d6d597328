// The one escaper of zelq for text that comes from an agent: whatever an
// agent sends, what zelq prints can neither drive a terminal nor break a
// line, a tab-separated field or a JSON document. Pure, thread-safe.
#pragma once

#include <string>
#include <string_view>

// A control byte: below 0x20, or DEL (0x7F).
constexpr bool IsControlByte(unsigned char c) { return c < 0x20 || c == 0x7F; }

// A byte that a terminal in an 8-bit mode takes for a C1 control
// (0x80-0x9F) when it is not part of a valid UTF-8 sequence.
constexpr bool IsC1Byte(unsigned char c) { return c >= 0x80 && c <= 0x9F; }

// Length of the valid UTF-8 sequence at bytes[i] (2 to 4; overlong forms,
// surrogates and code points above U+10FFFF are invalid), or 0 for a byte
// below 0x80 and for a byte that starts no valid sequence.
size_t Utf8SequenceLength(std::string_view bytes, size_t i);

// Length of the terminal control at bytes[i], or 0: 1 for a control byte
// (C0, DEL) and for a C1 byte outside valid UTF-8, 2 for a C1 control
// written in UTF-8 (U+0080-U+009F, "\xC2\x80" to "\xC2\x9F"). i is the
// start of a character: callers step over valid UTF-8 sequences whole.
size_t ControlLength(std::string_view bytes, size_t i);

enum class TEscapeForm {
    Terminal,  // control bytes but the tab as \xNN (two capital hex digits), C1 controls too (a UTF-8
               // one as its two bytes, \xC2\x9B); every other byte as it is
    Field,     // the same, the tab too: a tab-separated field stays one field
    Json,      // the inside of a JSON string: '"' and '\\' escaped, control bytes and every byte of
               // an invalid UTF-8 sequence as \u00xx (small hex digits), the UTF-8 C1 controls as
               // \u0080-\u009f, other valid UTF-8 as it is
};

// Appends bytes to out in the given form.
void AppendEscaped(std::string& out, std::string_view bytes, TEscapeForm form);

// The same as a new string.
std::string Escaped(std::string_view bytes, TEscapeForm form);

// A JSON string literal, the quotes included.
std::string JsonString(std::string_view bytes);
