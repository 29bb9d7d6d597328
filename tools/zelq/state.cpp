#include "zelq/state.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "foundation/fd.h"
#include "foundation/io.h"
#include "foundation/qdstring.h"
#include "protocol/codecs.h"
#include "protocol/packet.h"

namespace {

// Files of format 1 escaped CR and LF only, so a literal "%0A" in a logged
// line came back as a line break; format 2 also writes "%" as "%25". Both
// are read; format 2 is written.
constexpr const char* kMagic = "zelq text-log state 2";
constexpr const char* kMagicFormat1 = "zelq text-log state 1";
// Escaping triples a byte at most ("\n" as "%0A"); 64 KiB cover the fixed
// lines, the host name and the command word.
constexpr size_t kMaxStateFile =
    3 * static_cast<size_t>(kMaxRequestPacket) + 3 * kMaxStateLine + 64 * 1024;

uint64_t Fnv1a64(const std::string& s) {
    uint64_t h = 14695981039346656037ULL;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

bool ParseInt64(const std::string& s, int64_t& v) {
    if (s.empty() || s.size() > 20) return false;
    size_t i = s[0] == '-' ? 1 : 0;
    if (i == s.size()) return false;
    for (size_t k = i; k < s.size(); ++k)
        if (s[k] < '0' || s[k] > '9') return false;
    errno = 0;
    long long x = std::strtoll(s.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    v = x;
    return true;
}

// One value on one line: "%", CR and LF as "%25", "%0D" and "%0A".
std::string Escaped(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '%') out += "%25";
        else if (c == '\r') out += "%0D";
        else if (c == '\n') out += "%0A";
        else out += c;
    }
    return out;
}

std::string Unescaped(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            const std::string code = s.substr(i + 1, 2);
            const char c = code == "25" ? '%' : code == "0D" ? '\r' : code == "0A" ? '\n' : 0;
            if (c != 0) {
                out += c;
                i += 2;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

std::string UnescapedFormat1(const std::string& s) {
    return zelDecodeStrings(String(std::string_view(s))).Std();
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Removes a temporary file unless it was renamed into place.
struct TTempName {
    std::string path;
    ~TTempName() {
        if (!path.empty()) ::unlink(path.c_str());
    }
};

}  // namespace

std::string CappedStateLine(const std::string& line) {
    if (line.size() <= kMaxStateLine) return line;
    size_t cut = kMaxStateLine;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    return line.substr(0, cut);
}

size_t MaxStateFileSize() { return kMaxStateFile; }

bool DefaultStateFolder(const char* xdgCache, const char* home, std::string& folder, std::string& err) {
    if (xdgCache != nullptr && xdgCache[0] == '/') {
        folder = std::string(xdgCache) + "/zelq";
        return true;
    }
    if (home != nullptr && home[0] == '/') {
        folder = std::string(home) + "/.cache/zelq";
        return true;
    }
    err = "no folder for the text-log state: set XDG_CACHE_HOME or HOME, or give --state FILE";
    return false;
}

std::string TextLogStateKey(const std::string& host, int port, const std::string& command,
                            const std::string& paramLines) {
    return host + ":" + std::to_string(port) + "\n" + command + "\n" + paramLines;
}

std::string TextLogStateFileName(const std::string& key) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "textlog-%016llx.state", static_cast<unsigned long long>(Fnv1a64(key)));
    return buf;
}

std::string TextLogStateText(const std::string& key, const TTextLogState& state) {
    std::string t = std::string(kMagic) + "\n";
    t += "check=" + Escaped(key) + "\n";
    t += "position=" + std::to_string(state.position) + "\n";
    t += "size=" + std::to_string(state.size) + "\n";
    t += "time=" + std::to_string(state.time) + "\n";
    t += std::string("alarm=") + (state.alarm ? "1" : "0") + "\n";
    t += "line=" + Escaped(CappedStateLine(state.line)) + "\n";
    return t;
}

TStateLoad ParseTextLogState(const std::string& text, const std::string& key, TTextLogState& state) {
    TTextLogState s;
    bool magic = false, check = false, position = false, size = false, time = false;
    std::string (*unescaped)(const std::string&) = Unescaped;
    size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (first) {
            magic = line == kMagic || line == kMagicFormat1;
            if (line == kMagicFormat1) unescaped = UnescapedFormat1;
            first = false;
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string name = line.substr(0, eq), value = line.substr(eq + 1);
        if (name == "check") check = unescaped(value) == key;
        else if (name == "position") position = ParseInt64(value, s.position);
        else if (name == "size") size = ParseInt64(value, s.size);
        else if (name == "time") time = ParseInt64(value, s.time);
        else if (name == "alarm") s.alarm = value == "1";
        else if (name == "line") s.line = CappedStateLine(unescaped(value));
    }
    if (!magic || !check || !position || !size || !time) return TStateLoad::Other;
    state = s;
    return TStateLoad::Loaded;
}

TStateLoad LoadTextLogState(const std::string& path, const std::string& key, TTextLogState& state, std::string& err) {
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.Valid()) {
        if (errno == ENOENT) return TStateLoad::Missing;
        err = "cannot read the state file " + path + ": " + ErrnoText(errno).Std();
        return TStateLoad::Failed;
    }
    std::string text;
    String why;
    if (!ReadToEnd(fd.Get(), text, kMaxStateFile, why)) {
        err = "cannot read the state file " + path + ": " + why.Std();
        return TStateLoad::Failed;
    }
    if (text.size() > kMaxStateFile) return TStateLoad::Other;
    return ParseTextLogState(text, key, state);
}

bool MakeFolders(const std::string& folder, std::string& err) {
    if (folder.empty()) return true;
    struct stat st;
    if (::stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        err = folder + " is not a folder";
        return false;
    }
    const std::string parent = FolderOf(folder);
    if (parent != folder && !MakeFolders(parent, err)) return false;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        err = "cannot create the folder " + folder + ": " + ErrnoText(errno).Std();
        return false;
    }
    return true;
}

bool SaveTextLogState(const std::string& path, const std::string& key, const TTextLogState& state, std::string& err) {
    const std::string folder = FolderOf(path);
    if (!MakeFolders(folder, err)) return false;
    std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string templ = folder + "/." + base + ".XXXXXX";
    TTempName temp;
    TFd fd(::mkostemp(templ.data(), O_CLOEXEC));  // O_CREAT|O_EXCL, mode 0600
    if (!fd.Valid()) {
        err = "cannot create a file in " + folder + ": " + ErrnoText(errno).Std();
        return false;
    }
    temp.path = templ;
    const std::string text = TextLogStateText(key, state);
    if (text.size() > kMaxStateFile) {  // a later run could not read it back
        err = "the state of this check is too large to keep";
        return false;
    }
    String why;
    if (!WriteAll(fd.Get(), text, why) || ::fsync(fd.Get()) != 0) {
        err = "cannot write the state file " + templ + ": " + (why.IsEmpty() ? ErrnoText(errno).Std() : why.Std());
        return false;
    }
    if (!fd.Close()) {
        err = "cannot write the state file " + templ + ": " + ErrnoText(errno).Std();
        return false;
    }
    if (::rename(templ.c_str(), path.c_str()) != 0) {
        err = "cannot replace the state file " + path + ": " + ErrnoText(errno).Std();
        return false;
    }
    temp.path.clear();
    return true;
}
