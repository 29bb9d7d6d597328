#include "config/management.h"

#include <sys/utsname.h>

#include <cstring>

#include "config/settings.h"
#include "protocol/codecs.h"

TAgentStatus AgentStatus;

namespace {

struct TSwitchName {
    const char* name;
    int TZELSettings::*field;
};

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

// The other flags the server may change by name (the test and action
// switches are found by their remote name in ZELSwitches).
const TSwitchName kRemoteFlags[] = {
    {"IPFiltering", &TZELSettings::filteractive}, {"AllowUpdates", &TZELSettings::allowupdates},
    {"AllowRManage", &TZELSettings::allowmanage}, {"LogOkConn", &TZELSettings::logsuccess},
    {"LogBadConn", &TZELSettings::logfails},
};

struct TTextName {
    const char* name;
    String TZELSettings::*field;
};

const TTextName kRemoteTexts[] = {
    {"Comment", &TZELSettings::comment},       {"Password", &TZELSettings::password},
    {"OkLogFile", &TZELSettings::oklogfile},   {"BadLogFile", &TZELSettings::badlogfile},
    {"IPFilterMarks", &TZELSettings::filtermarks}, {"UpdateAddr", &TZELSettings::updateaddr},
    {"ManageAddr", &TZELSettings::manageaddr},
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

void AddStatusLines(ZELReply& reply, const TZELSettings& s) {
    reply.SetResult("200");
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
    reply.AddVarParams("%s=%d", "Port", s.port);
    reply.AddVarParams("%s=%d", "Timeout", s.timeout);
    reply.AddStringParam(String("Comment=") + s.comment, false);
    AddSwitchLines(reply, s, kActions, "Available actions", "Enabled actions");
    utsname u{};
    if (uname(&u) == 0) {
        reply.AddStringParam(String("HostName=") + u.nodename, false);
        reply.AddStringParam(String("RunningOS=") + u.sysname + " " + u.release + " " + u.version, false);
        reply.AddStringParam("OSUpdates=not implemented", false);
    }
}

}  // namespace

void GetAgentStatus(const VTRequest&, ZELReply& reply) { AddStatusLines(reply, *ZELSettings.Get()); }

void GetAgentSettings(const VTRequest&, ZELReply& reply) {
    auto s = ZELSettings.Get();
    AddStatusLines(reply, *s);
    reply.AddStringParam(String("LogOkConn=") + Bool(s->logsuccess), false);
    reply.AddStringParam(String("LogBadConn=") + Bool(s->logfails), false);
    reply.AddStringParam(String("OkLogFile=") + s->oklogfile, false);
    reply.AddStringParam(String("BadLogFile=") + s->badlogfile, false);
    reply.AddStringParam(String("Password=") + s->password, false);
    reply.AddStringParam(String("IPFiltering=") + Bool(s->filteractive), false);
    reply.AddStringParam(String("IPFilterAddr=") + s->filterlist, true);
    reply.AddStringParam(String("IPFilterMarks=") + s->filtermarks, false);
    reply.AddStringParam(String("AllowUpdates=") + Bool(s->allowupdates), false);
    reply.AddStringParam(String("AllowRManage=") + Bool(s->allowmanage), false);
    reply.AddStringParam(String("UpdateAddr=") + s->updateaddr, false);
    reply.AddStringParam(String("ManageAddr=") + s->manageaddr, false);
}

void SetAgentSettings(const VTRequest& req, ZELReply& reply) {
    auto apply = [&req](TZELSettings& s) {
        int count = req.GetParamsCount();
        for (int i = 1; i <= count; ++i) {
            String line = req.GetParam(i, true);
            int eq = line.Pos('=');
            if (eq == 0) continue;
            String name = line.Copy(1, eq - 1);
            String value = line.Copy(eq + 1, line.Length());
            name.Trim();
            value.Trim();
            if (name == "Port") {
                s.port = zelDecodeInt(value);
            } else if (name == "Timeout") {
                s.timeout = zelDecodeInt(value);
            } else if (name == "IPFilterAddr") {
                s.filterlist = zelDecodeStrings(value);
            } else {
                for (const auto& t : kRemoteTexts)
                    if (name == t.name) s.*(t.field) = value;
                for (const auto& f : kRemoteFlags)
                    if (name == f.name) s.*(f.field) = zelDecodeBool(value) ? 1 : 0;
                for (const auto& w : ZELSwitches)
                    if (w.remoteName != nullptr && name == w.remoteName) s.*(w.field) = zelDecodeBool(value) ? 1 : 0;
            }
        }
    };
    String err;
    if (ZELSettings.ModifyAndSave(apply, err)) {
        reply.SetResult("200");
    } else {
        reply.SetResult("300");
        reply += err;
    }
}
