// Text log tests: new lines of growing log files.
#pragma once

#include "protocol/handler.h"

void ProcessTest_TextLog(const VTRequest& params, ZELReply& reply);
void ProcessTest_TextLog2(const VTRequest& params, ZELReply& reply);
