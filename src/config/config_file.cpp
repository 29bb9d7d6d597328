#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/settings_internal.h"
#include "foundation/io.h"

namespace {

bool IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool ParseConfigLine(std::string_view line, TConfigLine& out) {
    if (line.empty() || line[0] == '#' || line[0] == ';') return false;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;

    size_t kb = 0, ke = eq;
    while (kb < ke && IsSpaceOrTab(line[kb])) ++kb;
    while (ke > kb && IsSpaceOrTab(line[ke - 1])) --ke;
    out.key.assign(line.substr(kb, ke - kb));
    for (char& c : out.key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');

    size_t vb = eq + 1, ve = line.size();
    while (vb < ve && IsSpaceOrTab(line[vb])) ++vb;
    while (ve > vb && (IsSpaceOrTab(line[ve - 1]) || line[ve - 1] == '\r' || line[ve - 1] == '\n')) --ve;
    out.valueStart = vb;
    out.value = line.substr(vb, ve - vb);
    return true;
}

std::vector<std::string_view> SplitConfigLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

bool ReadConfigFile(const char* name, std::string& out, struct stat* st) {
    out.clear();
    // Only a regular file: a FIFO or a device named by mistake must not
    // block or feed the load.
    TFd fd(::open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.Get() < 0) return false;
    struct stat own{};
    if (st == nullptr) st = &own;
    if (::fstat(fd.Get(), st) != 0 || !S_ISREG(st->st_mode)) return false;
    String ignored;  // the callers report a failure in their own words
    return ReadToEnd(fd.Get(), out, out.max_size(), ignored);
}
