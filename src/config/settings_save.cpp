#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config/settings_internal.h"
#include "foundation/fileutils.h"
#include "foundation/io.h"

namespace {

// A value as one line of the file. Line ends inside a value would split it
// into lines of their own (and could forge other keys), so they become
// spaces; the filter list's CR LF separators become single spaces.
std::string ValueForFile(const TZELSettings& s, const TZELSettingsKey& k) {
    if (k.type == TZELKeyType::Integer) return std::to_string(s.*k.number);
    if (k.type == TZELKeyType::Flag) return s.*k.number ? "1" : "0";
    String text = s.*k.text;
    if (k.type == TZELKeyType::FilterList) text = text.ReplaceAll("\r\n", " ", 1);
    std::string out = text.Std();
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

void EndLine(std::string& out) {
    if (out.empty() || out.back() != '\n') out += "\r\n";
}

}  // namespace

std::string BuildConfigFile(const TZELSettings& s, std::string_view old) {
    std::string out;
    out.reserve(old.size() + 1024);
    bool seen[64] = {};
    TConfigLine parsed;
    for (std::string_view line : SplitConfigLines(old)) {
        const TZELSettingsKey* k = nullptr;
        if (ParseConfigLine(line, parsed)) k = FindSettingsKey(parsed.key);
        if (k == nullptr || !k->saved) {
            out.append(line);
            EndLine(out);
            continue;
        }
        seen[k - ZELSettingsKeys] = true;
        if (k->type == TZELKeyType::Flag) {
            // Only the first value character changes; the rest stays.
            std::string l(line);
            char c = s.*k->number ? '1' : '0';
            if (parsed.value.empty()) l.insert(parsed.valueStart, 1, c);
            else l[parsed.valueStart] = c;
            out += l;
        } else {
            out.append(line.substr(0, parsed.valueStart));
            out += ValueForFile(s, *k);
            out += "\r\n";
        }
        EndLine(out);
    }
    for (int i = 0; i < ZELSettingsKeyCount; ++i) {
        const TZELSettingsKey& k = ZELSettingsKeys[i];
        if (!k.saved || seen[i]) continue;
        out += k.key;
        out += '=';
        out += ValueForFile(s, k);
        out += "\r\n";
    }
    return out;
}

namespace {

// Gives the new file the owner, group and mode of the one it replaces. When
// the owner cannot be kept, the group is tried alone; when the group cannot
// be kept either, the file stays private to its owner rather than opening
// it to a group that never had access.
void CopyOwnership(int fd, const struct stat& old) {
    mode_t mode = old.st_mode & 07777;
    struct stat now{};
    if (::fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)) {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0 && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0)
            mode &= ~static_cast<mode_t>(077);
    }
    (void)::fchmod(fd, mode);
}

void SyncDirectoryOf(const String& name) {
    String dir = ExtractFilePath(name);
    if (dir.IsEmpty()) dir = ".";
    TFd fd(::open(dir.Data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() >= 0) (void)::fsync(fd.Get());
}

// Writes content to a new file `name`; false (and no file left) on any error.
// 'created' reports whether the file could be made at all.
bool WriteNewFile(const String& name, std::string_view content, const struct stat& old, bool& created) {
    ::unlink(name.Data());  // a stale file from an earlier failed save
    TFd fd(::open(name.Data(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    created = fd.Get() >= 0;
    if (!created) return false;
    String ignored;  // the caller reports the failure in its own words
    bool ok = WriteAll(fd.Get(), content, ignored);
    if (ok) CopyOwnership(fd.Get(), old);
    ok = ok && ::fsync(fd.Get()) == 0;
    ok = fd.Close() && ok;
    if (!ok) ::unlink(name.Data());
    return ok;
}

}  // namespace

int SaveSettingsFile(TZELSettings& s, String& err) {
    err = "";
    s.PutRight(err);
    if (s.cfgfile.IsEmpty()) {
        err = "Configuration file is not specified";
        return 0;
    }
    const String& name = s.cfgfile;
    std::string old;
    struct stat st{};
    if (!ReadConfigFile(name.Data(), old, &st)) {
        err = String("Cannot open configuration file '") + name + "'";
        return 0;
    }
    String newName = name + ".New";
    bool created = false;
    if (!WriteNewFile(newName, BuildConfigFile(s, old), st, created)) {
        err = String(created ? "Cannot write new configuration file '" : "Cannot create new configuration file '") +
              newName + "'";
        return 0;
    }

    // The previous file stays as ".Old". A hard link keeps the configuration
    // name present at every moment; the rename below replaces it atomically.
    String oldName = name + ".Old";
    ::unlink(oldName.Data());
    bool moved = false;
    if (::link(name.Data(), oldName.Data()) != 0) moved = ::rename(name.Data(), oldName.Data()) == 0;
    if (::rename(newName.Data(), name.Data()) != 0) {
        if (moved) (void)::rename(oldName.Data(), name.Data());
        ::unlink(newName.Data());
        err = String("Cannot overwrite configuration file '") + name + "'";
        return 0;
    }
    SyncDirectoryOf(name);
    return 1;
}
