// The search expressions of the text log tests: compiled from the first
// line of the input and evaluated against the rest, case-sensitive or not,
// whole words or not (the last two bits of the first byte).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "checks/search_expr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int caseSensitive = data[0] & 1;
    const int wholeWord = (data[0] >> 1) & 1;
    std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t lf = in.find('\n');
    const String expr(in.substr(0, lf));
    const String text(lf == std::string_view::npos ? std::string_view() : in.substr(lf + 1));

    TSearchProgram prog;
    String err;
    const bool compiled = CompileSearchExpression(expr, prog, err);
    if (!compiled && prog.valid) std::abort();
    if (prog.valid) {
        std::vector<uint8_t> found(prog.operands.size()), stack(static_cast<size_t>(prog.depth) + 1);
        for (size_t i = 0; i < found.size(); ++i) found[i] = (text.Length() >> (i % 16)) & 1;
        prog.Eval(found.data(), stack.data());
    }
    for (bool checkOnly : {true, false}) {
        TExprParser parser(PriorityTable1, kPriorityTable1Rows);
        String copy = expr;
        parser.Expr2Polish(copy, checkOnly);
    }
    const int hit = SearchForExpression(text, expr, caseSensitive, wholeWord);
    if (hit != 0 && hit != 1) std::abort();
    return 0;
}
