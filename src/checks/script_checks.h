// Script and external-program tests.
#pragma once

#include <cstdint>

#include "protocol/handler.h"

void ProcessTest_External(const VTRequest& params, ZELReply& reply);
// The script's output file holds at most kScriptOutputCap bytes: a write
// beyond it ends the writer (SIGXFSZ), the script goes on or ends as it
// will, and the output text of the reply ends with kScriptOutputCutNote.
inline constexpr int64_t kScriptOutputCap = 64LL * 1024 * 1024;
inline constexpr char kScriptOutputCutNote[] = "[output cut at 64 MiB]";
void ProcessTest_ShellScript(const VTRequest& params, ZELReply& reply);
