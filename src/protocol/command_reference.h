// The command reference: for every command word of the agent, what it is
// for, the switch that gates it, its parameters and the values of its
// reply, with one example. Data only: the agent's manual page
// zel-commands(7) is generated from it (doc/), zelq prints it (zelq help)
// and names the values of its JSON output with it, and a test holds it to
// the agent's command table word for word.
//
// Constant, built at compile time; thread-safe. The pointers and spans
// refer to static storage and live for the whole process.
#pragma once

#include <span>
#include <string_view>

// The agent identity of the protocol: what GetInfo answers as AgentVersion.
// The server judges an agent's replies by it, so it names the protocol the
// agent speaks, not the package's version.
inline constexpr char kAgentProtocolVersion[] = "1.29";

enum class TCommandGroup {
    Test,        // examines the host and answers values
    Action,      // acts on the server's behalf
    Listing,     // lists folders or processes for the server's browsing
    Management,  // the agent itself: status, settings, reload, stop, upgrade
};

// How a reply value travels (its encoding on the wire).
enum class TValueType {
    Int,        // decimal 32-bit integer
    Int64,      // 64-bit integer, right-aligned in at least six characters
    Real,       // decimal with four decimals
    Time,       // DDMMYYYYhhmmss in the agent's local time
    Bool,       // "1" or "0"
    Text,       // text as it is
    Escaped,    // text with CR and LF escaped as %0D and %0A
    Entries,    // every remaining line (the entries of a listing)
};

struct TParamRef {
    int position;            // 1-based line of the request's parameter text
    const char* name;        // short name, shown as NAME in usage lines
    const char* meaning;
    const char* fallback;    // what an empty or missing line means; "" if required
    const char* accepted;    // accepted values; "" when any text will do
};

struct TValueRef {
    const char* name;        // JSON key; for name=value replies, the name on the line
    TValueType type;
    const char* unit;        // "B", "ms", "s", "min", "%" or ""
    const char* meaning;
};

struct TResultRef {
    const char* code;        // "200", "301", ...
    const char* text;        // the text that follows the code, or what it carries
};

struct TCommandRef {
    const char* word;                  // exact, case-sensitive
    TCommandGroup group;
    const char* gate;                  // the settings key or rule that allows it
    const char* summary;               // one line
    const char* description;           // a paragraph; "" when the summary says it all
    std::span<const TParamRef> params;
    std::span<const TValueRef> values;      // of a "200" reply, line by line
    bool namedLines;                        // values are "name=value" lines, looked up by name
    std::span<const TValueRef> failValues;  // of a "301" reply with values; empty: one text line
    std::span<const TResultRef> results;
    const char* example;               // a zelq command line
};

// Every command word, in the order of the agent's command table.
std::span<const TCommandRef> CommandReference();

// The entry of `word` (compared exactly), or null.
const TCommandRef* FindCommandRef(std::string_view word);

// "integer", "64-bit integer", "real", "time", "boolean", "text",
// "escaped text", "entries".
const char* ValueTypeName(TValueType type);

// The number of parameters a request needs before the agent can act: the
// highest position of a parameter without a fallback (0 when none).
int RequiredParamCount(const TCommandRef& ref);
