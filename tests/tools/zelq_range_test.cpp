// Threshold ranges, the alert decisions they make and plain numbers.
#include <gtest/gtest.h>

#include <string>

#include "zelq/range.h"

namespace {

TThresholdRange Range(const std::string& text) {
    TThresholdRange r;
    std::string err;
    EXPECT_TRUE(ParseThresholdRange(text, r, err)) << text << ": " << err;
    return r;
}

TEST(ZelqRange, SyntaxAccepted) {
    const struct {
        const char* text;
        bool inside, startInf, endInf;
        double start, end;
    } cases[] = {
        {"10", false, false, false, 0, 10},
        {"10:", false, false, true, 10, 0},
        {"~:10", false, true, false, 0, 10},
        {"10:20", false, false, false, 10, 20},
        {"@10:20", true, false, false, 10, 20},
        {"@10", true, false, false, 0, 10},
        {"-5:-1", false, false, false, -5, -1},
        {"0.5:2.25", false, false, false, 0.5, 2.25},
        {":7", false, false, false, 0, 7},
        {"~:", false, true, true, 0, 0},
        {"3:3", false, false, false, 3, 3},
        {"+4", false, false, false, 0, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TThresholdRange r = Range(c.text);
        EXPECT_TRUE(r.given);
        EXPECT_EQ(r.inside, c.inside);
        EXPECT_EQ(r.startInfinite, c.startInf);
        EXPECT_EQ(r.endInfinite, c.endInf);
        if (!c.startInf) {
            EXPECT_DOUBLE_EQ(r.start, c.start);
        }
        if (!c.endInf) {
            EXPECT_DOUBLE_EQ(r.end, c.end);
        }
        EXPECT_EQ(r.text, c.text);
    }
}

TEST(ZelqRange, SyntaxRefused) {
    for (const char* text : {"", "@", "x", "10:x", "~", "20:10", "1:2:3", "10 ", "1e3", "--1", ".", "~10:20",
                             "@@1", "nan", "inf:", "10:~"}) {
        TThresholdRange r;
        std::string err;
        EXPECT_FALSE(ParseThresholdRange(text, r, err)) << "\"" << text << "\"";
        EXPECT_FALSE(err.empty()) << text;
        EXPECT_FALSE(r.given) << text;
    }
}

TEST(ZelqRange, AlertDecisions) {
    // Endpoints are inside the range: "10" alerts below 0 and above 10.
    const struct {
        const char* range;
        double value;
        bool alerts;
    } cases[] = {
        {"10", -1, true},    {"10", 0, false},      {"10", 10, false},    {"10", 10.5, true},
        {"10:", 9.99, true}, {"10:", 10, false},    {"10:", 1e18, false}, {"~:10", -1e18, false},
        {"~:10", 10, false}, {"~:10", 11, true},    {"10:20", 9, true},   {"10:20", 15, false},
        {"10:20", 21, true}, {"@10:20", 10, true},  {"@10:20", 20, true}, {"@10:20", 9.9, false},
        {"@10:20", 21, false}, {"@10:", 5, false},  {"@10:", 1e12, true}, {"@~:0", -3, true},
        {"-5:-1", 0, true},  {"-5:-1", -3, false},  {"0", 0, false},      {"0", 1, true},
        {"1:", 0, true},     {"1:", 1, false},      {"3:3", 3, false},    {"3:3", 2, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RangeAlerts(Range(c.range), c.value), c.alerts) << c.range << " with " << c.value;
    EXPECT_FALSE(RangeAlerts(TThresholdRange(), -1e300));
}

TEST(ZelqRange, CriticalBeforeWarning) {
    const struct {
        const char* warning;
        const char* critical;
        double value;
        TPluginStatus status;
    } cases[] = {
        {"80", "90", 50, TPluginStatus::Ok},
        {"80", "90", 85, TPluginStatus::Warning},
        {"80", "90", 95, TPluginStatus::Critical},
        {"", "90", 85, TPluginStatus::Ok},
        {"80", "", 95, TPluginStatus::Warning},
        {"", "", 1e9, TPluginStatus::Ok},
        // Free space: warning below 10, critical below 5.
        {"10:", "5:", 7, TPluginStatus::Warning},
        {"10:", "5:", 4, TPluginStatus::Critical},
        // A warning range wider than the critical one does not hide it.
        {"100", "50", 70, TPluginStatus::Critical},
    };
    for (const auto& c : cases) {
        TThresholdRange w = *c.warning ? Range(c.warning) : TThresholdRange();
        TThresholdRange cr = *c.critical ? Range(c.critical) : TThresholdRange();
        EXPECT_EQ(ThresholdStatus(w, cr, c.value), c.status) << c.warning << " / " << c.critical << " " << c.value;
    }
}

TEST(ZelqRange, PlainNumbers) {
    double v = 0;
    EXPECT_TRUE(ParsePlainNumber("     0", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(ParsePlainNumber("12.5000", v));
    EXPECT_EQ(v, 12.5);
    EXPECT_TRUE(ParsePlainNumber("-2", v));
    EXPECT_EQ(v, -2);
    EXPECT_TRUE(ParsePlainNumber(" 9223372036854775807 ", v));
    for (const char* bad : {"", " ", "12a", "0x10", "1e5", "1.2.3", "1 2", "10.12.2024 10:00:00", "inf"})
        EXPECT_FALSE(ParsePlainNumber(bad, v)) << bad;
}

}  // namespace
