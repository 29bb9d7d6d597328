// The send action: TCP or UDP data sent to a host on the server's behalf.
#pragma once

#include "protocol/handler.h"

// "ACT-TCPUDPsend": sends one or two pieces of data to a host over TCP or
// UDP (see send_actions.cpp for the parameters).
void ProcessAct_TCPSend(const VTRequest& params, ZELReply& reply);
