#include "manage/remote_changes.h"

#include "protocol/codecs.h"

namespace {

std::string_view TrimBlank(std::string_view s) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

void Record(TRemoteChanges& c, std::string_view name, std::string_view value) {
    const TZELSettingsKey* k = FindRemoteSettingsKey(name);
    if (k == nullptr) {
        if (c.unknownCount++ < kUnknownNamesKept) c.unknown.push_back(String(name));
        return;
    }
    TRemoteValue& v = c.keys[static_cast<size_t>(k - kSettingsKeys)];
    v.set = true;
    v.raw = String(value);
    switch (k->type) {
    case TZELKeyType::Integer:
        v.number = zelDecodeInt(v.raw);
        if (k->number == &TZELSettings::timeout) v.number = TimeoutInForce(v.number);
        break;
    case TZELKeyType::Flag: v.number = zelDecodeBool(v.raw) ? 1 : 0; break;
    case TZELKeyType::FilterList: v.text = FilterListInForce(zelDecodeStrings(v.raw).View()); break;
    case TZELKeyType::Text: v.text = v.raw; break;
    }
}

}  // namespace

TRemoteChanges ParseRemoteChanges(std::string_view text) {
    TRemoteChanges c;
    c.keys.resize(static_cast<size_t>(kSettingsKeyCount));
    size_t start = 0;
    for (size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', start)) {
        std::string_view line = TrimBlank(text.substr(start, lf - start));
        start = lf + 1;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        Record(c, TrimBlank(line.substr(0, eq)), TrimBlank(line.substr(eq + 1)));
    }
    return c;
}

bool CheckRemoteChanges(TRemoteChanges& c, String& err) {
    for (size_t i = 0; i < c.keys.size(); ++i) {
        TRemoteValue& v = c.keys[i];
        if (!v.set) continue;
        if (kSettingsKeys[i].text == &TZELSettings::password && v.raw.IsEmpty()) {
            err = kEmptyPasswordRefused;
            return false;
        }
        if (!DecodeRemoteValue(kSettingsKeys[i], v.raw.View(), v.number, v.text, err)) return false;
    }
    return true;
}

void ApplyRemoteChanges(const TRemoteChanges& c, TZELSettings& s) {
    for (size_t i = 0; i < c.keys.size(); ++i) {
        if (!c.keys[i].set) continue;
        const TZELSettingsKey& k = kSettingsKeys[i];
        if (k.text != nullptr) s.*(k.text) = c.keys[i].text;
        else s.*(k.number) = c.keys[i].number;
    }
}
