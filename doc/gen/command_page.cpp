#include "gen/command_page.h"

#include "protocol/command_reference.h"

namespace {

// Built by appending: GCC 12 warns falsely (-Wrestrict) on "x" + string.
std::string Marked(char mark, const std::string& s) {
    std::string out(1, mark);
    out += ScdocEscaped(s);
    out += mark;
    return out;
}
std::string Bold(const std::string& s) { return Marked('*', s); }
std::string Under(const std::string& s) { return Marked('_', s); }

const char kHead[] = R"(zel-commands(7)

# NAME

zel-commands - the requests a zel agent answers, their parameters and replies

# SYNOPSIS

*zelq* [_options_] _COMMAND_ [_PARAM_ ...]

*zelq help* [_COMMAND_]

# DESCRIPTION

A request to *zel*(8) is a command word followed by its parameters, one
per line; *zelq*(1) sends each _PARAM_ of its command line as one such
line. Parameters are read by position: a parameter not given reads as an
empty text, and only the positions listed below are read, so a request
that needs parameter 7 gives empty texts for the ones before it. A flag is
true only when its text is *1*. A number may hold only digits and minus
signs: anything else (*abc*, *5s*) is refused with *501* "Wrong
parameter", and an empty number reads as 0. A few numbers are read as far
as they are one instead, so that *abc* reads as 0 and *3x* as 3; their
entries say so (TEST-CountFiles _MODE_, TEST-ShellScript _LIMIT_ and
_LINES_). A number outside the values a parameter accepts is answered as
its entry says: *501* as a rule, *301* "Invalid argument" for a port of a
probe or a send beyond 0 to 65535.

Command words are compared exactly, case included. A word the agent does
not know is answered *500* and Unknown command "_WORD_".

The agent answers with a result code on the first line and then its
values, one per line. zelq shows them decoded; *zelq --json* shows each
value under the name given here, numbers as JSON numbers, times also in
ISO 8601, flags as true or false, and the lines as received in _raw_.

Each command is allowed by a switch of *zel.cfg*(5) (for tests and
actions) or by the management settings; a request the settings do not
allow is answered *600*. Commands whose subject exists only on another
operating system ("Not applicable for UNIX/Linux"), and the few this agent
does not carry out ("not implemented yet"), are answered *500* at once.

# VALUE TYPES

*integer*
	A decimal number.

*64-bit integer*
	A decimal number, padded on the left with spaces to at least six
	characters.

*real*
	A decimal number with four decimals (*12.5000*).

*time*
	Day, month, four-digit year, hour, minute and second in the agent's
	local time, without separators: *11122026003811* is 11 December 2026,
	00:38:11.

*boolean*
	*1* or *0*.

*text*
	A text as it is.

*escaped text*
	A text whose line breaks travel as *%0D* and *%0A*.

# RESULT CODES

*200*
	Success: the values follow.

*300*
	A management or upgrade operation failed; its text follows.

*301*
	A test, action or listing could not be carried out; the text (or the
	values listed for it) follows.

*302*
	Another self-upgrade is in progress.

*500*
	Not understood or not supported here.

*501*
	Wrong or missing parameters.

*502*
	The request had no end-of-transmission mark.

*600*
	Not allowed by the agent's settings.
)";

const char kTail[] = R"(
# SEE ALSO

*zel*(8), *zel.cfg*(5), *zelq*(1)
)";

std::string Sentence(const char* text) {
    std::string s = ScdocEscaped(text);
    if (!s.empty() && s.back() != '.') s += '.';
    return s;
}

void AppendValues(std::string& out, const char* heading, std::span<const TValueRef> values) {
    out += heading;
    out += "\n\n";
    for (const TValueRef& v : values) {
        out += Bold(v.name) + " (" + ValueTypeName(v.type);
        if (v.unit[0] != '\0') out += std::string(", ") + ScdocEscaped(v.unit);
        out += ")\n\t" + Sentence(v.meaning) + "\n\n";
    }
}

void AppendCommand(std::string& out, const TCommandRef& c) {
    out += "## ";
    out += ScdocEscaped(c.word);
    out += "\n\n";
    std::string lead = ScdocEscaped(c.summary);
    if (!lead.empty()) lead[0] = static_cast<char>(lead[0] >= 'a' && lead[0] <= 'z' ? lead[0] - 32 : lead[0]);
    out += lead + ".";
    if (c.description[0] != '\0') {
        out += ' ';
        out += Sentence(c.description);
    }
    out += "\n\nAllowed by: " + ScdocEscaped(c.gate) + ".\n\n";

    if (c.params.empty()) {
        out += "Parameters: none.\n\n";
    } else {
        out += "Parameters:\n\n";
        for (const TParamRef& p : c.params) {
            out += Bold(std::to_string(p.position)) + " " + Under(p.name) + "\n\t" + Sentence(p.meaning);
            if (p.fallback[0] != '\0') out += std::string(" Default: ") + Sentence(p.fallback);
            else out += " Required.";
            if (p.accepted[0] != '\0') out += std::string(" Accepted: ") + Sentence(p.accepted);
            out += "\n\n";
        }
    }
    if (!c.values.empty())
        AppendValues(out, c.namedLines ? "Reply values (200), one name=value line each:"
                                       : "Reply values (200), one line each, in this order:",
                     c.values);
    if (!c.failValues.empty()) AppendValues(out, "Reply values (301):", c.failValues);

    out += "Results:\n\n";
    for (const TResultRef& r : c.results) out += Bold(r.code) + "\n\t" + Sentence(r.text) + "\n\n";
    out += "Example:\n\n```\n" + std::string(c.example) + "\n```\n\n";
}

}  // namespace

std::string ScdocEscaped(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '*' || ch == '_' || ch == '\\') out += '\\';
        out += ch;
    }
    return out;
}

std::string CommandPageScdoc() {
    std::string out = kHead;
    const struct {
        TCommandGroup group;
        const char* title;
    } sections[] = {
        {TCommandGroup::Test, "TESTS"},
        {TCommandGroup::Action, "ACTIONS"},
        {TCommandGroup::Listing, "LISTINGS"},
        {TCommandGroup::Management, "MANAGEMENT"},
    };
    for (const auto& section : sections) {
        out += std::string("\n# ") + section.title + "\n\n";
        for (const TCommandRef& c : CommandReference())
            if (c.group == section.group) AppendCommand(out, c);
    }
    out += kTail;
    return out;
}
