// The judgement of zelq --plugin: a reply (or its absence) and the
// options in, a status and one status line out. The value judged is one
// numeric value line of the reply, chosen by --value or by the command's
// default, against -w and -c. Every function here is pure (no I/O) and
// thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "foundation/qdstring.h"
#include "zelq/exchange.h"
#include "zelq/options.h"
#include "zelq/output.h"
#include "zelq/range.h"
#include "zelq/state.h"

// What a command's value lines mean to a check.
enum class TValueKind {
    None,      // no default value: the result code alone decides
    Line,      // a numeric value line (defaultLine)
    Found,     // 1 for "200", 0 for the agent's "not found" ("301"); TEST-FileExists
    Matches,   // the number of new matching lines (text logs)
    Alarm,     // the alarm state of TEST-TextLog2: 1 from an alarm line until a reset line
};

struct TValueLine {
    const char* label;  // performance-data label
    const char* unit;   // "", "B", "ms", "%"
    const char* min;    // the least value possible ("" when there is none)
};

struct TCommandProfile {
    const char* command;          // "" for every command not listed
    TValueKind kind = TValueKind::None;
    int defaultLine = 0;          // for TValueKind::Line
    std::vector<TValueLine> lines;  // names of the value lines, from line 1
    const char* defaultCritical = nullptr;  // the -c used when neither -w nor -c is given
    int maxLine = 0;              // a value line giving the maximum of the default value (TEST-UNC: total)
};

// The profile of a command word (an empty profile for unknown words).
const TCommandProfile& CommandProfile(const std::string& command);

// The first word of the status line: --service, else the command word
// without "TEST-", in capitals.
std::string ServiceName(const TZelqOptions& opts);

struct TPluginResult {
    TPluginStatus status = TPluginStatus::Unknown;
    std::string line;  // the whole status line, without the line end
};

// The result of a status and its text under the service name of opts.
TPluginResult PluginResult(const TZelqOptions& opts, TPluginStatus status, const std::string& text,
                           const std::string& perfdata = "");

// "SERVICE STATUS: text" or "SERVICE STATUS: text | perfdata".
std::string PluginLine(const std::string& service, TPluginStatus status, const std::string& text,
                       const std::string& perfdata = "");

// Reply text of an agent made fit for the status line: decoded, line
// breaks and control characters (C0, DEL and C1, in UTF-8 or as a lone
// byte) as blanks, "|" as "/", at most 300 bytes.
std::string PluginText(std::string_view text);

// "label=value[unit];[warn];[crit];[min];[max]" without trailing empty
// fields; value as written by the agent.
std::string PerfData(const std::string& label, const std::string& value, const std::string& unit,
                     const TThresholdRange& warning, const TThresholdRange& critical, const std::string& min,
                     const std::string& max);

// The -w and -c in force: as given, or the command's default critical
// range when neither is given.
void EffectiveThresholds(const TZelqOptions& opts, TThresholdRange& warning, TThresholdRange& critical);

// Judges one reply (any command but the text logs). Pure.
TPluginResult JudgeReply(const TZelqOptions& opts, const TReplyLines& reply);

// Judges a reply other than "200": 300 and 301 (the check could not be
// carried out: a missing file, a failed probe, a failed script) are
// CRITICAL, every refusal (500, 501, 502, 600, unknown codes) is UNKNOWN.
TPluginResult JudgeFailureCode(const TZelqOptions& opts, const TReplyLines& reply);

// Judges an exchange that brought no reply: a time-out, a refused or
// failed connection is CRITICAL; no reply (wrong password, filtered
// address) is UNKNOWN.
TPluginResult JudgeNoReply(const TZelqOptions& opts, const TAskResult& ask);

// A text-log check after its exchanges: matches new matching lines (the
// last in lastLine), state the state after them; firstScan when the
// agent only recorded the log's end; more when lines were left for the
// next run.
TPluginResult JudgeTextLog(const TZelqOptions& opts, int matches, const std::string& lastLine,
                           const TTextLogState& state, bool firstScan, bool more, const std::string& note);

// A usage error in plugin mode: "SERVICE UNKNOWN: reason", status 3.
TPluginResult PluginUsageError(const TZelqOptions& opts, const std::string& why);

// ----- one exchange of a text-log check

// The parameter lines of one text-log exchange: the user's parameters with
// the three state lines (position, size, time) after the file name
// (alarmKind, TEST-TextLog2) or after the search text (TEST-TextLog).
TStrList TextLogParams(const TStrList& user, bool alarmKind, const TTextLogState& state);

struct TTextLogStep {
    TTextLogState next;    // the state after this reply
    bool matched = false;  // the agent reported a matching line (next.line)
    bool more = false;     // the agent has more lines to scan
};

// Reads one reply of a text-log exchange of opts.command from state: true
// with the step; false with the verdict of the whole check when the reply
// ends it (a code other than "200", or a reply of the wrong shape).
bool ReadTextLogReply(const TZelqOptions& opts, const TReplyLines& reply, const TTextLogState& state,
                      TTextLogStep& step, TPluginResult& verdict);
