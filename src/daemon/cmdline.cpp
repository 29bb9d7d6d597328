#include "daemon/cmdline.h"

#include <cstdlib>
#include <cstring>

#include "manage/status.h"
#include "protocol/command_reference.h"

#ifndef ZEL_VERSION
#define ZEL_VERSION "unknown"
#endif

namespace {

const char kMissing[] = "Error\nInvalid or missed command line parameter";
const char kBadPort[] = "Error\nInvalid port number";
const char kUnknown[] = "Error\nUnknown option ";

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, TCommandLine& out, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        auto is = [&](const char* opt) { return std::strcmp(argv[i], opt) == 0; };
        if (is("--help") || is("-h")) {
            out.help = true;
            return true;
        }
        if (is("--version")) {
            out.version = true;
            return true;
        }
        if (is("-i") || is("-d")) {
            out.interactive = is("-i") ? 1 : 0;
        } else if (is("-v") || is("-vd")) {
            out.verbose = 1;
            out.debugverbose = is("-vd") ? 1 : 0;
        } else if (is("-p")) {
            if (++i >= argc) break;
            long port = std::atol(argv[i]);
            if (port <= 0 || port > 65535) {
                error = kBadPort;
                return false;
            }
            out.port = static_cast<int>(port);
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            error = kUnknown + std::string(argv[i]);
            return false;
        } else {
            out.cfgfile.assign(argv[i], strnlen(argv[i], 511));
            return true;
        }
    }
    error = kMissing;
    return false;
}

const char* UsageText() {
    return " Usage: zel [-d|-i] [-v|-vd] [-p <port>] <cfg_file>\n"
           "        zel --help | --version | --self-check\n"
           "  -d        - daemon mode (default)\n"
           "  -i        - interactive mode\n"
           "  -v        - verbose mode\n"
           "  -vd       - verbose debugging mode\n"
           "  -p <port> - overrides TCP port number specified in cfg_file\n"
           "  cfg_file  - obligatory parameter, path to configuration file\n"
           "  --help    - print this text\n"
           "  --version - print the version and the agent protocol identity\n"
           "  --self-check - alone: check the ciphers, print the agent's identity and exit\n"
           "  The options may come in any order before cfg_file.\n\n"
           " Examples:\n"
           "  zel -i -v -p 1055 /etc/zel/zel.cfg\n"
           "  zel -d ~/zel/zel.cfg\n\n";
}

bool IsSelfCheck(int argc, const char* const* argv) {
    return argc == 2 && std::strcmp(argv[1], kSelfCheckOption) == 0;
}

std::string SelfCheckLine() {
    return std::string(AgentStatus.AgentName) + " " + AgentStatus.AgentVersion + "\n";
}

std::string VersionText() {
    return std::string("zel ") + ZEL_VERSION + " (agent protocol " + kAgentProtocolVersion + ")\n";
}
