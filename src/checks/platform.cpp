#include "checks/platform.h"

namespace {

constexpr const char* kNotApplicable = "Not applicable for UNIX/Linux";

void NotApplicable(ZELReply& reply) { reply.SetResult(TResultCode::NotSupported, kNotApplicable); }

}  // namespace

void ProcessTest_DiskSpace(const VTRequest&, ZELReply& reply) { NotApplicable(reply); }
void ProcessTest_Service(const VTRequest&, ZELReply& reply) { NotApplicable(reply); }
void ProcessTest_NTLog(const VTRequest&, ZELReply& reply) { NotApplicable(reply); }
void ProcessTest_Perf(const VTRequest&, ZELReply& reply) { NotApplicable(reply); }
void ProcessInfo_ServicesList(const VTRequest&, ZELReply& reply) { NotApplicable(reply); }
void ProcessInfo_EventLogFiles(const VTRequest&, ZELReply& reply) { NotApplicable(reply); }
void ProcessInfo_EventLogSources(const VTRequest&, ZELReply& reply) { NotApplicable(reply); }

void ProcessInfo_GetDriveList(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessTest_SNMP(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessTest_Script(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessTest_Ping(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
