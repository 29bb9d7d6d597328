// Text encodings of values inside request parameters and reply lines.
#pragma once

#include "foundation/qdstring.h"

// Writes each line feed as "%0A" and each carriage return as "%0D".
// length 0 with a NUL-terminated text means up to its terminator.
String zelEncodeStrings(const char* text, int length);
String zelEncodeStrings(const String& text);
// Turns "%0A" and "%0D" (upper case only) back into LF and CR.
String zelDecodeStrings(const char* text, int length);
String zelDecodeStrings(const String& text);
