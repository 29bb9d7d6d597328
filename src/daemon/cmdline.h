// The agent's command line: zel [-d|-i] [-v|-vd] [-p <port>] <cfg_file>,
// the options in any order before the file; or zel --help | --version |
// --self-check. Pure functions of their arguments; any thread.
#pragma once

#include <string>

struct TCommandLine {
    int interactive = 0;
    int verbose = 0;
    int debugverbose = 0;
    int port = 0;  // 0: take the port from the configuration file
    std::string cfgfile;
    bool help = false;     // --help (or -h): print the usage, nothing else
    bool version = false;  // --version: print the versions, nothing else
};

// Parses argv. The options -d, -i, -v, -vd and -p PORT come in any order
// before the file (a later -d/-i or -v/-vd wins; -vd implies -v); the
// first word that is not an option is the file, and what follows it is
// ignored. --help and --version end the parsing wherever they stand before
// the file. On success returns true; otherwise `error` holds the text that
// precedes the usage text ("Error\nInvalid ...").
bool ParseCommandLine(int argc, const char* const* argv, TCommandLine& out, std::string& error);

// The usage text printed after a command-line error and for --help.
const char* UsageText();

// `zel --self-check` (the option alone): checks the ciphers, prints the
// identity line and exits 0, without reading a configuration or opening a
// socket. A received upgrade image is run this way before it replaces the
// agent.
inline constexpr const char* kSelfCheckOption = "--self-check";

// True when the command line asks for the self-check.
bool IsSelfCheck(int argc, const char* const* argv);

// The identity line the self-check prints, with its "\n": the agent's name
// and the protocol version it reports in "GetInfo" ("QD Zelmark 1.29\n").
// An image that prints anything else speaks another protocol, or is no agent.
std::string SelfCheckLine();

// "zel VERSION (agent protocol IDENTITY)": the package's version and the
// identity GetInfo answers as AgentVersion.
std::string VersionText();
