// Reading a handler's parameters. Parameter N is line N of the parameter
// text, counted from 1; a line the request does not carry reads as an empty
// text (nothing counts parameters). Texts are trimmed of the bytes
// 0x00-0x20 only, so paths and names with non-ASCII letters stay whole.
// Pure functions of the request; thread-safe for distinct replies.
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"

// Parameter n, trimmed.
String ParamText(const VTRequest& params, int n);
// Parameter n exactly as received (without its line feed).
String ParamRaw(const VTRequest& params, int n);
// Parameter n with "%0A" and "%0D" turned back into LF and CR; trimmed
// before decoding when trim is true (escaped line ends survive the trim).
String ParamDecoded(const VTRequest& params, int n, bool trim = true);
// True exactly when the trimmed parameter is "1".
bool ParamFlag(const VTRequest& params, int n);
// The trimmed parameter read like atoi (no digits: 0; clamped to the range).
int ParamNumber(const VTRequest& params, int n);

// Checked integers: the trimmed parameter may hold only digits and minus
// signs (an empty one reads as 0). On a bad value `out` is unchanged, the
// reply becomes "501" with "Wrong parameter", and false is returned, so a
// handler answers with `if (!ParamInt(params, 4, limit, reply)) return;`.
bool ParamInt(const VTRequest& params, int n, int& out, ZELReply& reply);
bool ParamInt64(const VTRequest& params, int n, long long& out, ZELReply& reply);

// The text of a "501" answer for a parameter that is not a valid number.
inline constexpr const char* kWrongParameter = "Wrong parameter";
