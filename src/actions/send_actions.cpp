#include "actions/send_actions.h"

// Not built yet: each answers "500" "not implemented yet".
void ProcessAct_ExternalCmd(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessAct_TCPSend(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
