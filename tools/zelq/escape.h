// The one escaper of zelq for text that comes from an agent: whatever an
// agent sends, what zelq prints can neither drive a terminal nor break a
// line, a tab-separated field or a JSON document. Pure, thread-safe.
#pragma once

#include <string>
#include <string_view>

// A control byte: below 0x20, or DEL (0x7F).
constexpr bool IsControlByte(unsigned char c) { return c < 0x20 || c == 0x7F; }

enum class TEscapeForm {
    Terminal,  // control bytes but the tab as \xNN (two capital hex digits); every other byte as it is
    Field,     // every control byte, the tab too, as \xNN: a tab-separated field stays one field
    Json,      // the inside of a JSON string: '"' and '\\' escaped, control bytes and every byte of
               // an invalid UTF-8 sequence as \u00xx (small hex digits), valid UTF-8 as it is
};

// Appends bytes to out in the given form.
void AppendEscaped(std::string& out, std::string_view bytes, TEscapeForm form);

// The same as a new string.
std::string Escaped(std::string_view bytes, TEscapeForm form);

// A JSON string literal, the quotes included.
std::string JsonString(std::string_view bytes);
