#include "checks/proc_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <unordered_map>

#include "foundation/fd.h"
#include "foundation/io.h"

namespace {

constexpr int kMaxPiece = 511;  // a list line is read in pieces of this size

// The PID entries of /proc, one pass; closes the folder when done.
class TProcDir {
public:
    TProcDir() : dir_(opendir("/proc")) {}
    ~TProcDir() {
        if (dir_) closedir(dir_);
    }
    TProcDir(const TProcDir&) = delete;
    TProcDir& operator=(const TProcDir&) = delete;

    bool Valid() const { return dir_ != nullptr; }
    int Fd() const { return dirfd(dir_); }
    // The next process id (as its folder name), false at the end.
    bool Next(const char*& pid) {
        while (dirent* e = readdir(dir_)) {
            const char* n = e->d_name;
            if (*n < '1' || *n > '9') continue;
            bool digits = true;
            for (const char* p = n; *p; ++p) digits = digits && *p >= '0' && *p <= '9';
            if (!digits) continue;
            pid = n;
            return true;
        }
        return false;
    }

private:
    DIR* dir_;
};

// Reads up to max bytes of /proc/PID/file into buf; an empty result when
// the process is gone or the file cannot be read.
void ReadProcFile(int procFd, const char* pid, const char* file, std::string& buf, size_t max) {
    buf.clear();
    char path[64];
    snprintf(path, sizeof path, "%s/%s", pid, file);
    TFd fd(openat(procFd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.Valid()) return;
    size_t have = 0;
    const size_t step = max < 4096 ? max : 4096;
    while (have < max) {
        if (buf.size() < have + step) buf.resize(have + step);
        const size_t want = have + step <= max ? step : max - have;
        const ssize_t got = read(fd.Get(), buf.data() + have, want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        have += static_cast<size_t>(got);
        // These files give all they hold to one read that has room for it:
        // a short read is the end (and saves the read that would return 0).
        if (static_cast<size_t>(got) < want) break;
    }
    buf.resize(have);
}

std::string_view BaseName(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The first line of a comm file without the blanks and tabs around it.
std::string_view CommFirstLine(std::string_view comm) {
    comm = comm.substr(0, comm.find('\n'));
    while (!comm.empty() && (comm.front() == ' ' || comm.front() == '\t')) comm.remove_prefix(1);
    while (!comm.empty() && (comm.back() == ' ' || comm.back() == '\t')) comm.remove_suffix(1);
    return comm;
}

void AppendPadded(std::string& out, std::string_view text, size_t width) {
    out.append(text);
    if (text.size() < width) out.append(width - text.size(), ' ');
}

// uid (as its decimal text) -> user name, from /etc/passwd: the first entry wins.
std::unordered_map<std::string, std::string> ReadUsers() {
    std::unordered_map<std::string, std::string> users;
    std::string text;
    TFd fd(open("/etc/passwd", O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return users;
    char chunk[16384];
    for (;;) {
        const ssize_t got = read(fd.Get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || text.size() > (64u << 20)) break;
        text.append(chunk, static_cast<size_t>(got));
    }
    std::string_view rest = text;
    while (!rest.empty()) {
        const size_t lf = rest.find('\n');
        std::string_view line = rest.substr(0, lf);
        rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
        const size_t c1 = line.find(':');
        if (c1 == std::string_view::npos) continue;
        const size_t c2 = line.find(':', c1 + 1);
        if (c2 == std::string_view::npos) continue;
        const size_t c3 = line.find(':', c2 + 1);
        const std::string_view uid = line.substr(c2 + 1, c3 == std::string_view::npos ? std::string_view::npos : c3 - c2 - 1);
        users.emplace(std::string(uid), std::string(line.substr(0, c1)));
    }
    return users;
}

// The real user id of a status file, as its decimal text; empty if none.
std::string_view RealUid(std::string_view status) {
    size_t at = status.rfind("Uid:", 0) == 0 ? 0 : status.find("\nUid:");
    if (at == std::string_view::npos) return {};
    at += status[at] == '\n' ? 5 : 4;
    while (at < status.size() && (status[at] == ' ' || status[at] == '\t')) ++at;
    size_t end = at;
    while (end < status.size() && status[end] != ' ' && status[end] != '\t' && status[end] != '\n') ++end;
    return status.substr(at, end - at);
}

// The command name from a status file's first line ("Name:\t..."), where the
// kernel writes a line feed in it as \n and a backslash as \\: the same
// bytes as the comm file, without a read of its own.
bool StatusName(std::string_view status, std::string& name) {
    name.clear();
    if (status.rfind("Name:", 0) != 0) return false;
    size_t at = 5;
    if (at < status.size() && status[at] == '\t') ++at;
    const size_t end = status.find('\n', at);
    if (end == std::string_view::npos) return false;
    for (size_t i = at; i < end; ++i) {
        if (status[i] == '\\' && i + 1 < end && (status[i + 1] == 'n' || status[i + 1] == '\\')) {
            name.push_back(status[++i] == 'n' ? '\n' : '\\');
        } else {
            name.push_back(status[i]);
        }
    }
    return true;
}

// Appends one line of the list, cut into pieces, each followed by CR LF;
// false once the byte budget is spent.
bool AddListLine(std::string_view line, std::string& list, int64_t& budget) {
    bool whole = true;
    // The reader counts the line feed that ends each line.
    if (static_cast<int64_t>(line.size()) + 1 > budget) {
        line = line.substr(0, static_cast<size_t>(budget));
        whole = false;
    }
    budget -= static_cast<int64_t>(line.size()) + (whole ? 1 : 0);
    while (!line.empty()) {
        const size_t n = line.size() < kMaxPiece ? line.size() : kMaxPiece;
        list.append(line.substr(0, n));
        list.append("\r\n");
        line.remove_prefix(n);
    }
    return whole && budget > 0;
}

// AppendEscaped; nulBlank: a NUL (the end of a command line's word) is a blank.
void AppendEscapedText(std::string_view text, std::string& out, bool nulBlank) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out.append("\\\\");
        } else if (c == 0 && nulBlank) {
            out.push_back(' ');
        } else if (c < 0x20 || c == 0x7f) {
            const char esc[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
            out.append(esc, 4);
        } else {
            out.push_back(ch);
        }
    }
}

}  // namespace

bool CommMatches(std::string_view comm, std::string_view name) {
    comm = CommFirstLine(comm);
    if (name.size() <= kCommLength) return comm == name;
    return comm == name.substr(0, kCommLength);
}

bool CommandLineMatches(std::string_view args, std::string_view name) {
    std::string_view word[3];
    for (std::string_view& w : word) {
        const size_t end = args.find('\0');
        if (end == std::string_view::npos) break;  // missing or cut: no word
        w = args.substr(0, end);
        args.remove_prefix(end + 1);
    }
    if (!word[0].empty() && BaseName(word[0]) == name) return true;
    if (word[1].empty()) return false;
    if (BaseName(word[1]) == name) return true;
    return word[1].front() == '-' && !word[2].empty() && BaseName(word[2]) == name;
}

bool CountProcesses(std::string_view name, int& count, String& err) {
    count = 0;
    TProcDir dir;
    if (!dir.Valid()) {
        err = String("cannot read /proc: ") + ErrnoText(errno);
        return false;
    }
    const bool longName = name.size() > kCommLength;
    std::string comm, args;
    comm.reserve(64);
    const char* pid = nullptr;
    while (dir.Next(pid)) {
        ReadProcFile(dir.Fd(), pid, "comm", comm, 256);
        if (comm.empty() || !CommMatches(comm, name)) continue;
        if (longName) {
            // Three words of at most a path's length each.
            ReadProcFile(dir.Fd(), pid, "cmdline", args, 3 * 4096 + 3);
            if (!CommandLineMatches(args, name)) continue;
        }
        ++count;
    }
    return true;
}

void AppendEscaped(std::string_view text, std::string& out) { AppendEscapedText(text, out, false); }

std::string ProcessLine(std::string_view pid, std::string_view user, std::string_view comm,
                        std::string_view cmdline) {
    std::string line, name;
    AppendEscaped(comm, name);
    AppendPadded(line, pid, 7);
    line.push_back(' ');
    AppendPadded(line, user, 12);
    line.push_back(' ');
    AppendPadded(line, name, 15);
    line.push_back(' ');
    if (!cmdline.empty() && cmdline.back() == '\0') cmdline.remove_suffix(1);
    if (cmdline.empty()) {
        line.push_back('[');
        line.append(name);
        line.push_back(']');
    } else {
        AppendEscapedText(cmdline, line, true);
    }
    return line;
}

bool ListProcesses(String& list, String& err, int64_t maxBytes) {
    TProcDir dir;
    if (!dir.Valid()) {
        err = String("cannot read /proc: ") + ErrnoText(errno);
        return false;
    }
    const auto users = ReadUsers();
    std::string out, comm, status, args;
    int64_t budget = maxBytes;
    char header[80];
    snprintf(header, sizeof header, "%-7s %-12s %-15s %s", "PID", "USER", "NAME", "COMMAND");
    bool room = AddListLine(header, out, budget);
    const char* pid = nullptr;
    while (room && dir.Next(pid)) {
        // The status file holds both the command name and the user.
        ReadProcFile(dir.Fd(), pid, "status", status, 8192);
        if (!StatusName(status, comm)) continue;
        const std::string_view uid = RealUid(status);
        if (uid.empty()) continue;
        // Never more of the command line than the list can still take.
        ReadProcFile(dir.Fd(), pid, "cmdline", args, static_cast<size_t>(budget) + 1);
        const auto user = users.find(std::string(uid));
        room = AddListLine(ProcessLine(pid, user == users.end() ? uid : std::string_view(user->second), comm, args),
                           out, budget);
    }
    list = String(std::string_view(out));
    return true;
}
