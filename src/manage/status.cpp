#include "manage/status.h"

#include <sys/utsname.h>

#include <algorithm>
#include <vector>

TAgentStatus AgentStatus;

namespace {

// The switches that `list` of the status request shows, in its order (from
// the settings table; built once).
std::vector<const TZELSettingsKey*> ShownSwitches(TZELStatusList list) {
    std::vector<const TZELSettingsKey*> shown;
    for (const TZELSettingsKey& k : kSettingsKeys)
        if (k.statusList == list) shown.push_back(&k);
    std::sort(shown.begin(), shown.end(),
              [](const TZELSettingsKey* a, const TZELSettingsKey* b) { return a->statusOrder < b->statusOrder; });
    return shown;
}

const char* Bool(int v) { return v ? "1" : "0"; }

void AddSwitchLines(ZELReply& reply, const TZELSettings& s, const std::vector<const TZELSettingsKey*>& list,
                    const char* available, const char* enabled) {
    String names;
    String marks;
    for (const TZELSettingsKey* k : list) {
        names += k->statusLabel;
        names += "\r\n";
        marks += (s.*(k->number)) ? '1' : '0';
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
    static const std::vector<const TZELSettingsKey*> tests = ShownSwitches(TZELStatusList::Tests);
    static const std::vector<const TZELSettingsKey*> actions = ShownSwitches(TZELStatusList::Actions);
    AddSwitchLines(reply, s, tests, "Available tests", "Enabled tests");
    AddNumberLine(reply, s, "port");
    AddNumberLine(reply, s, "timeout");
    reply.AddStringParam(String(FindSettingsKey("comment")->remote) + "=" + s.comment, false);
    AddSwitchLines(reply, s, actions, "Available actions", "Enabled actions");
    utsname u{};
    if (uname(&u) == 0) {
        reply.AddStringParam(String("HostName=") + u.nodename, false);
        reply.AddStringParam(String("RunningOS=") + u.sysname + " " + u.release + " " + u.version, false);
        reply.AddStringParam("OSUpdates=not implemented", false);
    }
}

void GetAgentStatus(const VTRequest&, ZELReply& reply) { AddStatusLines(reply, *ZELSettings.Get()); }
