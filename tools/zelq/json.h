// The JSON form of a reply: each value under its name from the command
// reference (protocol/command_reference.h), typed, and the value lines as
// received. Pure; thread-safe.
#pragma once

#include <string>

#include "zelq/output.h"

// The members of the reply's object, without the braces:
//   "code": "200", "values": {...}, "raw": [...]
// values: for a "200" reply (and a "301" reply whose values the reference
// lists) each value line under its name: integers and reals as JSON
// numbers (the padding dropped), booleans as true/false, times as the text
// received and beside it NAME_iso, "YYYY-MM-DDThh:mm:ss" (the agent's local
// time), escaped texts decoded, the entries of a listing as an array; the
// lines of a name=value reply under their own names. A value that does not
// read as its type stays a string. Another reply's text is "text". A
// command the reference does not know has no values. raw: every value line
// as received, not decoded. With onlyLine (from 1) values and raw hold that
// line only.
std::string JsonReplyMembers(const std::string& command, const TReplyLines& reply, int onlyLine = 0);

// "DDMMYYYYhhmmss" as "YYYY-MM-DDThh:mm:ss"; empty when it is not a time.
std::string IsoTime(std::string_view agentTime);
