// Process and CPU tests and the process list, through the site scripts.
#pragma once

#include "protocol/handler.h"

void ProcessTest_Process(const VTRequest& params, ZELReply& reply);
void ProcessTest_CPU(const VTRequest& params, ZELReply& reply);
void ProcessInfo_ProcessesList(const VTRequest& params, ZELReply& reply);
