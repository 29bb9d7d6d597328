#include <iterator>

#include "config/settings.h"

namespace {

using S = TZELSettings;
using L = TZELStatusList;

constexpr TZELSettingsKey Row(const char* key, TZELKeyType type, String S::*text, int S::*number, bool kept,
                              const char* textDefault, int numberDefault, bool saved) {
    return {key, type, text, number, kept, textDefault, numberDefault, saved, nullptr, 0, false, L::None, nullptr, 0};
}
constexpr TZELSettingsKey Text(const char* key, String S::*f, const char* def, bool saved = true) {
    return Row(key, TZELKeyType::Text, f, nullptr, false, def, 0, saved);
}
constexpr TZELSettingsKey KeptText(const char* key, String S::*f, bool saved = true) {
    return Row(key, TZELKeyType::Text, f, nullptr, true, "", 0, saved);
}
constexpr TZELSettingsKey Int(const char* key, int S::*f, int def, bool saved = true) {
    return Row(key, TZELKeyType::Integer, nullptr, f, false, "", def, saved);
}
constexpr TZELSettingsKey KeptInt(const char* key, int S::*f) {
    return Row(key, TZELKeyType::Integer, nullptr, f, true, "", 0, true);
}
constexpr TZELSettingsKey Flag(const char* key, int S::*f, int def) {
    return Row(key, TZELKeyType::Flag, nullptr, f, false, "", def, true);
}
constexpr TZELSettingsKey FilterList(const char* key, String S::*f, const char* def) {
    return Row(key, TZELKeyType::FilterList, f, nullptr, false, def, 0, true);
}
// The same key, known to the server as `name`; listed > 0 places it among
// the extra lines of the settings request.
constexpr TZELSettingsKey Remote(TZELSettingsKey k, const char* name, int listed = 0) {
    k.remote = name;
    k.listed = listed;
    return k;
}
// A test or action switch: its file key (null: none, and then never saved)
// and its name in the server's requests (null: none).
constexpr TZELSettingsKey Switch(const char* key, int S::*f, int def, const char* remote) {
    TZELSettingsKey k = Remote(key != nullptr ? Flag(key, f, def) : Row(nullptr, TZELKeyType::Flag, nullptr, f, false,
                                                                         "", def, false),
                               remote);
    k.isSwitch = true;
    return k;
}
// The switch as the status request shows it: at `order` in `list`, under
// `label` (by default its remote name).
constexpr TZELSettingsKey Shown(TZELSettingsKey k, L list, int order, const char* label = nullptr) {
    k.statusList = list;
    k.statusOrder = order;
    k.statusLabel = label != nullptr ? label : k.remote;
    return k;
}

}  // namespace

const TZELSettingsKey kSettingsKeys[] = {
    KeptText("host", &S::host),
    Remote(KeptInt("port", &S::port), "Port"),
    Remote(KeptInt("timeout", &S::timeout), "Timeout"),
    Remote(Text("comment", &S::comment, ""), "Comment"),
    Remote(Text("password", &S::password, ""), "Password", 5),
    Remote(Flag("filteractive", &S::filteractive, 0), "IPFiltering", 6),
    Remote(Text("filtermarks", &S::filtermarks, "1"), "IPFilterMarks", 8),
    Remote(FilterList("filterlist", &S::filterlist, "127.0.0.1"), "IPFilterAddr", 7),
    KeptText("verboselogfile", &S::verboselogfile),
    Remote(Flag("logsuccess", &S::logsuccess, 0), "LogOkConn", 1),
    Remote(Flag("logfails", &S::logfails, 1), "LogBadConn", 2),
    Remote(Text("oklogfile", &S::oklogfile, "log1.txt"), "OkLogFile", 3),
    Remote(Text("badlogfile", &S::badlogfile, "log2.txt"), "BadLogFile", 4),
    Remote(Flag("allowupdates", &S::allowupdates, 1), "AllowUpdates", 9),
    Remote(Flag("allowmanage", &S::allowmanage, 1), "AllowRManage", 10),
    Remote(Text("updateaddr", &S::updateaddr, "127.0.0.1"), "UpdateAddr", 11),
    Remote(Text("manageaddr", &S::manageaddr, "127.0.0.1"), "ManageAddr", 12),
    Shown(Switch("unc", &S::unc, 1, "UNC"), L::Tests, 3),
    Switch("freespace", &S::freespace, 1, "Drive Space"),
    Shown(Switch("foldersize", &S::foldersize, 1, "Folder Size"), L::Tests, 4),
    Shown(Switch("countfiles", &S::countfiles, 1, "Count Files"), L::Tests, 5),
    Shown(Switch("fileexists", &S::fileexists, 1, "File Availability"), L::Tests, 6),
    Shown(Switch("filecrc", &S::filecrc, 1, "File Integrity"), L::Tests, 7),
    Shown(Switch("comparefiles", &S::comparefiles, 1, "File Compare"), L::Tests, 8),
    Shown(Switch("process", &S::process, 1, "Process"), L::Tests, 10),
    Shown(Switch("cpuusage", &S::cpuusage, 1, "CPU Usage"), L::Tests, 11),
    Switch("script", &S::script, 1, "Script"),
    Shown(Switch("external", &S::external, 1, "External"), L::Tests, 12),
    Switch("ping", &S::ping, 1, "Ping"),
    Shown(Switch("tcp", &S::tcp, 1, "TCP"), L::Tests, 1),
    Shown(Switch("udp", &S::udp, 1, "UDP"), L::Tests, 2),
    Shown(Switch("textlog", &S::textlog, 1, "Text Log"), L::Tests, 9),
    Shown(Switch("shellscript", &S::shellscript, 1, nullptr), L::Tests, 13, "Shell Script"),
    Shown(Switch("executeaction", &S::executeaction, 0, "Execute external command"), L::Actions, 1),
    Shown(Switch("tcpudpaction", &S::tcpudpaction, 0, "TCP/UDP send"), L::Actions, 2),
    Shown(Switch("syslogaction", &S::syslogaction, 0, "Syslog"), L::Actions, 3),
    // Never written by a save: their lines pass through unchanged.
    Text("zelpath", &S::zelpath, "", false),
    KeptText("cpuusagescript", &S::cpuusagescript, false),
    KeptText("proclistscript", &S::proclistscript, false),
    KeptText("proccntscript", &S::proccntscript, false),
    KeptText("tmpdir", &S::tmpdir, false),
    Text("pidfile", &S::pidfile, "", false),
    Int("delayforscripts", &S::delayforscripts, 90000, false),
    // Read at start-up only; never changed by the server (it is a change of
    // privileges).
    Text("user", &S::user, "", false),
    // Switches without a key.
    Switch(nullptr, &S::service, 0, "Service"),
    Switch(nullptr, &S::nteventlog, 0, "NT Event Log"),
    Switch(nullptr, &S::perfcounter, 0, "Perf Counter"),
    Switch(nullptr, &S::snmp, 1, "SNMP"),
};

static_assert(std::size(kSettingsKeys) == kSettingsKeyCount);

const TZELSettingsKey* FindSettingsKey(std::string_view lowerKey) {
    for (const TZELSettingsKey& k : kSettingsKeys)
        if (k.key != nullptr && lowerKey == k.key) return &k;
    return nullptr;
}

const TZELSettingsKey* FindRemoteSettingsKey(std::string_view name) {
    for (const TZELSettingsKey& k : kSettingsKeys)
        if (k.remote != nullptr && name == k.remote) return &k;
    return nullptr;
}

void ApplySettingsDefaults(TZELSettings& s) {
    for (const TZELSettingsKey& k : kSettingsKeys) {
        if (k.kept) continue;
        if (k.text != nullptr) s.*k.text = k.textDefault;
        else s.*k.number = k.numberDefault;
    }
}
