#include "checks/script_tests.h"

// Not built yet: each answers "500" "not implemented yet".
void ProcessTest_External(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessTest_ShellScript(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
