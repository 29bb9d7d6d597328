// Script and external-program tests.
#pragma once

#include "protocol/handler.h"

void ProcessTest_External(const VTRequest& params, ZELReply& reply);
void ProcessTest_ShellScript(const VTRequest& params, ZELReply& reply);
