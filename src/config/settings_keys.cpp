#include <cstring>

#include "config/settings.h"

namespace {

using S = TZELSettings;

constexpr TZELSettingsKey Text(const char* key, String S::*f, const char* def, bool saved = true) {
    return {key, TZELKeyType::Text, f, nullptr, false, def, 0, saved, nullptr, 0};
}
constexpr TZELSettingsKey KeptText(const char* key, String S::*f, bool saved = true) {
    return {key, TZELKeyType::Text, f, nullptr, true, "", 0, saved, nullptr, 0};
}
constexpr TZELSettingsKey Int(const char* key, int S::*f, int def, bool saved = true) {
    return {key, TZELKeyType::Integer, nullptr, f, false, "", def, saved, nullptr, 0};
}
constexpr TZELSettingsKey KeptInt(const char* key, int S::*f) {
    return {key, TZELKeyType::Integer, nullptr, f, true, "", 0, true, nullptr, 0};
}
constexpr TZELSettingsKey Flag(const char* key, int S::*f, int def) {
    return {key, TZELKeyType::Flag, nullptr, f, false, "", def, true, nullptr, 0};
}
constexpr TZELSettingsKey FilterList(const char* key, String S::*f, const char* def) {
    return {key, TZELKeyType::FilterList, f, nullptr, false, def, 0, true, nullptr, 0};
}
// The same key, known to the server as `name`; listed > 0 places it among
// the extra lines of the settings request.
constexpr TZELSettingsKey Remote(TZELSettingsKey k, const char* name, int listed = 0) {
    k.remote = name;
    k.listed = listed;
    return k;
}

}  // namespace

const TZELSettingsKey ZELSettingsKeys[] = {
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
    Flag("unc", &S::unc, 1),
    Flag("freespace", &S::freespace, 1),
    Flag("foldersize", &S::foldersize, 1),
    Flag("countfiles", &S::countfiles, 1),
    Flag("fileexists", &S::fileexists, 1),
    Flag("filecrc", &S::filecrc, 1),
    Flag("comparefiles", &S::comparefiles, 1),
    Flag("process", &S::process, 1),
    Flag("cpuusage", &S::cpuusage, 1),
    Flag("script", &S::script, 1),
    Flag("external", &S::external, 1),
    Flag("ping", &S::ping, 1),
    Flag("tcp", &S::tcp, 1),
    Flag("udp", &S::udp, 1),
    Flag("textlog", &S::textlog, 1),
    Flag("shellscript", &S::shellscript, 1),
    Flag("executeaction", &S::executeaction, 0),
    Flag("tcpudpaction", &S::tcpudpaction, 0),
    Flag("syslogaction", &S::syslogaction, 0),
    // Never written by a save: their lines pass through unchanged.
    Text("zelpath", &S::zelpath, "", false),
    KeptText("cpuusagescript", &S::cpuusagescript, false),
    KeptText("proclistscript", &S::proclistscript, false),
    KeptText("proccntscript", &S::proccntscript, false),
    KeptText("tmpdir", &S::tmpdir, false),
    Text("pidfile", &S::pidfile, "", false),
    Int("delayforscripts", &S::delayforscripts, 90000, false),
};

const int ZELSettingsKeyCount = static_cast<int>(sizeof(ZELSettingsKeys) / sizeof(ZELSettingsKeys[0]));

static_assert(sizeof(ZELSettingsKeys) / sizeof(ZELSettingsKeys[0]) == 43);

const TZELSettingsKey* FindSettingsKey(std::string_view lowerKey) {
    for (const TZELSettingsKey& k : ZELSettingsKeys)
        if (lowerKey == k.key) return &k;
    return nullptr;
}

const TZELSettingsKey* FindRemoteSettingsKey(std::string_view name) {
    for (const TZELSettingsKey& k : ZELSettingsKeys)
        if (k.remote != nullptr && name == k.remote) return &k;
    return nullptr;
}

const TZELSwitch ZELSwitches[23] = {
    {"unc", "UNC", &S::unc, 1},
    {"freespace", "Drive Space", &S::freespace, 1},
    {"foldersize", "Folder Size", &S::foldersize, 1},
    {"countfiles", "Count Files", &S::countfiles, 1},
    {"fileexists", "File Availability", &S::fileexists, 1},
    {"filecrc", "File Integrity", &S::filecrc, 1},
    {"comparefiles", "File Compare", &S::comparefiles, 1},
    {"process", "Process", &S::process, 1},
    {nullptr, "Service", &S::service, 0},
    {nullptr, "NT Event Log", &S::nteventlog, 0},
    {"cpuusage", "CPU Usage", &S::cpuusage, 1},
    {nullptr, "Perf Counter", &S::perfcounter, 0},
    {nullptr, "SNMP", &S::snmp, 1},
    {"script", "Script", &S::script, 1},
    {"external", "External", &S::external, 1},
    {"ping", "Ping", &S::ping, 1},
    {"tcp", "TCP", &S::tcp, 1},
    {"udp", "UDP", &S::udp, 1},
    {"textlog", "Text Log", &S::textlog, 1},
    {"shellscript", nullptr, &S::shellscript, 1},
    {"executeaction", "Execute external command", &S::executeaction, 0},
    {"tcpudpaction", "TCP/UDP send", &S::tcpudpaction, 0},
    {"syslogaction", "Syslog", &S::syslogaction, 0},
};

void ApplySettingsDefaults(TZELSettings& s) {
    for (const TZELSettingsKey& k : ZELSettingsKeys) {
        if (k.kept) continue;
        if (k.text != nullptr) s.*k.text = k.textDefault;
        else s.*k.number = k.numberDefault;
    }
    for (const TZELSwitch& sw : ZELSwitches)
        if (sw.key == nullptr) s.*sw.field = sw.defaultValue;
}
