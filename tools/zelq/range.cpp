#include "zelq/range.h"

#include <cstdlib>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// [+-]digits[.digits] or [+-].digits, the whole text.
bool ParseNumberText(const std::string& s, double& value) {
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t digits = 0;
    while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
    }
    if (digits == 0 || i != s.size() || s.size() > 64) return false;
    value = std::strtod(s.c_str(), nullptr);
    return true;
}

}  // namespace

bool ParseThresholdRange(const std::string& text, TThresholdRange& range, std::string& err) {
    TThresholdRange r;
    r.text = text;
    std::string s = text;
    if (!s.empty() && s[0] == '@') {
        r.inside = true;
        s.erase(0, 1);
    }
    const size_t colon = s.find(':');
    std::string startText, endText;
    if (colon == std::string::npos) {
        endText = s;
    } else {
        startText = s.substr(0, colon);
        endText = s.substr(colon + 1);
        if (endText.find(':') != std::string::npos) {
            err = "\"" + text + "\" is no range (one \":\" at most)";
            return false;
        }
    }
    if (colon == std::string::npos && endText.empty()) {
        err = "an empty range";
        return false;
    }
    if (startText == "~") {
        r.startInfinite = true;
    } else if (!startText.empty() && !ParseNumberText(startText, r.start)) {
        err = "\"" + text + "\" is no range (the start is not a number)";
        return false;
    }
    if (colon != std::string::npos && endText.empty()) {
        r.endInfinite = true;
    } else if (!ParseNumberText(endText, r.end)) {
        err = "\"" + text + "\" is no range (the end is not a number)";
        return false;
    }
    if (!r.startInfinite && !r.endInfinite && r.start > r.end) {
        err = "\"" + text + "\" is no range (its start lies above its end)";
        return false;
    }
    r.given = true;
    range = r;
    return true;
}

bool RangeAlerts(const TThresholdRange& range, double value) {
    if (!range.given) return false;
    const bool aboveStart = range.startInfinite || value >= range.start;
    const bool belowEnd = range.endInfinite || value <= range.end;
    const bool within = aboveStart && belowEnd;
    return range.inside ? within : !within;
}

const char* PluginStatusWord(TPluginStatus s) {
    switch (s) {
    case TPluginStatus::Ok: return "OK";
    case TPluginStatus::Warning: return "WARNING";
    case TPluginStatus::Critical: return "CRITICAL";
    case TPluginStatus::Unknown: break;
    }
    return "UNKNOWN";
}

TPluginStatus ThresholdStatus(const TThresholdRange& warning, const TThresholdRange& critical, double value) {
    if (RangeAlerts(critical, value)) return TPluginStatus::Critical;
    if (RangeAlerts(warning, value)) return TPluginStatus::Warning;
    return TPluginStatus::Ok;
}

bool ParsePlainNumber(const std::string& text, double& value) {
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
    return ParseNumberText(text.substr(b, e - b), value);
}
