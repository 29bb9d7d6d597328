// Search expressions: tokens, Polish order, syntax errors and evaluation.
#include <gtest/gtest.h>

#include <string>

#include "checks/line_matcher.h"
#include "checks/search_expr.h"
#include "checks/text_search.h"

namespace {

struct TEvalCase {
    const char* line;
    std::string expr;
    int caseSensitive;
    int wholeWord;
    int expected;
};

// Test names show the case, not its bytes.
void PrintTo(const TEvalCase& c, std::ostream* os) { *os << "line '" << c.line << "' expr " << c.expr.substr(0, 60); }

std::string Nested(int depth, const std::string& inner, bool closed) {
    return std::string(static_cast<size_t>(depth), '(') + inner + (closed ? std::string(static_cast<size_t>(depth), ')') : "");
}

// 1 when the expression, as the one condition of a text log request, holds
// for the line; 0 otherwise.
int ExpressionHolds(const std::string& line, const std::string& expr, int caseSensitive, int wholeWord) {
    TTextLogFilter filter;
    filter.expression = String(expr);
    filter.useExpression = 1;
    filter.caseSensitive = caseSensitive;
    filter.wholeWord = wholeWord;
    TLineMatcher matcher;
    matcher.Build(&filter, 1);
    std::string folded(line);
    FoldAscii(folded.data(), folded.data(), folded.size());
    int64_t pos = 0;
    return matcher.MatchLine(line.data(), matcher.NeedsFold() ? folded.data() : nullptr, line.size(), pos) == 0 ? 1 : 0;
}

class SearchExpressionTest : public ::testing::TestWithParam<TEvalCase> {};

TEST_P(SearchExpressionTest, Answers) {
    const TEvalCase& c = GetParam();
    EXPECT_EQ(ExpressionHolds(c.line, c.expr, c.caseSensitive, c.wholeWord), c.expected)
        << "line '" << c.line << "' expression " << c.expr.substr(0, 80);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SearchExpressionTest,
    ::testing::Values(
        // "and" and "or" bind equally, to the left.
        TEvalCase{"a", "'a' or 'b' and 'c'", 1, 0, 0}, TEvalCase{"a c", "'a' or 'b' and 'c'", 1, 0, 1},
        // "not" covers everything up to the end or the closing parenthesis.
        TEvalCase{"error debug", "not 'debug' and 'error'", 1, 0, 0},
        TEvalCase{"debug", "not 'debug' and 'error'", 1, 0, 1},
        TEvalCase{"error x", "(not 'debug') and 'error'", 1, 0, 1},
        TEvalCase{"fail here", "('error' or 'fail') and not 'test'", 1, 0, 1},
        TEvalCase{"fail test", "('error' or 'fail') and not 'test'", 1, 0, 0},
        TEvalCase{"nothing", "('error' or 'fail') and not 'test'", 1, 0, 0},
        // Operators as separate words in any case; lower case split off anywhere.
        TEvalCase{"disk error", "'error' AND 'disk'", 1, 0, 1}, TEvalCase{"error", "'error' AND 'disk'", 1, 0, 0},
        TEvalCase{"b", "'a' Or 'b'", 1, 0, 1}, TEvalCase{"a b", "'a'and'b'", 1, 0, 1},
        TEvalCase{"a", "'a'and'b'", 1, 0, 0}, TEvalCase{"x", "not not 'x'", 1, 0, 1},
        // Double quotes, quotes of the other kind and operator words inside.
        TEvalCase{"it's and more", "\"it's and\"", 1, 0, 1},
        // Nothing, or something that leaves no single value, never matches.
        TEvalCase{"anything", "", 0, 0, 0}, TEvalCase{"ab", "'a' 'b'", 1, 0, 0},
        TEvalCase{"a", "not", 1, 0, 0}, TEvalCase{"a", "'a' and", 1, 0, 0}, TEvalCase{"a", "(", 1, 0, 0},
        TEvalCase{"a", "()", 1, 0, 0},
        // Syntax errors.
        TEvalCase{"abc", "'abc", 1, 0, 0}, TEvalCase{"error", "error", 1, 0, 0},
        TEvalCase{"a", "'a')", 1, 0, 0}, TEvalCase{"a", "('a'", 1, 0, 0},
        TEvalCase{"notice", "notice", 1, 0, 0},
        // Empty operands never occur.
        TEvalCase{"a", "''", 1, 0, 0}, TEvalCase{"a", "'' or 'a'", 1, 0, 1},
        // A bare number loses its first and last digit like a quoted text.
        TEvalCase{"x2y", "123", 1, 0, 1}, TEvalCase{"123", "5", 1, 0, 0}, TEvalCase{"12", "12", 1, 0, 0},
        // Whole words and case.
        TEvalCase{"errors", "'err'", 0, 1, 0}, TEvalCase{"errors", "'err'", 0, 0, 1},
        TEvalCase{"errors, err.", "'err'", 0, 1, 1}, TEvalCase{"error", "'ERROR'", 0, 0, 1},
        TEvalCase{"error", "'ERROR'", 1, 0, 0}, TEvalCase{"ERROR", "'error'", 0, 0, 1},
        // Deep nesting is neither recursion nor a crash.
        TEvalCase{"a", Nested(10000, "'a'", true), 1, 0, 1},
        TEvalCase{"a", Nested(10000, "not 'a'", true), 1, 0, 0},
        TEvalCase{"a", Nested(10000, "'a'", false), 1, 0, 0}));

struct TPolishCase {
    const char* expr;
    int ok;
    const char* polish;  // tokens joined by one blank
    const char* error;
};

void PrintTo(const TPolishCase& c, std::ostream* os) { *os << std::string(c.expr).substr(0, 60); }

class Expr2PolishTest : public ::testing::TestWithParam<TPolishCase> {};

TEST_P(Expr2PolishTest, ConvertsOrReports) {
    const TPolishCase& c = GetParam();
    TExprParser parser(PriorityTable1, kPriorityTable1Rows);
    String expr(c.expr);
    EXPECT_EQ(parser.Expr2Polish(expr, false), c.ok);
    std::string joined;
    for (int i = 0; i < parser.Polish().Count(); ++i) {
        if (i > 0) joined += ' ';
        joined += parser.Polish()[i].Std();
    }
    if (c.ok != 0) {
        EXPECT_EQ(joined, c.polish);
    }
    EXPECT_EQ(parser.Error().Std(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Expr2PolishTest,
    ::testing::Values(TPolishCase{"'a' or 'b' and 'c'", 1, "'a' 'b' or 'c' and", ""},
                      TPolishCase{"not 'a' and 'b'", 1, "'a' 'b' and not", ""},
                      TPolishCase{"(not 'a') and 'b'", 1, "'a' not 'b' and", ""},
                      TPolishCase{"'a'and'b'", 1, "'a' 'b' and", ""},
                      TPolishCase{"'a' AND 'b'", 1, "'a' 'b' and", ""},
                      TPolishCase{"('a'", 1, "'a' (", ""},
                      TPolishCase{"  \"x y\"\t ", 1, "\"x y\"", ""},
                      TPolishCase{"-1 or 7", 1, "-1 7 or", ""},
                      TPolishCase{"'abc", 0, "", "Unterminated string: 'abc"},
                      TPolishCase{"'a' or \"b ", 0, "", "Unterminated string: \"b"},
                      TPolishCase{"error", 0, "", "Unknown operator: \"err\""},
                      TPolishCase{"x1", 0, "", "Unknown operator: \"x1\""},
                      TPolishCase{"'a')", 0, "", "Missing \"(\""},
                      TPolishCase{")", 0, "", "Missing \"(\""}));

TEST(ExprParser, TokensComeOffTheFront) {
    TExprParser parser(PriorityTable1, kPriorityTable1Rows);
    String expr("  notice 'a b' (x\tAND");
    std::vector<std::string> tokens;
    for (String t = parser.GetToken(expr); !t.IsEmpty(); t = parser.GetToken(expr)) tokens.push_back(t.Std());
    EXPECT_EQ(tokens, (std::vector<std::string>{"not", "ice", "'a b'", "(", "x", "AND"}));
    EXPECT_TRUE(expr.IsEmpty());
    EXPECT_TRUE(parser.Error().IsEmpty());
}

TEST(ExprParser, PrioritiesAndPositions) {
    TExprParser parser(PriorityTable1, kPriorityTable1Rows);
    EXPECT_EQ(parser.TokenInPriority("AND"), 1);
    EXPECT_EQ(parser.TokenInPriority("not"), 65535);
    EXPECT_EQ(parser.TokenSPriority(")"), 65520);
    EXPECT_EQ(parser.TokenSPriority("("), 0);
    EXPECT_EQ(parser.TokenInPriority("'and'"), -1);
    EXPECT_EQ(parser.TokenInPos("x or", 3), 4);
    EXPECT_EQ(parser.TokenInPos("x or", 4), -1);
    EXPECT_EQ(parser.TokenInPos("x OR", 3), -1);
}

TEST(ExprParser, CheckOnlyLeavesTheListAlone) {
    TExprParser parser(PriorityTable1, kPriorityTable1Rows);
    String first("'a' or 'b'");
    ASSERT_EQ(parser.Expr2Polish(first, false), 1);
    String second("'c'");
    EXPECT_EQ(parser.Expr2Polish(second, true), 1);
    EXPECT_EQ(parser.Polish().Count(), 3);
    String bad("x");
    EXPECT_EQ(parser.Expr2Polish(bad, true), 0);
    EXPECT_EQ(parser.Polish().Count(), 3);
}

TEST(SearchProgram, StackValidityIsDecidedOnce) {
    TSearchProgram prog;
    String err;
    ASSERT_TRUE(CompileSearchExpression("'a' or 'a' and 'b'", prog, err));
    EXPECT_TRUE(prog.valid);
    EXPECT_EQ(prog.operands.size(), 2u);  // the repeated text is looked for once
    ASSERT_TRUE(CompileSearchExpression("'a' 'b'", prog, err));
    EXPECT_FALSE(prog.valid);
    EXPECT_FALSE(CompileSearchExpression("'a", prog, err));
    EXPECT_EQ(err.Std(), "Unterminated string: 'a");
    EXPECT_FALSE(prog.valid);
}

}  // namespace
