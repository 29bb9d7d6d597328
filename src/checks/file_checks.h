// File and folder tests.
#pragma once

#include "protocol/handler.h"

void ProcessTest_FileExists(const VTRequest& params, ZELReply& reply);
void ProcessTest_FileCRC(const VTRequest& params, ZELReply& reply);
void ProcessTest_FileCompare(const VTRequest& params, ZELReply& reply);
void ProcessTest_FolderSize(const VTRequest& params, ZELReply& reply);
void ProcessTest_CountFiles(const VTRequest& params, ZELReply& reply);
void ProcessTest_UNC(const VTRequest& params, ZELReply& reply);
