#include "checks/process_tests.h"

// Not built yet: each answers "500" "not implemented yet".
void ProcessTest_Process(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessTest_CPU(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessInfo_ProcessesList(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
