// Process and CPU tests and the process list. A configured site script
// (proccntscript, cpuusagescript, proclistscript) is run for each request;
// with the setting empty the agent answers from /proc itself, with no child
// process and the same codes, value types and texts (proc_scan.h,
// cpu_sampler.h). Thread-safe.
#pragma once

#include "protocol/handler.h"

void ProcessTest_Process(const VTRequest& params, ZELReply& reply);
void ProcessTest_CPU(const VTRequest& params, ZELReply& reply);
void ProcessInfo_ProcessesList(const VTRequest& params, ZELReply& reply);
