// The search expressions of the text log tests: compiled from the first
// line of the input and matched, as a request's condition, against the
// rest as one line, case-sensitive or not, whole words or not (the last two
// bits of the first byte).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "checks/line_matcher.h"
#include "checks/search_expr.h"
#include "checks/text_search.h"

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
    TTextLogFilter filter;
    filter.expression = expr;
    filter.useExpression = 1;
    filter.caseSensitive = caseSensitive;
    filter.wholeWord = wholeWord;
    TLineMatcher matcher;
    matcher.Build(&filter, 1);
    std::string line(text.View());  // a line holds no CR or LF
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    std::string folded(line);
    FoldAscii(folded.data(), folded.data(), folded.size());
    int64_t pos = 0;
    const int hit = matcher.MatchLine(line.data(), matcher.NeedsFold() ? folded.data() : nullptr, line.size(), pos);
    if (hit != 0 && hit != -1) std::abort();
    return 0;
}
