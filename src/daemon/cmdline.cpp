#include "daemon/cmdline.h"

#include <cstdlib>
#include <cstring>

#include "manage/status.h"

namespace {

const char kMissing[] = "Error\nInvalid or missed command line parameter";
const char kBadPort[] = "Error\nInvalid port number";

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, TCommandLine& out, std::string& error) {
    int i = 1;
    auto left = [&] {
        if (i < argc) return true;
        error = kMissing;
        return false;
    };
    auto is = [&](const char* opt) { return std::strcmp(argv[i], opt) == 0; };

    if (!left()) return false;
    if (is("-i")) {
        out.interactive = 1;
        ++i;
    } else if (is("-d")) {
        out.interactive = 0;
        ++i;
    }
    if (!left()) return false;
    if (is("-v")) {
        out.verbose = 1;
        ++i;
    }
    if (!left()) return false;
    if (is("-vd")) {
        out.verbose = 1;
        out.debugverbose = 1;
        ++i;
    }
    if (!left()) return false;
    if (is("-p")) {
        ++i;
        if (!left()) return false;
        long port = std::atol(argv[i]);
        if (port <= 0 || port > 65535) {
            error = kBadPort;
            return false;
        }
        out.port = static_cast<int>(port);
        ++i;
    }
    if (!left()) return false;
    out.cfgfile.assign(argv[i], strnlen(argv[i], 511));
    return true;
}

const char* UsageText() {
    return " Usage: zel [-d|-i] [-v|-vd] [-p <port>] <cfg_file>\n"
           "  -d        - daemon mode (default)\n"
           "  -i        - interactive mode\n"
           "  -v        - verbose mode\n"
           "  -vd       - verbose debugging mode\n"
           "  -p <port> - overrides TCP port number specified in cfg_file\n"
           "  cfg_file  - obligatory parameter, path to configuration file\n\n"
           " Examples:\n"
           "  zel -i -v -p 1055 /etc/zel/zel.cfg\n"
           "  zel -d ~/zel/zel.cfg\n\n";
}

bool IsSelfCheck(int argc, const char* const* argv) {
    return argc == 2 && std::strcmp(argv[1], SELF_CHECK_OPTION) == 0;
}

std::string SelfCheckLine() {
    return std::string(AgentStatus.AgentName) + " " + AgentStatus.AgentVersion + "\n";
}
