#include "zelq/json.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "protocol/codecs.h"
#include "protocol/command_reference.h"
#include "zelq/escape.h"

namespace {

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// An integer without padding or leading zeros, or empty.
std::string IntegerText(std::string_view text) {
    const std::string s(Trimmed(text));
    if (s.empty() || s.size() > 20) return "";
    size_t digits = s[0] == '-' ? 1 : 0;
    if (digits == s.size()) return "";
    for (size_t i = digits; i < s.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return "";
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0) return "";
    return std::to_string(v);
}

// A decimal with an optional fraction, as JSON writes numbers, or empty.
std::string RealText(std::string_view text) {
    std::string_view s = Trimmed(text);
    const size_t dot = s.find('.');
    std::string whole = IntegerText(s.substr(0, dot));
    if (whole.empty() || dot == std::string_view::npos) return whole;
    const std::string_view fraction = s.substr(dot + 1);
    if (fraction.empty()) return "";
    for (char c : fraction)
        if (!std::isdigit(static_cast<unsigned char>(c))) return "";
    // "-0.5": the sign is kept even when the whole part reads as 0.
    if (s[0] == '-' && whole == "0") whole = "-0";
    return whole + "." + std::string(fraction);
}

std::string Decoded(std::string_view line) { return zelDecodeStrings(String(line)).Std(); }

void AppendMember(std::string& out, bool& first, std::string_view name, const std::string& json) {
    if (!first) out += ", ";
    first = false;
    out += JsonString(name);
    out += ": ";
    out += json;
}

// The value `name` of type `type` from `line`.
void AppendValue(std::string& out, bool& first, const char* name, TValueType type, std::string_view line) {
    std::string number;
    switch (type) {
    case TValueType::Int:
    case TValueType::Int64: number = IntegerText(line); break;
    case TValueType::Real: number = RealText(line); break;
    case TValueType::Bool:
        if (line == "1" || line == "0") number = line == "1" ? "true" : "false";
        break;
    case TValueType::Escaped: AppendMember(out, first, name, JsonString(Decoded(line))); return;
    case TValueType::Time: {
        AppendMember(out, first, name, JsonString(line));
        const std::string iso = IsoTime(line);
        if (!iso.empty()) AppendMember(out, first, std::string(name) + "_iso", JsonString(iso));
        return;
    }
    case TValueType::Text:
    case TValueType::Entries: break;
    }
    AppendMember(out, first, name, number.empty() ? JsonString(line) : number);
}

std::string ValuesObject(const std::string& command, const TReplyLines& reply, size_t from, size_t to) {
    const TCommandRef* ref = FindCommandRef(command);
    std::span<const TValueRef> table;
    if (ref != nullptr && reply.code == "200") table = ref->values;
    if (ref != nullptr && reply.code == "301" && !ref->failValues.empty()) table = ref->failValues;

    std::string out = "{";
    bool first = true;
    if (ref == nullptr) return out + "}";
    if (table.empty()) {
        // Another reply carries its text; a reply without values nothing.
        if (from < to && from == 0) AppendMember(out, first, "text", JsonString(reply.lines[0].View()));
        return out + "}";
    }
    if (ref->namedLines) {
        for (size_t i = from; i < to; ++i) {
            const std::string_view line = reply.lines[i].View();
            const size_t eq = line.find('=');
            if (eq == std::string_view::npos) continue;
            const std::string name(line.substr(0, eq));
            TValueType type = TValueType::Text;
            for (const TValueRef& v : table)
                if (name == v.name) type = v.type;
            AppendValue(out, first, name.c_str(), type, line.substr(eq + 1));
        }
        return out + "}";
    }
    for (size_t i = from; i < to; ++i) {
        // Lines past the table belong to a final list of entries, if any.
        const TValueRef& v = table[std::min(i, table.size() - 1)];
        if (i >= table.size() && v.type != TValueType::Entries) break;
        if (v.type != TValueType::Entries) {
            AppendValue(out, first, v.name, v.type, reply.lines[i].View());
            continue;
        }
        std::string entries = "[";
        for (size_t j = i; j < to; ++j) {
            if (j > i) entries += ", ";
            entries += JsonString(reply.lines[j].View());
        }
        AppendMember(out, first, v.name, entries + "]");
        break;
    }
    // A whole listing with nothing listed still has its (empty) list; one
    // line taken (--value) or a reply cut short does not.
    if (table.back().type == TValueType::Entries && from == 0 && to == reply.lines.size() &&
        to + 1 == table.size())
        AppendMember(out, first, table.back().name, "[]");
    return out + "}";
}

}  // namespace

std::string IsoTime(std::string_view t) {
    if (t.size() != 14) return "";
    for (char c : t)
        if (!std::isdigit(static_cast<unsigned char>(c))) return "";
    std::string out;
    out.append(t.substr(4, 4)).append("-").append(t.substr(2, 2)).append("-").append(t.substr(0, 2));
    out.append("T").append(t.substr(8, 2)).append(":").append(t.substr(10, 2)).append(":").append(t.substr(12, 2));
    return out;
}

std::string JsonReplyMembers(const std::string& command, const TReplyLines& reply, int onlyLine) {
    size_t from = 0;
    size_t to = reply.lines.size();
    if (onlyLine > 0) {
        from = std::min(static_cast<size_t>(onlyLine) - 1, to);
        to = std::min(static_cast<size_t>(onlyLine), to);
    }
    std::string out = "\"code\": " + JsonString(reply.code.View()) + ", \"values\": " +
                      ValuesObject(command, reply, from, to) + ", \"raw\": [";
    for (size_t i = from; i < to; ++i) {
        if (i > from) out += ", ";
        out += JsonString(reply.lines[i].View());
    }
    return out + "]";
}
