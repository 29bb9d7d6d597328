#include "daemon/dispatcher.h"

#include <cstring>

#include "config/management.h"
#include "config/settings.h"
#include "daemon/addrfilter.h"
#include "daemon/flags.h"
#include "daemon/messages.h"

namespace {

enum class TGate { None, Manage, Upgrade };

struct TCommand {
    const char* word;
    THandler handler;
    TGate gate;
};

void ReloadConfiguration(const VTRequest&, ZELReply& reply) {
    String err;
    if (ZELSettings.LoadOptions(err)) {
        reply.SetResult("200");
        reply += "Ok";
    } else {
        reply.SetResult("300");
        reply += err;
    }
}

void RequestStop(const VTRequest&, ZELReply& reply) {
    reply.SetResult("200");
    reply += "Ok";
    ZELFlags.Terminate = 1;
}

void RequestRestart(const VTRequest&, ZELReply& reply) {
    reply.SetResult("200");
    reply += "Ok";
    ZELFlags.Reload = 1;
}

// To add a command: one line here, one handler in its subsystem.
const TCommand kCommands[] = {
    {"TEST-UNC", ProcessNotImplemented, TGate::None},
    {"TEST-DiskSpace", ProcessNotImplemented, TGate::None},
    {"TEST-FolderSize", ProcessNotImplemented, TGate::None},
    {"TEST-FileExists", ProcessNotImplemented, TGate::None},
    {"TEST-FileCompare", ProcessNotImplemented, TGate::None},
    {"TEST-FileCRC", ProcessNotImplemented, TGate::None},
    {"TEST-CountFiles", ProcessNotImplemented, TGate::None},
    {"TEST-Process", ProcessNotImplemented, TGate::None},
    {"TEST-Service", ProcessNotImplemented, TGate::None},
    {"TEST-NTLog", ProcessNotImplemented, TGate::None},
    {"TEST-CPU", ProcessNotImplemented, TGate::None},
    {"TEST-PerfCounter", ProcessNotImplemented, TGate::None},
    {"TEST-Script", ProcessNotImplemented, TGate::None},
    {"TEST-SNMP", ProcessNotImplemented, TGate::None},
    {"TEST-ExternalPrg", ProcessNotImplemented, TGate::None},
    {"TEST-Ping", ProcessNotImplemented, TGate::None},
    {"TEST-TCP", ProcessNotImplemented, TGate::None},
    {"TEST-UDP", ProcessNotImplemented, TGate::None},
    {"TEST-TextLog", ProcessNotImplemented, TGate::None},
    {"TEST-TextLog2", ProcessNotImplemented, TGate::None},
    {"TEST-ShellScript", ProcessNotImplemented, TGate::None},
    {"ACT-ExternalCmd", ProcessNotImplemented, TGate::None},
    {"ACT-TCPUDPsend", ProcessNotImplemented, TGate::None},
    {"ACT-Syslog", ProcessNotImplemented, TGate::None},
    {"GetProcessesList", ProcessNotImplemented, TGate::None},
    {"GetServicesList", ProcessNotImplemented, TGate::None},
    {"GetEventLogFiles", ProcessNotImplemented, TGate::None},
    {"GetEventLogSources", ProcessNotImplemented, TGate::None},
    {"GetDriveList", ProcessNotImplemented, TGate::None},
    {"GetFilesList", ProcessNotImplemented, TGate::None},
    {"GetInfo", GetAgentStatus, TGate::None},
    {"GetSettings", GetAgentSettings, TGate::Manage},
    {"SetSettings", SetAgentSettings, TGate::Manage},
    {"ReloadCfg", ReloadConfiguration, TGate::Manage},
    {"ReloadApp", RequestRestart, TGate::Manage},
    {"QUIT", RequestStop, TGate::Manage},
    {"UpgradeCode", ProcessNotImplemented, TGate::Upgrade},
};

const TCommand* FindCommand(const String& word) {
    for (const auto& c : kCommands)
        if (word == c.word) return &c;
    return nullptr;
}

bool GateOpen(TGate gate, in_addr client) {
    if (gate == TGate::None) return true;
    auto s = ZELSettings.Get();
    String error;
    if (gate == TGate::Manage) return s->allowmanage && IPAllowed(client.s_addr, s->manageaddr, error);
    return s->allowupdates && IPAllowed(client.s_addr, s->updateaddr, error);
}

}  // namespace

void ProcessNotImplemented(const VTRequest&, ZELReply& reply) {
    reply.SetResult("500");
    reply += "not implemented yet";
}

int ProcessVTRequest(VTRequest& request, ZELReply& reply, TZELFlags&, ThreadParams params) {
    if (request.Pos('\r') == 0) {
        showmessage("EndOfTransmission signal missed\n", params.Address, MSG_ERROR, 0);
        reply.SetResult("502");
        reply += "EndOfTransmission signal missed";
        return 0;
    }
    String word;
    VTRequest parameters;
    int lf = request.Pos('\n');
    if (lf > 0) {
        word = request.Copy(1, lf - 1);
        parameters = request.Copy(lf + 1, request.Length());
    } else {
        word = request;
    }
    word.Trim();
    if (word.IsEmpty()) {
        showmessage("Void request received\n", params.Address, MSG_ERROR, 0);
        reply.SetResult("500");
        reply += "Void request received";
        return 0;
    }
    const TCommand* command = FindCommand(word);
    if (command == nullptr) {
        showmessage("Unknown command \"%s\"\n", params.Address, MSG_ERROR, 1, word.Data());
        reply.SetResult("500");
        reply += String("Unknown command \"") + word + "\"";
        return 0;
    }
    if (!GateOpen(command->gate, params.Address)) {
        reply.SetResult("600");
        reply += "Operation is not allowed";
        return 1;
    }
    command->handler(parameters, reply);
    return 1;
}
