// Running the built zelq from the tests that start real agents.
#pragma once

#include <string>
#include <vector>

#include "integration/agent_harness.h"

namespace zelqt {

inline const std::string kZelq = ZEL_BINARY_DIR "/tools/zelq";

using Args = std::vector<std::string>;

// zelq with args; ZEL_PASSWORD, XDG_CACHE_HOME and HOME are removed from
// its environment, then each "NAME=value" of env is set.
inline zelit::TRunResult Zelq(const Args& args, const Args& env = {}, int timeoutMs = 60000) {
    Args argv{"/usr/bin/env", "-u", "ZEL_PASSWORD", "-u", "XDG_CACHE_HOME", "-u", "HOME"};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(kZelq);
    argv.insert(argv.end(), args.begin(), args.end());
    return zelit::RunProgram(argv, timeoutMs);
}

// The same through /bin/sh with standard input from a file.
inline zelit::TRunResult ZelqWithInput(const Args& args, const std::string& inputFile, int timeoutMs = 60000) {
    std::string cmd = "exec /usr/bin/env -u ZEL_PASSWORD '" + kZelq + "'";
    for (const std::string& a : args) cmd += " '" + a + "'";  // the tests' arguments hold no quote
    cmd += " < '" + inputFile + "'";
    return zelit::RunProgram({"/bin/sh", "-c", cmd}, timeoutMs);
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

}  // namespace zelqt
