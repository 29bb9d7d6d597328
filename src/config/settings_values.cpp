#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/addrfilter.h"
#include "config/settings_internal.h"
#include "foundation/escape.h"

namespace {

std::atomic<TSettingsWarningFn> g_warningSink{nullptr};

bool IsBlankOrLineEnd(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// The value as a refusal shows it: control bytes as %XX, so that the
// message stays one line, and cut after kShown bytes.
String Shown(std::string_view value) {
    constexpr size_t kShown = 64;
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < value.size() && i < kShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (value.size() > kShown) out += "...";
    return String(out);
}

// A password's value is never repeated: a refusal may be logged or traced.
bool Refuse(const TZELSettingsKey& k, std::string_view value, const char* why, String& err) {
    const String shown = k.text == &TZELSettings::password ? String("(not shown)") : Shown(value);
    err = String("Invalid value of ") + k.remote + ": '" + shown + "' (" + why + "); settings not changed";
    return false;
}

bool IsAddressList(const TZELSettingsKey& k) {
    return k.text == &TZELSettings::filterlist || k.text == &TZELSettings::manageaddr ||
           k.text == &TZELSettings::updateaddr;
}

}  // namespace

int TimeoutInForce(int value) { return value == 0 ? kDefaultTimeoutMs : value; }

String FilterListInForce(std::string_view entries) {
    std::string out;
    out.reserve(entries.size());
    size_t i = 0;
    while (i < entries.size()) {
        while (i < entries.size() && IsBlankOrLineEnd(entries[i])) ++i;
        size_t start = i;
        while (i < entries.size() && !IsBlankOrLineEnd(entries[i])) ++i;
        if (i == start) break;
        if (!out.empty()) out += "\r\n";
        out.append(entries.substr(start, i - start));
    }
    return String(out);
}

bool DecodeRemoteValue(const TZELSettingsKey& k, std::string_view value, int& number, String& text, String& err) {
    switch (k.type) {
    case TZELKeyType::Flag:
        if (value != "0" && value != "1") return Refuse(k, value, "0 or 1 expected", err);
        number = value == "1" ? 1 : 0;
        return true;
    case TZELKeyType::Integer: {
        if (k.number == &TZELSettings::port) {
            const int port = AllDigits(value) && value.size() <= 5 ? std::atoi(std::string(value).c_str()) : 0;
            if (port < 1 || port > 65535) return Refuse(k, value, "a port number from 1 to 65535 expected", err);
            number = port;
            return true;
        }
        std::string_view digits = value;
        if (!digits.empty() && digits[0] == '-') digits.remove_prefix(1);
        long long v = 0;
        if (AllDigits(digits) && digits.size() <= 10) v = std::strtoll(std::string(value).c_str(), nullptr, 10);
        if (!AllDigits(digits) || digits.size() > 10 || v > INT_MAX || v < INT_MIN)
            return Refuse(k, value, "a number expected", err);
        number = static_cast<int>(v);
        if (k.number == &TZELSettings::timeout) number = TimeoutInForce(number);
        return true;
    }
    case TZELKeyType::Text:
        if (value.find_first_of("\r\n") != std::string_view::npos)
            return Refuse(k, value, "a line break cannot be saved", err);
        text = String(value);
        break;
    case TZELKeyType::FilterList:
        text = FilterListInForce(zelDecodeStrings(String(value)).View());
        break;
    }
    if (IsAddressList(k)) {
        std::vector<String> problems;
        if (!CheckAddressList(text, problems))
            return Refuse(k, value, problems.empty() ? "an address list expected" : problems.front().Data(), err);
    }
    return true;
}

void SetSettingsWarningSink(TSettingsWarningFn fn) { g_warningSink.store(fn, std::memory_order_release); }

void SettingsWarning(const String& text) {
    if (TSettingsWarningFn fn = g_warningSink.load(std::memory_order_acquire)) fn(text.Data());
}

void ReportAddressProblems(const TZELSettings& s) {
    std::vector<String> problems;
    CheckAddressSettings(s, problems);
    for (const String& p : problems) SettingsWarning(p);
}

bool CheckStartupSettings(const String& cfgfile, int commandLinePort, String& err) {
    TZELSettings ignored;
    return CheckStartupSettings(cfgfile, commandLinePort, ignored, err);
}

bool CheckStartupSettings(const String& cfgfile, int commandLinePort, TZELSettings& s, String& err) {
    s = TZELSettings();
    s.cfgfile = cfgfile;
    s.port = commandLinePort;
    bool ok = LoadSettingsFile(s, err);  // a scratch copy: nothing in force changes
    if (ok && (s.port < 1 || s.port > 65535)) {
        err += "  TCP port is out of range (1-65535)!\n";
        ok = false;
    }
    return ok;
}
