// Actions: run a command, send TCP or UDP data.
#pragma once

#include "protocol/handler.h"

void ProcessAct_ExternalCmd(const VTRequest& params, ZELReply& reply);
void ProcessAct_TCPSend(const VTRequest& params, ZELReply& reply);
