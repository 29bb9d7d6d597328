// Text encodings of values inside request parameters and reply lines.
#pragma once

#include "foundation/escape.h"  // zelEncodeStrings, zelDecodeStrings
#include "foundation/qdstring.h"


// True exactly when the text is "1".
bool zelDecodeBool(const char* text);
bool zelDecodeBool(const String& text);
// The text as a number, read like atoi/atoll: leading blanks and a sign
// allowed, stops at the first non-digit, no digits gives 0. Values beyond
// the type's range are clamped to its limits.
int zelDecodeInt(const char* text);
int zelDecodeInt(const String& text);
long long zelDecodeInt64(const char* text);
long long zelDecodeInt64(const String& text);
// Validating forms: false (out unchanged) unless the text holds only
// digits and minus signs (isdecimalnum); "" reads as 0.
bool zelDecodeInt(const char* text, int& out);
bool zelDecodeInt(const String& text, int& out);
bool zelDecodeInt64(const char* text, long long& out);
bool zelDecodeInt64(const String& text, long long& out);
