#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
        seen[k - kSettingsKeys] = true;
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
    for (int i = 0; i < kSettingsKeyCount; ++i) {
        const TZELSettingsKey& k = kSettingsKeys[i];
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

// A file created exclusively under a unique name "<prefix>XXXXXX" beside the
// configuration file (mode 0600 until filled); the name is removed on
// destruction unless MoveTo() gave the file its final name.
class TSiblingTemp {
public:
    TSiblingTemp() = default;
    TSiblingTemp(const TSiblingTemp&) = delete;
    TSiblingTemp& operator=(const TSiblingTemp&) = delete;
    ~TSiblingTemp() {
        if (!name_.IsEmpty()) ::unlink(name_.Data());
    }
    bool Create(const String& prefix) {
        String templ = prefix + "XXXXXX";
        fd_.Reset(::mkostemp(templ.Buffer(), O_CLOEXEC));
        if (fd_.Valid()) name_ = templ;
        return fd_.Valid();
    }
    // Writes content with the old file's owner and mode, to the disk; false
    // (and no name left) on any error.
    bool Fill(std::string_view content, const struct stat& old) {
        String ignored;  // the caller reports the failure in its own words
        bool ok = WriteAll(fd_.Get(), content, ignored);
        if (ok) CopyOwnership(fd_.Get(), old);
        ok = ok && ::fsync(fd_.Get()) == 0;
        ok = fd_.Close() && ok;
        if (!ok) Discard();
        return ok;
    }
    // Renames the file to `name` (atomically replacing it); false when that fails.
    bool MoveTo(const String& name) {
        if (::rename(name_.Data(), name.Data()) != 0) return false;
        name_ = "";
        return true;
    }
    void Discard() {
        if (!name_.IsEmpty()) ::unlink(name_.Data());
        name_ = "";
    }

private:
    TFd fd_;
    String name_;
};

constexpr int kLockWaitMs = 10000;

// Opens the configuration file and takes an exclusive advisory lock on it,
// shared with every other agent that saves the same file: a save reads,
// rewrites and replaces the file while holding it. The lock stays on the
// file that was replaced, so a save that waited checks that the name still
// leads to the file it locked, else locks the new one. st receives the
// locked file's status. 1 locked; 0 the file cannot be opened; -1 it stayed
// locked by someone else for kLockWaitMs.
int LockConfigFile(const String& path, TFd& fd, struct stat& st) {
    for (int waited = 0;;) {
        fd.Reset(::open(path.Data(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            // Where locks do not work at all, the unique names still keep
            // two saves from touching each other's files.
            if (errno != EWOULDBLOCK && errno != EINTR) return 1;
            if (waited >= kLockWaitMs) return -1;
            ::usleep(10000);
            waited += 10;
            continue;
        }
        struct stat now{};
        if (::stat(path.Data(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) return 1;
    }
}

// The file a save rewrites: the configuration file, or the file that its
// symbolic links lead to (the links stay as they are).
String SaveTarget(const String& name) {
    char* real = ::realpath(name.Data(), nullptr);
    if (real == nullptr) return name;
    String target(real);
    ::free(real);
    return target;
}

// Whether errno `e` means the system refuses for lack of rights.
bool NoRights(int e) { return e == EACCES || e == EPERM || e == EROFS; }

}  // namespace

bool CheckConfigWritable(const String& cfgfile, String& err) {
    if (cfgfile.IsEmpty()) return true;
    const String target = SaveTarget(cfgfile);
    const String folder = ExtractFilePath(target);
    const String dir = folder.IsEmpty() ? String(".") : folder.Length() > 1 ? ExcludeTrailingPathDelimiter(folder) : folder;
    const String head = String("Cannot rewrite configuration file '") + cfgfile + "': ";
    if (::faccessat(AT_FDCWD, target.Data(), R_OK, AT_EACCESS) != 0 && NoRights(errno)) {
        err = head + "cannot read " + target + " (" + ErrnoText(errno) + ")";
        return false;
    }
    if (::faccessat(AT_FDCWD, dir.Data(), W_OK | X_OK, AT_EACCESS) != 0 && NoRights(errno)) {
        err = head + "no write access to " + dir + " (" + ErrnoText(errno) + ")";
        return false;
    }
    return true;
}

bool SaveSettingsFile(TZELSettings& s, String& err) {
    err = "";
    s.DeriveComputedFields(err);
    if (s.cfgfile.IsEmpty()) {
        err = "Configuration file is not specified";
        return false;
    }
    const String& name = s.cfgfile;
    const String target = SaveTarget(name);
    TFd locked;  // held until the new file is in place
    struct stat st{};
    int lock = LockConfigFile(target, locked, st);
    std::string old;
    String ignored;
    if (lock == 0 || (lock > 0 && !ReadToEnd(locked.Get(), old, old.max_size(), ignored))) {
        err = String("Cannot open configuration file '") + name + "'";
        return false;
    }
    if (lock < 0) {
        err = String("Cannot lock configuration file '") + name + "': another program keeps it locked";
        return false;
    }
    // A fixed-name file left by an earlier version's failed save.
    ::unlink((target + ".New").Data());

    const String newName = name + ".New";
    TSiblingTemp fresh;
    if (!fresh.Create(target + ".New.")) {
        err = String("Cannot create new configuration file '") + newName + "'";
        return false;
    }
    if (!fresh.Fill(BuildConfigFile(s, old), st)) {
        err = String("Cannot write new configuration file '") + newName + "'";
        return false;
    }
    // The previous content becomes ".Old" through a copy of its own, so the
    // configuration name leads to a whole file at every moment. A copy that
    // cannot be made is skipped.
    TSiblingTemp previous;
    if (previous.Create(target + ".Old.") && previous.Fill(old, st)) (void)previous.MoveTo(target + ".Old");
    if (!fresh.MoveTo(target)) {
        err = String("Cannot overwrite configuration file '") + name + "'";
        return false;
    }
    SyncDirectoryOf(target);
    return true;
}
