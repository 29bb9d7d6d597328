#include "daemon/commands.h"

#include "actions/command_action.h"
#include "actions/send_actions.h"
#include "actions/syslog_action.h"
#include "checks/file_checks.h"
#include "checks/file_list.h"
#include "checks/net_checks.h"
#include "checks/platform.h"
#include "checks/process_checks.h"
#include "checks/script_checks.h"
#include "checks/textlog_checks.h"
#include "config/addrfilter.h"
#include "daemon/flags.h"
#include "manage/remote_settings.h"
#include "manage/status.h"

namespace {

using S = TZELSettings;

constexpr TGate kOpen{};
constexpr TGate kManage{TGateKind::Manage};
constexpr TGate kUpgrade{TGateKind::Upgrade};
constexpr TGate Test(int S::*sw) { return {TGateKind::Test, sw, nullptr}; }
constexpr TGate Action(int S::*sw) { return {TGateKind::Action, sw, nullptr}; }

// Browsing folders is open while any of the file and log tests is on
// (free space and the share test do not open it).
bool AnyFileTest(const S& s) {
    return s.foldersize || s.countfiles || s.fileexists || s.filecrc || s.comparefiles || s.textlog;
}

void RequestStop(const VTRequest&, ZELReply& reply) {
    reply.SetResult(TResultCode::Ok, "Ok");
    ZELFlags.Terminate = 1;
}

void RequestRestart(const VTRequest&, ZELReply& reply) {
    reply.SetResult(TResultCode::Ok, "Ok");
    ZELFlags.Reload = 1;
}

}  // namespace

// To add a command: one line here, one handler in its subsystem.
const TCommand kCommandTable[] = {
    {"TEST-UNC", ProcessTest_UNC, Test(&S::unc)},
    {"TEST-DiskSpace", ProcessTest_DiskSpace, kOpen},
    {"TEST-FolderSize", ProcessTest_FolderSize, Test(&S::foldersize)},
    {"TEST-FileExists", ProcessTest_FileExists, Test(&S::fileexists)},
    {"TEST-FileCompare", ProcessTest_FileCompare, Test(&S::comparefiles)},
    {"TEST-FileCRC", ProcessTest_FileCRC, Test(&S::filecrc)},
    {"TEST-CountFiles", ProcessTest_CountFiles, Test(&S::countfiles)},
    {"TEST-Process", ProcessTest_Process, Test(&S::process)},
    {"TEST-Service", ProcessTest_Service, kOpen},
    {"TEST-NTLog", ProcessTest_NTLog, kOpen},
    {"TEST-CPU", ProcessTest_CPU, Test(&S::cpuusage)},
    {"TEST-PerfCounter", ProcessTest_Perf, kOpen},
    {"TEST-Script", ProcessTest_Script, kOpen},
    {"TEST-SNMP", ProcessTest_SNMP, kOpen},
    {"TEST-ExternalPrg", ProcessTest_External, Test(&S::external)},
    {"TEST-Ping", ProcessTest_Ping, kOpen},
    {"TEST-TCP", ProcessTest_TCP, Test(&S::tcp)},
    {"TEST-UDP", ProcessTest_UDP, Test(&S::udp)},
    {"TEST-TextLog", ProcessTest_TextLog, Test(&S::textlog)},
    {"TEST-TextLog2", ProcessTest_TextLog2, Test(&S::textlog)},
    {"TEST-ShellScript", ProcessTest_ShellScript, Test(&S::shellscript)},
    {"ACT-ExternalCmd", ProcessAct_ExternalCmd, Action(&S::executeaction)},
    {"ACT-TCPUDPsend", ProcessAct_TCPSend, Action(&S::tcpudpaction)},
    {"ACT-Syslog", ProcessAct_Syslog, Action(&S::syslogaction)},
    {"GetProcessesList", ProcessInfo_ProcessesList, Test(&S::process)},
    {"GetServicesList", ProcessInfo_ServicesList, kOpen},
    {"GetEventLogFiles", ProcessInfo_EventLogFiles, kOpen},
    {"GetEventLogSources", ProcessInfo_EventLogSources, kOpen},
    {"GetDriveList", ProcessInfo_GetDriveList, kOpen},
    {"GetFilesList", ProcessInfo_GetFileList, {TGateKind::AnyTest, nullptr, AnyFileTest}},
    {"GetInfo", GetAgentStatus, kOpen},
    {"GetSettings", GetAgentSettings, kManage},
    {"SetSettings", SetAgentSettings, kManage},
    {"ReloadCfg", ReloadAgentSettings, kManage},
    {"ReloadApp", RequestRestart, kManage},
    {"QUIT", RequestStop, kManage},
    {"UpgradeCode", nullptr, kUpgrade},
};

const int kCommandCount = static_cast<int>(sizeof(kCommandTable) / sizeof(kCommandTable[0]));

const TCommand* FindCommand(const String& word) {
    for (const TCommand& c : kCommandTable)
        if (word == c.word) return &c;
    return nullptr;
}

const char* GateRefusal(const TGate& gate, const TZELSettings& s, const TNetAddress& client) {
    String error;
    switch (gate.kind) {
    case TGateKind::Open: return nullptr;
    case TGateKind::Test: return s.*(gate.sw) ? nullptr : "test is not allowed";
    case TGateKind::AnyTest: return gate.allows(s) ? nullptr : "test is not allowed";
    case TGateKind::Action: return s.*(gate.sw) ? nullptr : "operation is not allowed";
    case TGateKind::Manage:
        return s.allowmanage && IPAllowed(client, s.manageaddr, error) ? nullptr : "Operation is not allowed";
    case TGateKind::Upgrade:
        return s.allowupdates && IPAllowed(client, s.updateaddr, error) ? nullptr : "Operation is not allowed";
    }
    return "Operation is not allowed";
}
