// Turning zelq's command line into the request text.
#pragma once

#include <string>

#include "foundation/qdstring.h"
#include "zelq/options.h"

// Reads the whole content of a file, or of the descriptor stdinFd when the
// name is "-". Returns false with a reason in err.
bool ReadParamSource(const std::string& name, int stdinFd, String& content, std::string& err);

// The parameter line for one argument. Unless literal, "@FILE" becomes the
// file's content escaped with zelEncodeStrings ("@-": standard input).
// A literal parameter must not contain a line break (it would split into
// several parameter lines or end the request early).
bool ExpandParam(const std::string& arg, bool literal, int stdinFd, String& line, std::string& err);

// Every parameter of opts expanded as ExpandParam does. Standard input can
// be read by one "@-" only.
bool ExpandZelqParams(const TZelqOptions& opts, int stdinFd, TStrList& lines, std::string& err);

// The whole request text: command, parameter lines, end mark. Standard
// input can be read by one "@-" only.
bool BuildZelqRequest(const TZelqOptions& opts, int stdinFd, String& requestText, std::string& err);
