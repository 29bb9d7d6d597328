// The configuration file's line parser and its rewrite, and the parameter
// lines of a remote settings change. The input is taken as a configuration
// file: loaded, saved over itself and loaded again, the saved integer, flag
// and one-line text settings must come back unchanged. Then the same input
// is taken as a "SetSettings" request applied to those settings, and the
// round trip is checked again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/settings_internal.h"
#include "manage/remote_changes.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

TZELSettings Loaded(std::string_view text) {
    TZELSettings s;
    ApplySettingsDefaults(s);
    ApplyConfigText(s, text);
    return s;
}

// A text value survives a save when it holds no line end (a CR inside
// becomes a space in the file).
bool OneLine(const String& v) { return v.View().find_first_of("\r\n") == std::string_view::npos; }

void CheckRoundTrip(const TZELSettings& s, std::string_view base) {
    const std::string saved = BuildConfigFile(s, base);
    const TZELSettings back = Loaded(saved);
    for (int i = 0; i < kSettingsKeyCount; ++i) {
        const TZELSettingsKey& k = kSettingsKeys[i];
        if (!k.saved) continue;
        switch (k.type) {
        case TZELKeyType::Integer:
        case TZELKeyType::Flag:
            // Only a port that the file set survives: a port of 0 is taken
            // from a later line.
            if (k.number != &TZELSettings::port || s.port != 0) Check(back.*k.number == s.*k.number);
            break;
        case TZELKeyType::Text:
            if (OneLine(s.*k.text)) Check(back.*k.text == s.*k.text);
            break;
        case TZELKeyType::FilterList:
            break;  // entries are re-split on blanks
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TZELSettings s = Loaded(text);
    String warning;
    s.DeriveComputedFields(warning);
    CheckRoundTrip(s, text);

    TRemoteChanges changes = ParseRemoteChanges(text);
    String err;
    if (CheckRemoteChanges(changes, err)) {
        ApplyRemoteChanges(changes, s);
        s.DeriveComputedFields(warning);
        CheckRoundTrip(s, text);
    } else {
        // Refused whole: an empty password or a value named in the text.
        Check(err == kEmptyPasswordRefused || err.View().rfind("Invalid value of ", 0) == 0);
    }
    return 0;
}
