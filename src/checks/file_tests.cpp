#include "checks/file_tests.h"

// Not built yet: each answers "500" "not implemented yet".
void ProcessTest_FileExists(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessTest_FileCRC(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessTest_FileCompare(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessTest_FolderSize(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessTest_CountFiles(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessTest_UNC(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
void ProcessInfo_GetFileList(const VTRequest& params, ZELReply& reply) { ProcessNotImplemented(params, reply); }
