// The escaping of line ends inside one-line texts: request parameters,
// reply lines and multi-line settings values. Pure functions; thread-safe.
#pragma once

#include "foundation/qdstring.h"

// Writes each line feed as "%0A" and each carriage return as "%0D".
// length 0 with a NUL-terminated text means up to its terminator; a null
// text gives an empty result.
String zelEncodeStrings(const char* text, int length);
String zelEncodeStrings(const String& text);
// Turns "%0A" and "%0D" (upper case only) back into LF and CR.
String zelDecodeStrings(const char* text, int length);
String zelDecodeStrings(const String& text);
