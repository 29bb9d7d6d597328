#include "checks/search_expr.h"

#include <cstring>
#include <string>
#include <unordered_map>

const TPriorityItem PriorityTable1[5] = {
    {"(", 65535, 0}, {"not", 65535, 0}, {")", 1, 65520}, {"and", 1, 1}, {"or", 1, 1},
};

namespace {

// The blank of String::Trim: every byte that, read as a signed 8-bit value,
// is at most 32 (controls, the space and 0x80-0xFF).
bool IsBlank(char c) { return static_cast<signed char>(c) <= 32; }

bool IsQuote(char c) { return c == '\'' || c == '"'; }

}  // namespace

int TExprParser::RowAt(const char* p, size_t left) const {
    for (int i = 0; i < count_; ++i) {
        const String& name = table_[i].name;
        const auto len = static_cast<size_t>(name.Length());
        if (len > 0 && len <= left && std::memcmp(p, name.Data(), len) == 0) return i;
    }
    return -1;
}

int TExprParser::RowOf(const String& token) const {
    String lowered(token);
    lowered.LowerCase();
    for (int i = 0; i < count_; ++i)
        if (table_[i].name == lowered) return i;
    return -1;
}

int TExprParser::TokenInPos(const String& expr, int pos) const {
    if (pos < 1 || pos > expr.Length()) return -1;
    return RowAt(expr.Data() + pos - 1, static_cast<size_t>(expr.Length() - pos + 1));
}

int TExprParser::TokenInPriority(const String& token) const {
    const int row = RowOf(token);
    return row < 0 ? -1 : table_[row].inPriority;
}

int TExprParser::TokenSPriority(const String& token) const {
    const int row = RowOf(token);
    return row < 0 ? -1 : table_[row].stackPriority;
}

String TExprParser::NextToken(const String& expr, size_t& at, size_t end) {
    const char* s = expr.Data();
    while (at < end && IsBlank(s[at])) ++at;
    if (at >= end) return String();
    const int row = RowAt(s + at, end - at);
    if (row >= 0) {
        at += static_cast<size_t>(table_[row].name.Length());
        return table_[row].name;
    }
    if (IsQuote(s[at])) {
        const void* close = std::memchr(s + at + 1, s[at], end - at - 1);
        if (close == nullptr) {
            error_ = "Unterminated string: ";
            error_.AddData(s + at, static_cast<int>(end - at));
            at = end;
            return String();
        }
        const size_t stop = static_cast<size_t>(static_cast<const char*>(close) - s) + 1;
        String token(s + at, static_cast<int>(stop - at));
        at = stop;
        return token;
    }
    size_t stop = at + 1;
    while (stop < end && !IsBlank(s[stop]) && RowAt(s + stop, end - stop) < 0) ++stop;
    String token(s + at, static_cast<int>(stop - at));
    at = stop;
    return token;
}

String TExprParser::GetToken(String& expr) {
    size_t end = static_cast<size_t>(expr.Length());
    while (end > 0 && IsBlank(expr.Data()[end - 1])) --end;
    size_t at = 0;
    String token = NextToken(expr, at, end);
    expr = String(expr.Data() + at, static_cast<int>(end - at));
    return token;
}

int TExprParser::Expr2Polish(String& expr, bool checkOnly) {
    error_ = String();
    if (!checkOnly) polish_.Clear();
    std::vector<int> stack;  // rows of the waiting operators
    size_t end = static_cast<size_t>(expr.Length());
    while (end > 0 && IsBlank(expr.Data()[end - 1])) --end;
    size_t at = 0;
    int result = 1;
    for (;;) {
        String token = NextToken(expr, at, end);
        if (token.IsEmpty() || !error_.IsEmpty()) break;
        const int row = RowOf(token);
        if (row < 0) {
            if (!IsQuote(token[1]) && !isdecimalnum(token.Data())) {
                error_ = String("Unknown operator: \"") + token + "\"";
                result = 0;
                break;
            }
            if (!checkOnly) polish_.Add(token);
            continue;
        }
        const TPriorityItem& op = table_[row];
        while (!stack.empty() && table_[stack.back()].stackPriority >= op.inPriority) {
            if (!checkOnly) polish_.Add(table_[stack.back()].name);
            stack.pop_back();
        }
        if (op.name == ")") {
            for (;;) {
                if (stack.empty()) {
                    error_ = "Missing \"(\"";
                    result = 0;
                    break;
                }
                const int top = stack.back();
                stack.pop_back();
                if (table_[top].name == "(") break;
                if (!checkOnly) polish_.Add(table_[top].name);
            }
            if (result == 0) break;
        } else {
            stack.push_back(row);
        }
    }
    expr = String();
    if (result == 0 || !error_.IsEmpty()) return 0;
    while (!stack.empty()) {
        if (!checkOnly) polish_.Add(table_[stack.back()].name);
        stack.pop_back();
    }
    return 1;
}

bool TSearchProgram::Eval(const uint8_t* found, uint8_t* stack) const {
    if (!valid) return false;
    int n = 0;
    for (const TStep& s : steps) {
        switch (s.op) {
            case Push: stack[n++] = found[s.operand]; break;
            case Not: stack[n - 1] ^= 1; break;
            case And: --n; stack[n - 1] &= stack[n]; break;
            case Or: --n; stack[n - 1] |= stack[n]; break;
        }
    }
    return stack[0] != 0;
}

bool CompileSearchExpression(const String& expr, TSearchProgram& prog, String& err) {
    prog = TSearchProgram();
    TExprParser parser(PriorityTable1, kPriorityTable1Rows);
    String work(expr);
    if (!parser.Expr2Polish(work, false)) {
        err = parser.Error();
        return false;
    }
    err = String();
    const TStrList& polish = parser.Polish();
    bool ok = true;
    int n = 0;
    std::unordered_map<std::string, int> seen;
    for (int i = 0; i < polish.Count(); ++i) {
        const String token = polish[i];
        TSearchProgram::TStep step{TSearchProgram::Push, -1};
        if (token == "not") {
            step.op = TSearchProgram::Not;
            if (n < 1) ok = false;
        } else if (token == "and" || token == "or") {
            step.op = token == "and" ? TSearchProgram::And : TSearchProgram::Or;
            if (n < 2) ok = false;
            --n;
        } else {
            // The text between the quotes (a bare number loses its ends too).
            const String text = token.Copy(2, token.Length() - 2);
            auto [it, added] = seen.emplace(text.Std(), static_cast<int>(prog.operands.size()));
            if (added) prog.operands.push_back(text);
            step.operand = it->second;
            ++n;
        }
        if (!ok) break;
        if (n > prog.depth) prog.depth = n;
        prog.steps.push_back(step);
    }
    prog.valid = ok && n == 1;
    return true;
}
