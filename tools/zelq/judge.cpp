#include "zelq/judge.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "protocol/client.h"
#include "protocol/codecs.h"

namespace {

constexpr size_t kMaxPluginText = 300;

const std::vector<TCommandProfile>& Profiles() {
    static const std::vector<TCommandProfile> k = {
        {"TEST-FileExists", TValueKind::Found, 0,
         {{"size", "B", "0"}, {"ctime", "", ""}, {"mtime", "", ""}, {"path", "", ""}, {"unit", "", ""},
          {"age_minutes", "", ""}},
         "1:", 0},
        {"TEST-FileCRC", TValueKind::Line, 1, {{"crc", "", "0"}}, nullptr, 0},
        {"TEST-FileCompare", TValueKind::Line, 1, {{"found", "", "0"}}, "1:", 0},
        {"TEST-FolderSize", TValueKind::Line, 1, {{"size", "B", "0"}}, nullptr, 0},
        {"TEST-CountFiles", TValueKind::Line, 1, {{"count", "", "0"}}, nullptr, 0},
        {"TEST-UNC", TValueKind::Line, 3, {{"total", "B", "0"}, {"free", "B", "0"}, {"available", "B", "0"}},
         nullptr, 1},
        {"TEST-Process", TValueKind::Line, 1, {{"count", "", "0"}}, nullptr, 0},
        {"TEST-CPU", TValueKind::Line, 1, {{"usage", "%", "0"}}, nullptr, 0},
        {"TEST-ExternalPrg", TValueKind::Line, 1, {{"exitcode", "", ""}}, nullptr, 0},
        {"TEST-TCP", TValueKind::Line, 1, {{"time", "ms", "0"}}, nullptr, 0},
        {"TEST-UDP", TValueKind::Line, 1, {{"time", "ms", "0"}}, nullptr, 0},
        {"TEST-TextLog", TValueKind::Matches, 0, {}, "0", 0},
        {"TEST-TextLog2", TValueKind::Alarm, 0, {}, "0", 0},
    };
    return k;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

std::vector<std::string> DecodedLines(const TReplyLines& reply) {
    std::vector<std::string> out;
    for (const String& l : reply.lines) out.push_back(zelDecodeStrings(l).Std());
    return out;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string t;
    for (const std::string& l : lines) {
        if (Trim(l).empty()) continue;
        if (!t.empty()) t += " ";
        t += l;
    }
    return PluginText(t);
}

// "1.5 GiB" for byte counts of 1 KiB and more.
std::string HumanBytes(double v) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (v < 1024) return "";
    int u = -1;
    while (v >= 1024 && u < 5) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[u]);
    return buf;
}

std::string Plural(int n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

}  // namespace

const TCommandProfile& CommandProfile(const std::string& command) {
    static const TCommandProfile kNone{"", TValueKind::None, 0, {}, nullptr, 0};
    for (const TCommandProfile& p : Profiles())
        if (command == p.command) return p;
    return kNone;
}

std::string ServiceName(const TZelqOptions& opts) {
    if (!opts.service.empty()) return PluginText(opts.service);
    std::string name = opts.command;
    if (name.size() > 5 && (name.compare(0, 5, "TEST-") == 0 || name.compare(0, 5, "test-") == 0)) name.erase(0, 5);
    std::string out;
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '_') out += static_cast<char>(std::toupper(u));
    }
    return out.empty() ? "ZELQ" : out;
}

TPluginResult PluginResult(const TZelqOptions& opts, TPluginStatus status, const std::string& text,
                           const std::string& perfdata) {
    return {status, PluginLine(ServiceName(opts), status, text, perfdata)};
}

std::string PluginLine(const std::string& service, TPluginStatus status, const std::string& text,
                       const std::string& perfdata) {
    std::string line = service + " " + PluginStatusWord(status) + ": " + text;
    if (!perfdata.empty()) line += " | " + perfdata;
    return line;
}

std::string PluginText(std::string_view text) {
    std::string out;
    bool blank = false;
    for (size_t i = 0; i < text.size();) {
        if (const size_t control = ControlLength(text, i)) {  // C0, DEL and C1 alike
            if (!blank && !out.empty()) out += ' ';
            blank = true;
            i += control;
            continue;
        }
        blank = false;
        const size_t n = std::max<size_t>(Utf8SequenceLength(text, i), 1);
        for (size_t k = i; k < i + n; ++k) out += text[k] == '|' ? '/' : text[k];
        i += n;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.size() > kMaxPluginText) {
        size_t cut = kMaxPluginText;
        // Do not cut a UTF-8 sequence in two.
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.erase(cut);
        out += "...";
    }
    return out;
}

std::string PerfData(const std::string& label, const std::string& value, const std::string& unit,
                     const TThresholdRange& warning, const TThresholdRange& critical, const std::string& min,
                     const std::string& max) {
    std::vector<std::string> fields = {value + unit, warning.given ? warning.text : "",
                                       critical.given ? critical.text : "", min, max};
    while (fields.size() > 1 && fields.back().empty()) fields.pop_back();
    std::string out = label + "=";
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += ';';
        out += fields[i];
    }
    return out;
}

void EffectiveThresholds(const TZelqOptions& opts, TThresholdRange& warning, TThresholdRange& critical) {
    warning = opts.warning;
    critical = opts.critical;
    if (warning.given || critical.given || opts.valueIndex > 0) return;
    const TCommandProfile& p = CommandProfile(opts.command);
    std::string err;
    if (p.defaultCritical != nullptr) ParseThresholdRange(p.defaultCritical, critical, err);
}

TPluginResult JudgeReply(const TZelqOptions& opts, const TReplyLines& reply) {
    const TCommandProfile& profile = CommandProfile(opts.command);
    const std::vector<std::string> lines = DecodedLines(reply);
    const std::string code = reply.code.Std();
    TThresholdRange warning, critical;
    EffectiveThresholds(opts, warning, critical);

    if (opts.valueIndex == 0 && profile.kind == TValueKind::Found && (code == "200" || code == "301")) {
        const bool found = code == "200";
        const std::string text = found ? "found " + PluginText(lines.size() >= 4 ? lines[3] : Joined(lines))
                                       : Joined(lines);
        const TPluginStatus status = ThresholdStatus(warning, critical, found ? 1 : 0);
        return PluginResult(opts, status, text, PerfData("found", found ? "1" : "0", "", warning, critical, "0", "1"));
    }
    if (code != "200") return JudgeFailureCode(opts, reply);

    int index = opts.valueIndex;
    if (index == 0 && profile.kind == TValueKind::Line) index = profile.defaultLine;
    if (index == 0) {
        if (warning.given || critical.given)
            return PluginResult(opts, TPluginStatus::Unknown,
                          "-w and -c need a value: give --value N for " + PluginText(opts.command));
        // The first value line says most (a script's "scriptres:" line,
        // the agent's name).
        std::string text;
        for (const std::string& l : lines)
            if (text.empty()) text = PluginText(Trim(l));
        return PluginResult(opts, TPluginStatus::Ok, text.empty() ? "success" : text);
    }
    if (static_cast<size_t>(index) > lines.size())
        return PluginResult(opts, TPluginStatus::Unknown,
                      "the reply has no value line " + std::to_string(index) + " (it has " +
                          std::to_string(lines.size()) + ")");
    const std::string valueText = Trim(lines[static_cast<size_t>(index) - 1]);
    double value = 0;
    if (!ParsePlainNumber(valueText, value))
        return PluginResult(opts, TPluginStatus::Unknown,
                      "value line " + std::to_string(index) + " is not a number: \"" + PluginText(valueText) + "\"");

    TValueLine meaning{"", "", ""};
    if (static_cast<size_t>(index) <= profile.lines.size()) meaning = profile.lines[static_cast<size_t>(index) - 1];
    const std::string label = meaning.label[0] ? meaning.label : "value" + std::to_string(index);
    const std::string unit = meaning.unit;
    std::string max;
    if (unit == "%") max = "100";
    if (profile.maxLine > 0 && profile.maxLine != index && static_cast<size_t>(profile.maxLine) <= lines.size()) {
        // Everything in the performance data is a number: a maximum that
        // is not makes the reply unusable, as a value that is not.
        max = Trim(lines[static_cast<size_t>(profile.maxLine) - 1]);
        double ignored = 0;
        if (!ParsePlainNumber(max, ignored))
            return PluginResult(opts, TPluginStatus::Unknown,
                                "value line " + std::to_string(profile.maxLine) + " is not a number: \"" +
                                    PluginText(max) + "\"");
    }
    std::string text = label + " " + valueText + (unit.empty() ? "" : " " + unit);
    if (unit == "B") {
        const std::string human = HumanBytes(value);
        if (!human.empty()) text += " (" + human + ")";
    }
    const TPluginStatus status = ThresholdStatus(warning, critical, value);
    return PluginResult(opts, status, text, PerfData(label, valueText, unit, warning, critical, meaning.min, max));
}

TPluginResult JudgeFailureCode(const TZelqOptions& opts, const TReplyLines& reply) {
    const std::string code = reply.code.Std();
    const std::string text = Joined(DecodedLines(reply));
    if (code == "300" || code == "301")
        return PluginResult(opts, TPluginStatus::Critical, text.empty() ? code + " " + ResultMeaning(reply.code) : text);
    std::string t = PluginText(code) + " " + ResultMeaning(reply.code);
    if (!text.empty()) t += ": " + text;
    return PluginResult(opts, TPluginStatus::Unknown, t);
}

TPluginResult JudgeNoReply(const TZelqOptions& opts, const TAskResult& ask) {
    if (ask.outcome == TExchangeOutcome::NoReply) {
        return PluginResult(opts, TPluginStatus::Unknown, PluginText(NoReplyMessage(kNoReplyRefused, ask.error)));
    }
    return PluginResult(opts, TPluginStatus::Critical, PluginText(ask.error));
}

TPluginResult JudgeTextLog(const TZelqOptions& opts, int matches, const std::string& lastLine,
                           const TTextLogState& state, bool firstScan, bool more, const std::string& note) {
    const bool alarmKind = CommandProfile(opts.command).kind == TValueKind::Alarm;
    TThresholdRange warning, critical;
    EffectiveThresholds(opts, warning, critical);
    std::string text;
    int value;
    std::string perf;
    if (alarmKind) {
        value = state.alarm ? 1 : 0;
        if (state.alarm) text = "alarm: " + PluginText(state.line);
        else if (matches > 0) text = "reset: " + PluginText(lastLine);
        else if (firstScan) text = "first scan: the end of the log is recorded";
        else text = "no alarm";
        if (matches > 0) text += " (" + Plural(matches, "new matching line", "new matching lines") + ")";
        perf = PerfData("alarm", std::to_string(value), "", warning, critical, "0", "1");
    } else {
        value = matches;
        if (firstScan && matches == 0) text = "first scan: the end of the log is recorded";
        else if (matches == 0) text = "no new matching lines";
        else if (matches == 1) text = "1 new matching line: " + PluginText(lastLine);
        else text = std::to_string(matches) + " new matching lines, the last: " + PluginText(lastLine);
        perf = PerfData("matches", std::to_string(value), "", warning, critical, "0", "");
    }
    if (more) text += "; more follow in the next check";
    if (!note.empty()) text += "; " + note;
    return PluginResult(opts, ThresholdStatus(warning, critical, value), text, perf);
}

TPluginResult PluginUsageError(const TZelqOptions& opts, const std::string& why) {
    return PluginResult(opts, TPluginStatus::Unknown, PluginText(why));
}

namespace {

bool ParseInt64Line(const std::vector<std::string>& lines, size_t i, int64_t& v) {
    if (i >= lines.size()) return false;
    double d = 0;
    const std::string t = Trim(lines[i]);
    if (!ParsePlainNumber(t, d) || t.find('.') != std::string::npos) return false;
    v = std::strtoll(t.c_str(), nullptr, 10);
    return true;
}

void AddStateLines(TStrList& lines, const TTextLogState& state) {
    lines.Add(String(std::to_string(state.position)));
    lines.Add(String(std::to_string(state.size)));
    lines.Add(String(std::to_string(state.time)));
}

}  // namespace

TStrList TextLogParams(const TStrList& user, bool alarmKind, const TTextLogState& state) {
    const int statePos = alarmKind ? 1 : 2;  // where the three state lines go
    TStrList lines;
    for (int i = 0; i < user.Count(); ++i) {
        if (i == statePos) AddStateLines(lines, state);
        lines.Add(user[i]);
    }
    if (user.Count() == statePos) AddStateLines(lines, state);
    return lines;
}

bool ReadTextLogReply(const TZelqOptions& opts, const TReplyLines& reply, const TTextLogState& state,
                      TTextLogStep& step, TPluginResult& verdict) {
    if (reply.code.Std() != "200") {
        verdict = JudgeFailureCode(opts, reply);
        return false;
    }
    const bool alarmKind = CommandProfile(opts.command).kind == TValueKind::Alarm;
    const size_t replyLines = alarmKind ? 8 : 7;
    const std::vector<std::string> v = DecodedLines(reply);
    int64_t result = 0;
    step = TTextLogStep();
    step.next = state;
    if (v.size() < replyLines || !ParseInt64Line(v, 0, result) || !ParseInt64Line(v, 3, step.next.position) ||
        !ParseInt64Line(v, 4, step.next.size) || !ParseInt64Line(v, 5, step.next.time)) {
        verdict = PluginResult(opts, TPluginStatus::Unknown, "unexpected reply: " + Joined(v));
        return false;
    }
    if (result > 0) {
        step.matched = true;
        step.next.line = CappedStateLine(v[1]);
        if (alarmKind) step.next.alarm = Trim(v[7]) == "1";
    }
    step.more = Trim(v[2]) == "1";
    return true;
}
