#include "zelq/output.h"

#include <algorithm>

#include "protocol/codecs.h"
#include "protocol/result_codes.h"
#include "zelq/json.h"

namespace {

// zelq's exit status for each kind of answer.
int ExitStatusOf(TResultCode code) {
    switch (code) {
    case TResultCode::Ok: return kExitSuccess;
    case TResultCode::Failed:
    case TResultCode::NotDone:
    case TResultCode::UpgradeBusy: return kExitFailed;
    default: return kExitRefused;
    }
}

// Splits at CR LF, LF and CR; a break at the very end adds no empty piece.
std::vector<std::string> SplitBreaks(std::string_view s) {
    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' || s[i] == '\n') {
            parts.push_back(cur);
            cur.clear();
            if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else {
            cur += s[i];
        }
    }
    if (!cur.empty() || parts.empty()) parts.push_back(cur);
    return parts;
}

void AppendPieces(std::string& out, const std::vector<std::string>& pieces, const std::string& firstPrefix,
                  const std::string& indent) {
    for (size_t i = 0; i < pieces.size(); ++i) {
        std::string line = i == 0 ? firstPrefix : indent;
        if (pieces[i].empty()) {
            // No padding after a name whose value is empty.
            while (!line.empty() && line.back() == ' ') line.pop_back();
        }
        out += line + Escaped(pieces[i], TEscapeForm::Terminal);
        out += '\n';
    }
}

constexpr size_t kMaxNameColumn = 32;

}  // namespace

TReplyLines SplitReply(const String& text) {
    TReplyLines r;
    std::string_view s = text.View();
    if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
    if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
    if (s.empty()) return r;
    size_t start = 0;
    bool first = true;
    for (;;) {
        size_t lf = s.find('\n', start);
        std::string_view piece = s.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
        String line(piece.data(), static_cast<int>(piece.size()));
        if (first) {
            r.code = line;
            first = false;
        } else {
            r.lines.push_back(line);
        }
        if (lf == std::string_view::npos) break;
        start = lf + 1;
    }
    return r;
}

const char* ResultMeaning(const String& code) {
    const TResultCodeInfo* c = FindResultCode(code.View());
    return c ? c->meaning : "unknown result code";
}

int ExitStatusForCode(const String& code) {
    const TResultCodeInfo* c = FindResultCode(code.View());
    return c ? ExitStatusOf(c->code) : kExitRefused;
}

bool IsAlignedCommand(const std::string& command) { return command == "GetInfo" || command == "GetSettings"; }

std::string FormatDecoded(const TReplyLines& reply, bool aligned) {
    std::string out;
    if (!reply.code.IsEmpty()) out += Escaped(reply.code.View(), TEscapeForm::Terminal) + " ";
    out += ResultMeaning(reply.code);
    out += '\n';

    std::vector<std::string> decoded;
    for (const String& line : reply.lines) decoded.push_back(zelDecodeStrings(line).Std());

    size_t width = 0;
    if (aligned) {
        for (const std::string& d : decoded) {
            size_t eq = d.find('=');
            if (eq != std::string::npos && eq > 0)
                width = std::max(width, std::min(Escaped(d.substr(0, eq), TEscapeForm::Terminal).size(), kMaxNameColumn));
        }
    }
    for (const std::string& d : decoded) {
        size_t eq = d.find('=');
        if (aligned && eq != std::string::npos && eq > 0) {
            std::string name = Escaped(d.substr(0, eq), TEscapeForm::Terminal);
            if (name.size() < width) name.append(width - name.size(), ' ');
            name += "  ";
            AppendPieces(out, SplitBreaks(std::string_view(d).substr(eq + 1)), name, std::string(name.size(), ' '));
        } else {
            AppendPieces(out, SplitBreaks(d), "", "");
        }
    }
    return out;
}

std::string FormatJson(const TReplyLines& reply, const std::string& command) {
    std::string out(1, '{');  // not "{" + ...: GCC 12 warns falsely (-Wrestrict)
    out += JsonReplyMembers(command, reply);
    out += "}\n";
    return out;
}

std::string NoReplyMessage(const char* text, const std::string& error) {
    std::string msg = text;
    if (!error.empty()) msg += " [" + error + "]";
    return msg;
}

int Complain(int status, const std::string& why) {
    Print(stderr, "zelq: " + why + "\n");
    return status;
}
