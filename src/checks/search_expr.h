// Boolean search expressions over quoted texts, such as
//     ('error' or 'fail') and not 'test'
// which decide whether one line of a log is of interest.
//
// Language: operands are texts in single or double quotes (no escape
// character) or bare numbers; the operators are "(", ")", "not", "and" and
// "or" (written in lower case they are split off even inside a word; as
// separate words any case works). "and" and "or" have the same priority and
// bind to the left; "not" applies to everything up to the closing
// parenthesis or the end of the expression. An operand holds for a line when
// the text without its first and last character occurs in the line.
//
// TExprParser converts an expression into Polish (postfix) order, reporting
// syntax errors by text. TSearchProgram is the converted form ready to be
// evaluated many times: built once per request, then read-only (safe to share
// between threads; Eval takes its stack from the caller).
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/qdstring.h"

// One operator of a parser table.
struct TPriorityItem {
    String name;        // spelling, matched exactly
    int inPriority;     // priority when it arrives from the input
    int stackPriority;  // priority while it waits on the operator stack
};

// The operators of the search language, in the order the tokenizer tries
// them. Built before main; read-only afterwards.
extern const TPriorityItem PriorityTable1[5];
inline constexpr int kPriorityTable1Rows = 5;

// One conversion of an infix expression into Polish order. Not thread-safe;
// one parser per conversion.
class TExprParser {
public:
    TExprParser(const TPriorityItem* table, int count) : table_(table), count_(count) {}

    // Index of the first table row whose name stands at 1-based pos of expr
    // (exact comparison), or -1.
    int TokenInPos(const String& expr, int pos) const;
    // The next token, removed from the front of expr; "" when expr is used up
    // or on a syntax error (Error() then set).
    String GetToken(String& expr);
    // In- and stack priority of the operator spelled token (compared after
    // lowering it); -1 when it is no operator.
    int TokenInPriority(const String& token) const;
    int TokenSPriority(const String& token) const;
    // Converts expr (consumed) into Polish(); 1 on success, 0 on a syntax
    // error with Error() set. With checkOnly the list is left untouched.
    int Expr2Polish(String& expr, bool checkOnly);

    const TStrList& Polish() const { return polish_; }
    const String& Error() const { return error_; }

private:
    int RowAt(const char* p, size_t left) const;
    int RowOf(const String& token) const;
    // Tokenizer over expr[at..]; advances at.
    String NextToken(const String& expr, size_t& at, size_t end);

    const TPriorityItem* table_;
    int count_;
    TStrList polish_;
    String error_;
};

// An expression ready for evaluation.
struct TSearchProgram {
    enum TOp : uint8_t { Push, Not, And, Or };
    struct TStep {
        TOp op;
        int operand;  // Push: index into operands
    };
    std::vector<TStep> steps;
    // Distinct operand texts, quotes removed, as written (case not changed).
    std::vector<String> operands;
    // False when the expression can never hold: a syntax error, or a stack
    // that would run short or not end with exactly one value.
    bool valid = false;
    int depth = 0;  // largest number of values on the stack

    // The value of the expression given whether each operand occurs;
    // stack must hold depth bytes. Always false for an invalid program.
    bool Eval(const uint8_t* found, uint8_t* stack) const;
};

// Converts expr; false with err (the parser's text) on a syntax error, in
// which case prog is invalid. A program whose stack does not work out is
// returned valid = false with true as result (it just never holds).
bool CompileSearchExpression(const String& expr, TSearchProgram& prog, String& err);
