#include "manage/status.h"

#include <sys/utsname.h>

TAgentStatus AgentStatus;

namespace {

struct TSwitchName {
    const char* name;
    int TZELSettings::*field;
};

// The tests and actions as the status request lists them, in its order.
const TSwitchName kTests[] = {
    {"TCP", &TZELSettings::tcp},
    {"UDP", &TZELSettings::udp},
    {"UNC", &TZELSettings::unc},
    {"Folder Size", &TZELSettings::foldersize},
    {"Count Files", &TZELSettings::countfiles},
    {"File Availability", &TZELSettings::fileexists},
    {"File Integrity", &TZELSettings::filecrc},
    {"File Compare", &TZELSettings::comparefiles},
    {"Text Log", &TZELSettings::textlog},
    {"Process", &TZELSettings::process},
    {"CPU Usage", &TZELSettings::cpuusage},
    {"External", &TZELSettings::external},
    {"Shell Script", &TZELSettings::shellscript},
};

const TSwitchName kActions[] = {
    {"Execute external command", &TZELSettings::executeaction},
    {"TCP/UDP send", &TZELSettings::tcpudpaction},
    {"Syslog", &TZELSettings::syslogaction},
};

const char* Bool(int v) { return v ? "1" : "0"; }

template <size_t N>
void AddSwitchLines(ZELReply& reply, const TZELSettings& s, const TSwitchName (&list)[N], const char* available,
                    const char* enabled) {
    String names;
    String marks;
    for (const auto& t : list) {
        names += t.name;
        names += "\r\n";
        marks += (s.*(t.field)) ? '1' : '0';
    }
    reply.AddStringParam((String(available) + "=" + names), true);
    reply.AddVarParams("%s=%s", enabled, marks.Data());
}

// "Name=value" for a numeric setting, by its file key.
void AddNumberLine(ZELReply& reply, const TZELSettings& s, const char* key) {
    const TZELSettingsKey* k = FindSettingsKey(key);
    reply.AddVarParams("%s=%d", k->remote, s.*(k->number));
}

}  // namespace

void AddStatusLines(ZELReply& reply, const TZELSettings& s) {
    reply.SetResult(TResultCode::Ok);
    reply.AddVarParams("%s=%s", "AgentName", AgentStatus.AgentName);
    reply.AddVarParams("%s=%s", "AgentPlatform", AgentStatus.AgentPlatform);
    reply.AddVarParams("%s=%s", "AgentVersion", AgentStatus.AgentVersion);
    reply.AddVarParams("%s=%s", "AgentDeveloper", AgentStatus.AgentDeveloper);
    reply.AddVarParams("Service=%s", Bool(AgentStatus.Service));
    reply.AddVarParams("Active=%s", Bool(AgentStatus.Active));
    reply.AddVarParams("ActiveConnections=%d", AgentStatus.ActiveConnections.load());
    reply.AddVarParams("OpenedConnections=%d", AgentStatus.OpenedConnections.load());
    reply.AddVarParams("FailedConnections=%d", AgentStatus.FailedConnections.load());
    AddSwitchLines(reply, s, kTests, "Available tests", "Enabled tests");
    AddNumberLine(reply, s, "port");
    AddNumberLine(reply, s, "timeout");
    reply.AddStringParam(String(FindSettingsKey("comment")->remote) + "=" + s.comment, false);
    AddSwitchLines(reply, s, kActions, "Available actions", "Enabled actions");
    utsname u{};
    if (uname(&u) == 0) {
        reply.AddStringParam(String("HostName=") + u.nodename, false);
        reply.AddStringParam(String("RunningOS=") + u.sysname + " " + u.release + " " + u.version, false);
        reply.AddStringParam("OSUpdates=not implemented", false);
    }
}

void GetAgentStatus(const VTRequest&, ZELReply& reply) { AddStatusLines(reply, *ZELSettings.Get()); }
