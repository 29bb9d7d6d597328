// TCP and UDP tests.
#pragma once

#include "protocol/handler.h"

void ProcessTest_TCP(const VTRequest& params, ZELReply& reply);
void ProcessTest_UDP(const VTRequest& params, ZELReply& reply);
