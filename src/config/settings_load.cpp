#include <cstdlib>
#include <string>

#include "config/settings_internal.h"
#include "foundation/fileutils.h"
#include "foundation/escape.h"

namespace {

// The file holds the filter entries separated by blanks (escaped line ends
// are accepted too); the field holds one entry per line, CR LF between them,
// as a remote change gives it.
String FilterListFromFile(std::string_view value) { return FilterListInForce(zelDecodeStrings(String(value)).View()); }

void ApplyLine(TZELSettings& s, const TConfigLine& line) {
    const TZELSettingsKey* k = FindSettingsKey(line.key);
    if (k == nullptr) return;
    switch (k->type) {
        case TZELKeyType::Text:
            s.*k->text = String(line.value);
            break;
        case TZELKeyType::FilterList:
            s.*k->text = FilterListFromFile(line.value);
            break;
        case TZELKeyType::Flag:
            s.*k->number = (!line.value.empty() && line.value[0] == '1') ? 1 : 0;
            break;
        case TZELKeyType::Integer: {
            int v = std::atoi(std::string(line.value).c_str());
            // A port given on the command line, or the one in use after the
            // first load, is never replaced from the file.
            if (k->number == &TZELSettings::port) {
                if (s.port == 0) s.port = v;
            } else {
                s.*k->number = v;
            }
            break;
        }
    }
}

}  // namespace

void ApplyConfigText(TZELSettings& s, std::string_view text) {
    TConfigLine parsed;
    for (std::string_view line : SplitConfigLines(text))
        if (ParseConfigLine(line, parsed)) ApplyLine(s, parsed);
}

bool LoadSettingsFile(TZELSettings& s, String& err) {
    err = "";
    ApplySettingsDefaults(s);
    if (s.cfgfile.IsEmpty()) {
        err = "Configuration file is not specified";
        return false;
    }
    std::string text;
    if (!ReadConfigFile(s.cfgfile.Data(), text, nullptr)) {
        err = String("Cannot open configuration file '") + s.cfgfile + "'";
        return false;
    }
    ApplyConfigText(s, text);

    s.DeriveComputedFields(err);
    s.timeout = TimeoutInForce(s.timeout);

    bool ok = true;
    if (s.port == 0) {
        err += "  TCP post is not specified!\n";
        ok = false;
    }
    if (s.password.IsEmpty()) {
        err += "  Password is not specified!\n";
        ok = false;
    }
    if (s.zelpath.IsEmpty() || s.zelpath[1] != '/') {
        err += "  Full path to the agent is not specified!\n";
        ok = false;
    } else if (!FileExists(s.zelpath.Data())) {
        err += "  Invalid path to the agent!\n";
        ok = false;
    }
    return ok;
}
