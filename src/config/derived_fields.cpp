#include <cstdlib>

#include "config/addrfilter.h"
#include "config/settings.h"
#include "foundation/fileutils.h"

namespace {

// The effective filter list: CR LF, then each entry whose mark is '1'
// followed by CR LF, in list order. Entries are separated by blanks or line
// ends (a remote change may bring "10.0.0.1 10.0.0.2" on one line); entries
// beyond the last mark are off. One pass over the list: a remote request may
// bring millions of entries.
void BuildEffectiveFilterList(TZELSettings& s, String& err) {
    s.effectivefilterlist = "\r\n";
    std::string_view rest = s.filterlist.View();
    std::string_view entry;
    for (int i = 1; i <= s.filtermarks.Length(); ++i) {
        if (!NextFilterEntry(rest, entry)) {
            err = "FilterMarks has less items than FilterList";
            break;
        }
        if (s.filtermarks[i] == '1') {
            s.effectivefilterlist.AddData(entry.data(), static_cast<int>(entry.size()));
            s.effectivefilterlist += "\r\n";
        }
    }
}

// Script names without a directory of their own live next to the agent. An
// empty name stays empty: no script, the agent answers itself.
void ResolveScripts(TZELSettings& s) {
    String dir = ExtractFilePath(s.zelpath);
    if (dir.IsEmpty()) return;
    for (String* script : {&s.cpuusagescript, &s.proclistscript, &s.proccntscript})
        if (!script->IsEmpty() && ExtractFilePath(*script).IsEmpty()) *script = dir + "/" + *script;
}

// The configured directory if it exists, else TMPDIR, else TMP, else ".".
void ResolveTempDir(TZELSettings& s) {
    if (s.tmpdir.IsEmpty() || !DirectoryExists(s.tmpdir.Data())) {
        s.tmpdir = ".";
        for (const char* var : {"TMPDIR", "TMP"}) {
            const char* v = std::getenv(var);
            if (v != nullptr && DirectoryExists(v)) {
                s.tmpdir = v;
                break;
            }
        }
    }
    String dir = ExcludeTrailingPathDelimiter(s.tmpdir);
    // The root directory stays "/" rather than turning into an empty name.
    if (!dir.IsEmpty()) s.tmpdir = dir;
}

}  // namespace

void TZELSettings::DeriveComputedFields(String& warning) {
    BuildEffectiveFilterList(*this, warning);
    ResolveScripts(*this);
    ResolveTempDir(*this);
}
