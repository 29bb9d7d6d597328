#include "checks/textlog.h"

// Not built yet: each answers "500" "not implemented yet".
void ProcessTest_TextLog(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessTest_TextLog2(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
