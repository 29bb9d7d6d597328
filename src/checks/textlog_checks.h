// Text log tests: new lines of growing log files.
//
// "TEST-TextLog" looks for one condition, "TEST-TextLog2" for an alarm and an
// optional reset condition. The server sends the last scan state with each
// request and gets the new one back; the agent keeps nothing between
// requests. A condition is a plain search text or a search expression
// (checks/search_expr.h). Handlers run on the session thread and share
// nothing.
#pragma once

#include "checks/line_matcher.h"
#include "protocol/handler.h"

void ProcessTest_TextLog(const VTRequest& params, ZELReply& reply);
void ProcessTest_TextLog2(const VTRequest& params, ZELReply& reply);

// Fills filter from four parameters starting at `first`: the text (with
// "%0A"/"%0D" decoded), the use-expression flag, the case-sensitive flag and
// the whole-word flag.
void DecodeFilter(const VTRequest& params, TTextLogFilter& filter, int first);

// The log file a request names: the name itself when it names a regular file
// (links followed) and its name part holds no wildcard; otherwise the first
// regular file matching the wildcard name; "" when there is none.
String ResolveLogFile(const String& mask);
