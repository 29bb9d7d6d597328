// The agent's command line: zel [-d|-i] [-v|-vd] [-p <port>] <cfg_file>
// Pure functions of their arguments; any thread.
#pragma once

#include <string>

struct TCommandLine {
    int interactive = 0;
    int verbose = 0;
    int debugverbose = 0;
    int port = 0;  // 0: take the port from the configuration file
    std::string cfgfile;
};

// Parses argv. On success returns true; otherwise `error` holds the text
// that precedes the usage text ("Error\nInvalid ...").
bool ParseCommandLine(int argc, const char* const* argv, TCommandLine& out, std::string& error);

// The usage text printed after a command-line error.
const char* UsageText();
