#include "zelq/setting_names.h"

#include <algorithm>
#include <string_view>

#include "config/settings.h"

namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view TrimBlank(std::string_view s) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// Levenshtein distance of two short names.
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string ClosestSettingName(const std::string& name) {
    const std::string lower = Lower(name);
    for (const TZELSettingsKey& k : kSettingsKeys)
        if (k.remote != nullptr && Lower(k.remote) == lower) return k.remote;
    for (const TZELSettingsKey& k : kSettingsKeys)
        if (k.remote != nullptr && k.key != nullptr && lower == k.key) return k.remote;
    std::string best;
    size_t bestDistance = 0;
    for (const TZELSettingsKey& k : kSettingsKeys) {
        if (k.remote == nullptr) continue;
        const size_t d = Distance(lower, Lower(k.remote));
        if (best.empty() || d < bestDistance) {
            best = k.remote;
            bestDistance = d;
        }
    }
    return best;
}

std::vector<std::string> UnknownSettingWarnings(const std::vector<std::string>& params, bool literal) {
    std::vector<std::string> warnings;
    for (const std::string& p : params) {
        if (!literal && !p.empty() && p[0] == '@') continue;
        const size_t eq = p.find('=');
        if (eq == std::string::npos) continue;
        const std::string name(TrimBlank(std::string_view(p).substr(0, eq)));
        if (FindRemoteSettingsKey(name) != nullptr) continue;
        warnings.push_back("zelq: warning: unknown setting name '" + name + "' (the agent skips it); did you mean '" +
                           ClosestSettingName(name) + "'?");
    }
    return warnings;
}
