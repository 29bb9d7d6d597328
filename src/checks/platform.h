// Requests that only make sense on another operating system, or that this
// agent does not carry out: each is answered at once with a fixed "500"
// refusal, so the server can tell "not supported here" from "failed". No
// settings are read and the parameters are not looked at.
#pragma once

#include "protocol/handler.h"

// "Not applicable for UNIX/Linux"
void ProcessTest_DiskSpace(const VTRequest& params, ZELReply& reply);
void ProcessTest_Service(const VTRequest& params, ZELReply& reply);
void ProcessTest_NTLog(const VTRequest& params, ZELReply& reply);
void ProcessTest_Perf(const VTRequest& params, ZELReply& reply);
void ProcessInfo_ServicesList(const VTRequest& params, ZELReply& reply);
void ProcessInfo_EventLogFiles(const VTRequest& params, ZELReply& reply);
void ProcessInfo_EventLogSources(const VTRequest& params, ZELReply& reply);
// "not implemented yet"
void ProcessInfo_GetDriveList(const VTRequest& params, ZELReply& reply);
void ProcessTest_SNMP(const VTRequest& params, ZELReply& reply);
void ProcessTest_Script(const VTRequest& params, ZELReply& reply);
void ProcessTest_Ping(const VTRequest& params, ZELReply& reply);
