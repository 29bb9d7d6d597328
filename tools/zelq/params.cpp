#include "zelq/params.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>


#include "foundation/fd.h"
#include "foundation/io.h"
#include "protocol/client.h"
#include "protocol/codecs.h"
#include "protocol/packet.h"

namespace {

// Reads fd to its end, refusing more than limit bytes.
bool ReadAll(int fd, String& content, size_t limit, std::string& err) {
    std::string data;
    String why;
    if (!ReadToEnd(fd, data, limit, why)) {
        err = why.Std();
        return false;
    }
    if (data.size() > limit) {
        err = "too large for one request";
        return false;
    }
    content = String(std::string_view(data));
    return true;
}

}  // namespace

bool ReadParamSource(const std::string& name, int stdinFd, String& content, std::string& err) {
    std::string why;
    bool ok;
    if (name == "-") {
        ok = ReadAll(stdinFd, content, static_cast<size_t>(kMaxRequestPacket), why);
        if (!ok) err = "cannot read standard input: " + why;
        return ok;
    }
    TFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        err = "cannot read " + name + ": " + ErrnoText(errno).Std();
        return false;
    }
    ok = ReadAll(fd.Get(), content, static_cast<size_t>(kMaxRequestPacket), why);
    if (!ok) err = "cannot read " + name + ": " + why;
    return ok;
}

bool ExpandParam(const std::string& arg, bool literal, int stdinFd, String& line, std::string& err) {
    if (!literal && !arg.empty() && arg[0] == '@') {
        const std::string name = arg.substr(1);
        if (name.empty()) {
            err = "\"@\" needs a file name (or \"-\" for standard input)";
            return false;
        }
        String content;
        if (!ReadParamSource(name, stdinFd, content, err)) return false;
        line = zelEncodeStrings(content);
        return true;
    }
    if (arg.find_first_of("\r\n") != std::string::npos) {
        err = "a parameter holds a line break; put multi-line text in a file and pass it as @FILE";
        return false;
    }
    line = String(std::string_view(arg));
    return true;
}

bool BuildZelqRequest(const TZelqOptions& opts, int stdinFd, String& requestText, std::string& err) {
    TStrList lines;
    if (!ExpandZelqParams(opts, stdinFd, lines, err)) return false;
    requestText = BuildRequestText(String(std::string_view(opts.command)), lines);
    return true;
}

bool ExpandZelqParams(const TZelqOptions& opts, int stdinFd, TStrList& lines, std::string& err) {
    bool stdinUsed = false;
    for (const std::string& arg : opts.params) {
        if (!opts.literal && arg == "@-") {
            if (stdinUsed) {
                err = "standard input (@-) can be given only once";
                return false;
            }
            stdinUsed = true;
        }
        String line;
        if (!ExpandParam(arg, opts.literal, stdinFd, line, err)) return false;
        lines.Add(line);
    }
    return true;
}
