#include "zelq/help.h"

#include <algorithm>

#include "protocol/command_reference.h"

namespace {

std::string Padded(std::string s, size_t width) {
    if (s.size() < width) s.append(width - s.size(), ' ');
    else s += ' ';
    return s;
}

// "1 FOLDER, 2 MASK, ..." for a usage line.
std::string ParamNames(const TCommandRef& c) {
    std::string out;
    for (const TParamRef& p : c.params) {
        if (!out.empty()) out += ", ";
        out += std::to_string(p.position) + " " + p.name;
    }
    return out;
}

std::string ValueLines(std::span<const TValueRef> values) {
    size_t width = 0;
    for (const TValueRef& v : values) width = std::max(width, std::string(v.name).size());
    std::string out;
    for (const TValueRef& v : values) {
        std::string type = ValueTypeName(v.type);
        if (v.unit[0] != '\0') type += std::string(", ") + v.unit;
        out += "  " + Padded(v.name, width + 1) + "(" + type + ") " + v.meaning + "\n";
    }
    return out;
}

}  // namespace

std::string CommandListText() {
    const struct {
        TCommandGroup group;
        const char* title;
    } groups[] = {
        {TCommandGroup::Test, "Tests"},
        {TCommandGroup::Action, "Actions"},
        {TCommandGroup::Listing, "Listings"},
        {TCommandGroup::Management, "Management"},
    };
    std::string out = "The commands of a zel agent ('zelq help COMMAND' for one, 'man zel-commands' for all):\n";
    for (const auto& g : groups) {
        out += std::string("\n") + g.title + ":\n";
        for (const TCommandRef& c : CommandReference())
            if (c.group == g.group) out += "  " + Padded(c.word, 20) + c.summary + "\n";
    }
    return out;
}

bool CommandHelpText(const std::string& word, std::string& text) {
    const TCommandRef* c = FindCommandRef(word);
    if (c == nullptr) return false;
    text = std::string(c->word) + ": " + c->summary + "\n";
    if (c->description[0] != '\0') text += std::string(c->description) + "\n";
    text += std::string("Allowed by: ") + c->gate + "\n\n";
    if (c->params.empty()) {
        text += "Parameters: none\n";
    } else {
        text += "Parameters, by position (a parameter not given is empty):\n";
        size_t width = 0;
        for (const TParamRef& p : c->params) width = std::max(width, std::string(p.name).size());
        for (const TParamRef& p : c->params) {
            const std::string pos = std::to_string(p.position);
            text += std::string(pos.size() < 2 ? "   " : "  ") + pos + "  " + Padded(p.name, width + 2) + p.meaning + "\n";
            std::string detail = p.fallback[0] != '\0' ? std::string("default: ") + p.fallback : "required";
            if (p.accepted[0] != '\0') detail += std::string("; accepted: ") + p.accepted;
            text += std::string(6 + width + 2, ' ') + detail + "\n";
        }
    }
    if (!c->values.empty())
        text += std::string("\nReply values (200), ") + (c->namedLines ? "name=value lines:\n" : "one line each:\n") +
                ValueLines(c->values);
    if (!c->failValues.empty()) text += "\nReply values (301):\n" + ValueLines(c->failValues);
    text += "\nResults:\n";
    for (const TResultRef& r : c->results) text += std::string("  ") + r.code + "  " + r.text + "\n";
    text += std::string("\nExample:\n  ") + c->example + "\n";
    return true;
}

std::string MissingParamsHint(const std::string& word, size_t given) {
    const TCommandRef* c = FindCommandRef(word);
    if (c == nullptr || c->params.empty() || given >= static_cast<size_t>(RequiredParamCount(*c))) return "";
    return word + " takes " + ParamNames(*c) + " (parameter " + std::to_string(given + 1) +
           " is missing; zelq help " + word + ")";
}
