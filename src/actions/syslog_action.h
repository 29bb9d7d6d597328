// The syslog action.
#pragma once

#include "protocol/handler.h"

void ProcessAct_Syslog(const VTRequest& params, ZELReply& reply);
