// The log scanner against a plain line-by-line reference, on random logs read
// through tiny buffers (so that lines cross buffer ends and long lines are
// matched in pieces), and the end-of-file race.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

#include "checks/log_scanner.h"
#include "checks/search_expr.h"
#include "common/scratch_dir.h"

namespace {

// The 1-based position of the first occurrence of what in text that counts,
// or 0, found the slow, obvious way. Without caseSensitive both are compared
// in ASCII lower case; with wholeWord an occurrence counts only when no ASCII
// letter or digit touches it on either side, else the search goes on one byte
// further.
int ReferenceSearch(const String& text, const String& what, int caseSensitive, int wholeWord) {
    if (what.IsEmpty()) return 0;
    std::string hay = text.Std(), needle = what.Std();
    if (!caseSensitive) {
        for (char& c : hay) c = LoCase(c);
        for (char& c : needle) c = LoCase(c);
    }
    auto alnum = [&](size_t i) { return std::isalnum(static_cast<unsigned char>(hay[i])) != 0; };
    for (size_t q = hay.find(needle); q != std::string::npos; q = hay.find(needle, q + 1)) {
        if (!wholeWord) return static_cast<int>(q) + 1;
        const size_t after = q + needle.size();
        if (!(q > 0 && alnum(q - 1)) && !(after < hay.size() && alnum(after))) return static_cast<int>(q) + 1;
    }
    return 0;
}

// A condition decided the slow, obvious way: ReferenceSearch on a copy of
// the whole line, expressions evaluated token by token from the Polish list.
int ReferenceCondition(const String& line, const TTextLogFilter& f, int64_t& pos) {
    if (f.useExpression == 0) {
        const int at = ReferenceSearch(line, f.expression, f.caseSensitive, f.wholeWord);
        pos = at;
        return at >= 1 ? 1 : 0;
    }
    TExprParser parser(PriorityTable1, kPriorityTable1Rows);
    String expr(f.expression);
    if (!parser.Expr2Polish(expr, false)) return 0;
    std::vector<int> stack;
    for (int i = 0; i < parser.Polish().Count(); ++i) {
        const String t = parser.Polish()[i];
        if (t == "not") {
            if (stack.empty()) return 0;
            stack.back() = !stack.back();
        } else if (t == "and" || t == "or") {
            if (stack.size() < 2) return 0;
            const int b = stack.back();
            stack.pop_back();
            stack.back() = t == "and" ? (stack.back() && b) : (stack.back() || b);
        } else {
            stack.push_back(ReferenceSearch(line, t.Copy(2, t.Length() - 2), f.caseSensitive, f.wholeWord) >= 1);
        }
    }
    pos = 1;
    return stack.size() == 1 && stack[0] ? 1 : 0;
}

// The scan as the protocol defines it, on the file's bytes in memory.
int64_t ReferenceScan(const std::string& file, TLogState& st, bool scanAll, const TTextLogFilter* f, int count,
                      TLogMatch& m) {
    m = TLogMatch();
    const auto size = static_cast<int64_t>(file.size());
    if (st.size == 0 && st.time == 0) {  // never scanned
        st.position = size - 1;
        st.size = size;
        st.time = 1;  // (any time but 0 here)
        return 0;
    }
    bool fromEmpty = false;
    if (st.size == 0) {  // found empty last time
        if (size == 0) return 0;
        st.position = 0;
        fromEmpty = true;
    }
    if (st.position > size) st.position = 0;
    String line;
    int64_t consumed = 0;
    for (int64_t i = st.position; i < size; ++i) {
        const char c = file[static_cast<size_t>(i)];
        ++consumed;
        if (c != '\r' && c != '\n') {
            line.AddChar(c);
            continue;
        }
        if (line.IsEmpty()) continue;
        const int64_t before = st.position;
        st.position += consumed;
        consumed = 0;
        for (int k = 0; k < count; ++k) {
            int64_t at = 0;
            if (ReferenceCondition(line, f[k], at) != 0) {
                m.result = before + at;
                m.line = line.Copy(1, kLogLineKeep);
                m.condition = k;
                break;
            }
        }
        line = String();
        if (m.result > 0 && !scanAll) {
            if (fromEmpty) {
                st.size = st.position;
                st.time = 0;
            }
            return m.result;
        }
    }
    st.size = size;
    st.time = 1;
    return m.result;
}

bool AppendFile(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    return ::close(fd) == 0 && ok;
}

std::string RandomText(std::mt19937& rng, size_t n) {
    static const char alphabet[] = {'a', 'b', 'e', 'r', 'o', 'A', 'E', ' ', '.', '\n', '\r', '\0', 'x', 'n', 'd', 't'};
    std::uniform_int_distribution<size_t> pick(0, sizeof(alphabet) - 1);
    std::string s;
    for (size_t i = 0; i < n; ++i) s += alphabet[pick(rng)];
    // Now and then a long line, to be matched in pieces.
    if (rng() % 4 == 0) s.insert(rng() % (s.size() + 1), std::string(rng() % 300, "abeExr"[rng() % 6]));
    return s;
}

String RandomNeedle(std::mt19937& rng) {
    static const char letters[] = {'a', 'b', 'e', 'r', 'E', 'x', 'o', ' '};
    std::string s;
    const size_t n = 1 + rng() % 3;
    for (size_t i = 0; i < n; ++i) s += letters[rng() % sizeof(letters)];
    return String(s);
}

TTextLogFilter RandomFilter(std::mt19937& rng) {
    TTextLogFilter f;
    f.caseSensitive = static_cast<int>(rng() % 2);
    f.wholeWord = static_cast<int>(rng() % 3 == 0);
    f.useExpression = static_cast<int>(rng() % 2);
    if (f.useExpression == 0) {
        f.expression = RandomNeedle(rng);
        return f;
    }
    static const char* const shapes[] = {"'%s'", "'%s' and '%s'", "'%s' or not '%s'", "not '%s' and '%s'",
                                         "('%s' or '%s') and not '%s'", "'%s' '%s'",
                                         "'%s' and ('%s' or not '%s')"};
    std::string shape = shapes[rng() % (sizeof(shapes) / sizeof(shapes[0]))];
    std::string out;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape.compare(i, 2, "%s") == 0) {
            out += RandomNeedle(rng).Std();
            ++i;
        } else {
            out += shape[i];
        }
    }
    f.expression = String(out);
    return f;
}

void ExpectSame(const TLogMatch& got, const TLogMatch& want, const TLogState& gotState, const TLogState& wantState,
                const std::string& where) {
    EXPECT_EQ(got.result, want.result) << where;
    EXPECT_EQ(got.line.Std(), want.line.Std()) << where;
    EXPECT_EQ(got.condition, want.condition) << where;
    EXPECT_EQ(gotState.position, wantState.position) << where;
    EXPECT_EQ(gotState.size, wantState.size) << where;
}

// Random logs, conditions and buffer sizes: the scanner, its look-ahead and
// a scan after an append give what the line-by-line reference gives.
TEST(LogScanner, MatchesTheLineByLineReference) {
    TScratchDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string path = dir.File("fuzz.log");
    std::mt19937 rng(20240517);
    for (int round = 0; round < 400; ++round) {
        TTextLogFilter filters[2] = {RandomFilter(rng), RandomFilter(rng)};
        const int count = 1 + static_cast<int>(rng() % 2);
        const bool scanAll = rng() % 3 == 0;
        const std::string first = RandomText(rng, rng() % 200);
        const std::string later = RandomText(rng, rng() % 200);
        ASSERT_TRUE(WriteTextFile(path, first));
        TLogState start;
        start.position = static_cast<int64_t>(rng() % (first.size() + 2));
        start.size = 1;  // scanned before; time 0 keeps the shortcut off
        const std::string where = "round " + std::to_string(round) + " expr [" + filters[0].expression.Std() +
                                  "] [" + (count > 1 ? filters[1].expression.Std() : "") + "]";

        TLineMatcher matcher;
        matcher.Build(filters, count);
        TLogScanner scanner(matcher, 16 + rng() % 48);
        TLogState got = start, want = start;
        TLogMatch gm, wm;
        String err;
        ASSERT_TRUE(scanner.Scan(String(path), got, scanAll, gm, err)) << err.Std();
        ReferenceScan(first, want, scanAll, filters, count, wm);
        ExpectSame(gm, wm, got, want, where + " first");

        // The look-ahead of the same request, then the file grows and the
        // same scanner goes on.
        for (int step = 0; step < 2; ++step) {
            if (step == 1) {
                ASSERT_TRUE(AppendFile(path, later));
            }
            const std::string content = step == 0 ? first : first + later;
            const TLogState from = got;
            ASSERT_EQ(want.position, from.position);
            ASSERT_TRUE(scanner.Scan(String(path), got, scanAll, gm, err)) << err.Std();
            want = from;
            ReferenceScan(content, want, scanAll, filters, count, wm);
            ExpectSame(gm, wm, got, want, where + " step " + std::to_string(step));
            if (HasFailure()) return;
        }
    }
}

struct TScanFixture : ::testing::Test {
    TScratchDir dir;
    std::string path = dir.File("app.log");
    TTextLogFilter filter;
    TLineMatcher matcher;

    void SetUp() override {
        ASSERT_TRUE(dir.Valid());
        filter.expression = "error";
        matcher.Build(&filter, 1);
    }
};

// Lines written after the scan met the end of the file, before the state
// went back to the server, are reported by the next request.
TEST_F(TScanFixture, AppendAfterTheEndIsNotLost) {
    ASSERT_TRUE(WriteTextFile(path, "start\n"));
    TLogState st{5, 6, 0};
    TLogScanner scanner(matcher);
    scanner.atEndOfFile = [&] {
        if (ReadTextFile(path).size() == 6) AppendFile(path, "late error\n");
    };
    TLogMatch m;
    String err;
    ASSERT_TRUE(scanner.Scan(String(path), st, false, m, err));
    ASSERT_EQ(m.result, 0);
    EXPECT_EQ(st.size, 6);
    EXPECT_EQ(st.position, 5);

    TLogScanner next(matcher);
    EXPECT_TRUE(next.Scan(String(path), st, false, m, err));
    EXPECT_GT(m.result, 0);
    EXPECT_EQ(m.line.Std(), "late error");
    EXPECT_EQ(st.position, 17);
}

// The look-ahead keeps its own line; the first match is what was found.
TEST_F(TScanFixture, SecondScanGoesOnFromTheFirst) {
    ASSERT_TRUE(WriteTextFile(path, "x\nerror 1\nerror 2\n"));
    TLogState st{1, 2, 0};
    TLogScanner scanner(matcher);
    TLogMatch m1, m2;
    String err;
    ASSERT_TRUE(scanner.Scan(String(path), st, false, m1, err));
    ASSERT_EQ(m1.result, 1 + 1);
    EXPECT_EQ(st.position, 10);
    TLogState st2 = st;
    ASSERT_TRUE(scanner.Scan(String(path), st2, false, m2, err));
    ASSERT_EQ(m2.result, 10 + 1);
    EXPECT_EQ(m1.line.Std(), "error 1");
    EXPECT_EQ(m2.line.Std(), "error 2");
    EXPECT_EQ(st2.position, 18);
}

// A log found empty at one check (new, rotated with create, truncated with
// copytruncate) is read from its start at the next: nothing written in
// between is lost, and each line is reported once.
struct TStep {
    enum TKind { Write, Append, Rotate, CopyTruncate, Check } kind;
    std::string text;  // Write/Append: the bytes; Check: the line reported ("" none)
};

struct TEmptyLogCase {
    const char* name;
    std::vector<TStep> steps;
};

TEST_F(TScanFixture, LogFoundEmptyIsReadFromItsStart) {
    using S = TStep;
    const TEmptyLogCase cases[] = {
        {"empty at the first check, then appended",
         {{S::Write, ""}, {S::Check, ""}, {S::Append, "disk error\n"}, {S::Check, "disk error"}, {S::Check, ""},
          {S::Append, "ok\nsecond error\n"}, {S::Check, "second error"}, {S::Check, ""}}},
        {"empty for several checks",
         {{S::Write, ""}, {S::Check, ""}, {S::Check, ""}, {S::Check, ""}, {S::Append, "error at last\n"},
          {S::Check, "error at last"}, {S::Check, ""}}},
        {"two lines appended to an empty log, one per check",
         {{S::Write, ""}, {S::Check, ""}, {S::Append, "first error\nsecond error\n"}, {S::Check, "first error"},
          {S::Check, "second error"}, {S::Check, ""}}},
        {"rotated with create",
         {{S::Write, "old error\n"}, {S::Check, ""}, {S::Append, "ok\n"}, {S::Check, ""}, {S::Rotate, ""},
          {S::Check, ""}, {S::Append, "new error\n"}, {S::Check, "new error"}, {S::Check, ""}}},
        {"copytruncate",
         {{S::Write, "old error\nmore\n"}, {S::Check, ""}, {S::CopyTruncate, ""}, {S::Check, ""},
          {S::Append, "short\nerror after truncation\n"}, {S::Check, "error after truncation"}, {S::Check, ""}}},
        {"never scanned: what the log holds is not reported",
         {{S::Write, "old error\n"}, {S::Check, ""}, {S::Check, ""}}},
    };
    for (const TEmptyLogCase& c : cases) {
        SCOPED_TRACE(c.name);
        TLogState st;
        int check = 0;
        for (const TStep& step : c.steps) {
            switch (step.kind) {
            case S::Write: ASSERT_TRUE(WriteTextFile(path, step.text)); break;
            case S::Append: ASSERT_TRUE(AppendFile(path, step.text)); break;
            case S::Rotate:
                ASSERT_EQ(::rename(path.c_str(), (path + ".1").c_str()), 0);
                ASSERT_TRUE(WriteTextFile(path, ""));
                break;
            case S::CopyTruncate:
                ASSERT_TRUE(WriteTextFile(path + ".1", ReadTextFile(path)));
                ASSERT_EQ(::truncate(path.c_str(), 0), 0);
                break;
            case S::Check: {
                // One scanner per request, as the handler has.
                TLogScanner scanner(matcher);
                TLogMatch m;
                String err;
                ASSERT_TRUE(scanner.Scan(String(path), st, false, m, err)) << err.Std();
                EXPECT_EQ(m.line.Std(), step.text) << "check " << check;
                EXPECT_EQ(m.result > 0, !step.text.empty()) << "check " << check;
                ++check;
                break;
            }
            }
        }
    }
}

TEST_F(TScanFixture, NegativePositionIsASeekError) {
    ASSERT_TRUE(WriteTextFile(path, "abc\n"));
    TLogState st{-3, 4, 0};
    TLogScanner scanner(matcher);
    TLogMatch m;
    String err;
    EXPECT_FALSE(scanner.Scan(String(path), st, false, m, err));
    EXPECT_EQ(err.Std(), "fseek error");
}

}  // namespace

namespace {

// Only the texts whose absence rules a line out are looked for over the
// whole buffer; a condition that holds without its texts turns that off.
TEST(LineMatcher, TextsALineMustHold) {
    struct TCase {
        const char* expr;
        bool prefilter;
        std::vector<bool> filter;  // per text, in order of appearance
    };
    const TCase cases[] = {
        {"('a' or 'b') and not 'c'", true, {true, true, false}},
        {"'a' and 'b'", true, {false, true}},  // either one would do
        {"not 'a' or 'b'", false, {false, false}},
        {"'a' ''", true, {false, false}},  // never holds: nothing to look for
        {"'' or 'b'", true, {false, true}},
    };
    for (const TCase& c : cases) {
        TTextLogFilter f;
        f.expression = c.expr;
        f.useExpression = 1;
        TLineMatcher m;
        m.Build(&f, 1);
        EXPECT_EQ(m.Prefilter(), c.prefilter) << c.expr;
        ASSERT_EQ(m.Needles().size(), c.filter.size()) << c.expr;
        for (size_t k = 0; k < c.filter.size(); ++k) EXPECT_EQ(m.Needles()[k].filter, c.filter[k]) << c.expr << " " << k;
    }
}

}  // namespace
