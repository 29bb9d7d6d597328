// Threshold ranges of monitoring plugins ("10", "10:", "~:10", "10:20",
// "@10:20") and the OK / WARNING / CRITICAL decision they make.
// Plain values; every function is pure and thread-safe.
#pragma once

#include <string>

struct TThresholdRange {
    bool given = false;     // a range was parsed (an absent -w or -c alerts never)
    bool inside = false;    // "@": alert when the value lies inside start..end
    bool startInfinite = false;  // "~": no lower bound
    bool endInfinite = false;    // "N:": no upper bound
    double start = 0;
    double end = 0;
    std::string text;       // as written, for the performance data
};

// Parses one range. Without ":" the text is the end and the start is 0;
// "N:" has no end; "~" as the start means minus infinity; a leading "@"
// turns the alert around. Numbers are decimal, signed, with an optional
// fraction. Returns false with a reason when the text is no range or its
// start lies above its end.
bool ParseThresholdRange(const std::string& text, TThresholdRange& range, std::string& err);

// Whether value raises the range's alert: outside start..end (both
// inclusive in the range), or inside it for "@". An absent range never
// alerts.
bool RangeAlerts(const TThresholdRange& range, double value);

// Plugin statuses and their exit codes.
enum class TPluginStatus { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };
const char* PluginStatusWord(TPluginStatus s);  // "OK", "WARNING", "CRITICAL", "UNKNOWN"

// CRITICAL when the critical range alerts, else WARNING when the warning
// range alerts, else OK.
TPluginStatus ThresholdStatus(const TThresholdRange& warning, const TThresholdRange& critical, double value);

// A number as the reply writes it: optional blanks, an optional sign,
// digits with an optional fraction, optional blanks. Nothing else.
bool ParsePlainNumber(const std::string& text, double& value);
