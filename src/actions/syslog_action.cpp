#include "actions/syslog_action.h"

// Not built yet: each answers "500" "not implemented yet".
void ProcessAct_Syslog(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
