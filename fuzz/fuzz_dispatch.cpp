// Request texts through the real dispatcher and every handler, as a session
// runs them after deciphering: the command word, its parameters and the end
// mark. The agent's settings are a test agent's with its configuration file
// and temporary folder in a scratch folder, which is also the working
// directory. The tests and actions that start programs or talk to the
// network are switched off (their gate answers "600"); so nothing leaves
// the process but file reads under the scratch folder and the rewrite of its
// configuration file. Parameter lines that start with '/' and every ".."
// are altered so that file tests stay inside the scratch folder.
#include <arpa/inet.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/settings.h"
#include "daemon/dispatcher.h"
#include "daemon/flags.h"
#include "daemon/upgrade.h"

namespace {

namespace fs = std::filesystem;

std::string g_dir, g_cfg, g_cfgText;
TZELSettings* g_baseline = nullptr;

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RemoveScratch() {
    std::error_code ec;
    if (!g_dir.empty()) fs::remove_all(g_dir, ec);
}

// Keeps the file tests and the folder listing inside the working directory.
void Confine(std::string& text) {
    for (size_t at = 0; (at = text.find("..", at)) != std::string::npos;) text[at + 1] = '_';
    bool lineStart = true;
    for (char& c : text) {
        if (c == '\n') {
            lineStart = true;
        } else if (lineStart && static_cast<unsigned char>(c) > 0x20) {
            if (c == '/') c = '_';
            lineStart = false;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where possible: a settings change syncs its file twice.
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/zel-fuzz-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) abort();
    g_dir = templ;
    atexit(RemoveScratch);
    fs::create_directories(g_dir + "/tmp");
    fs::create_directories(g_dir + "/logs/old");
    WriteFile(g_dir + "/zel", "#!/bin/sh\n");
    WriteFile(g_dir + "/a.txt", "alpha\nbeta\n");
    WriteFile(g_dir + "/b.txt", "alpha\nbeta\n");
    std::string log;
    for (int i = 0; i < 50; ++i) log += "line " + std::to_string(i) + (i % 7 ? " ok\n" : " error: fail\n");
    WriteFile(g_dir + "/logs/app.log", log);
    WriteFile(g_dir + "/logs/old/app.1", "error\n");
    if (chdir(g_dir.c_str()) != 0) abort();
    setenv("TMPDIR", (g_dir + "/tmp").c_str(), 1);

    g_cfg = g_dir + "/zel.cfg";
    g_cfgText = "port=5050\npassword=fuzz\nzelpath=" + g_dir + "/zel\ntmpdir=" + g_dir + "/tmp\n" +
                "external=0\nshellscript=0\nprocess=0\ncpuusage=0\ntcp=0\nudp=0\n"
                "executeaction=0\ntcpudpaction=0\nsyslogaction=0\nlogfails=0\nlogsuccess=0\n";
    WriteFile(g_cfg, g_cfgText);
    ZELSettings.Modify([](TZELSettings& s) { s.cfgfile = g_cfg.c_str(); });
    String err;
    if (!ZELSettings.LoadOptions(err)) abort();
    g_baseline = new TZELSettings(*ZELSettings.Get());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    Confine(text);
    VTRequest request;
    request = String(text);
    ZELReply reply;
    ThreadParams params;
    params.Address = TNetAddress::FromV4HostOrder(INADDR_LOOPBACK);
    {
        UpgradeRec upgrade;  // a transfer that a request starts ends here
        ProcessVTRequest(request, reply, ZELFlags, params, upgrade);
    }
    // Exactly one result line.
    if (reply.IsEmpty() || reply.ResultCode().Length() != 3) abort();

    // The next input starts from the same agent.
    ZELFlags.Terminate = 0;
    ZELFlags.Reload = 0;
    ZELSettings.Modify([](TZELSettings& s) { s = *g_baseline; });
    if (ReadFile(g_cfg) != g_cfgText) WriteFile(g_cfg, g_cfgText);
    return 0;
}
