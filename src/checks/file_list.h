// The folder listing the server browses a host with.
#pragma once

#include "protocol/handler.h"

// "GetFilesList": the sub-folders and then the files of a folder that match
// a wildcard, as the request's flags choose them (see file_list.cpp).
void ProcessInfo_GetFileList(const VTRequest& params, ZELReply& reply);
