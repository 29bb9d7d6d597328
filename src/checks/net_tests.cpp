#include "checks/net_tests.h"

// Not built yet: each answers "500" "not implemented yet".
void ProcessTest_TCP(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessTest_UDP(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
