// Reading a reply text and presenting it: result codes, exit statuses and
// the decoded, raw and JSON output forms.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/qdstring.h"
#include "zelq/escape.h"

// Exit statuses of zelq.
enum : int {
    kExitSuccess = 0,     // "200"
    kExitFailed = 1,      // "300", "301", "302"
    kExitRefused = 2,     // "500", "501", "502", "600" and unknown codes
    kExitNoReply = 3,     // the agent closed the connection without a reply
    kExitNoConnect = 4,   // could not connect, or timed out
    kExitUsage = 64,      // wrong command line (EX_USAGE)
};

// A reply text split into its result code and value lines (not decoded).
struct TReplyLines {
    String code;
    std::vector<String> lines;
};

// Splits at line feeds after removing the end mark (the final carriage
// return). The first line is the code; a final empty line is dropped.
TReplyLines SplitReply(const String& text);

// "success", "operation failed", ... ; "unknown result code" otherwise.
const char* ResultMeaning(const String& code);
int ExitStatusForCode(const String& code);

// Commands whose name=value lines are shown in two aligned columns.
bool IsAlignedCommand(const std::string& command);

// The default output: "CODE meaning", then each value line decoded
// (zelDecodeStrings) with CR LF, LF and CR shown as line breaks. With
// aligned, name=value lines become two columns. Other control characters
// are shown as \xNN so that a reply cannot drive the terminal.
std::string FormatDecoded(const TReplyLines& reply, bool aligned);

// {"code": "200", "values": {...}, "raw": [...]} on one line: the reply of
// `command` in the form of JsonReplyMembers (zelq/json.h).
std::string FormatJson(const TReplyLines& reply, const std::string& command);

// Writes text to f as it is (NUL bytes too).
inline void Print(FILE* f, std::string_view text) { std::fwrite(text.data(), 1, text.size(), f); }

// Prints "zelq: why" on standard error and returns status.
int Complain(int status, const std::string& why);

// What zelq says of an agent that closed the connection without a reply:
// to a request (it refused the request), and during an upgrade.
inline constexpr char kNoReplyRefused[] =
    "no reply: the agent refused the request (wrong password, filtered address or invalid packet)";
inline constexpr char kNoReplyClosed[] = "no reply: the agent closed the connection";

// text, followed by " [error]" when the exchange said more.
std::string NoReplyMessage(const char* text, const std::string& error);
