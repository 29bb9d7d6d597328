// Directory search with shell wildcards and attribute bits.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "foundation/fileutils.h"
#include "foundation/io.h"

// Attribute bits of one entry, seen without following a symbolic link.
int FileAttributes(int dirFd, const char* name, const struct stat& st) {
    int attr = 0;
    if (faccessat(dirFd, name, W_OK, 0) != 0) attr |= kAttrReadOnly;
    if (name[0] == '.' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
        attr |= kAttrHidden;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) attr |= kAttrSysFile;
    if (S_ISDIR(st.st_mode)) attr |= kAttrDirectory;
    if (S_ISLNK(st.st_mode)) attr |= kAttrSymLink;
    return attr;
}

namespace {

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// True when the entry's type as the directory reports it (d_type) already
// carries an excluded attribute, so it need not be examined. DT_UNKNOWN
// decides nothing.
bool ExcludedByType(unsigned char type, int exclude) {
    switch (type) {
        case DT_UNKNOWN: return false;
        case DT_LNK: return true;  // kAttrSymLink is never admitted
        case DT_DIR: return (exclude & kAttrDirectory) != 0;
        case DT_REG: return false;
        default: return (exclude & kAttrSysFile) != 0;
    }
}

// Reads entries until one qualifies: true found (rec filled), false otherwise.
bool FindMatch(TSearchRec& rec) {
    if (rec.FindHandle == nullptr) return false;
    const int dirFd = dirfd(rec.FindHandle);
    for (;;) {
        errno = 0;
        const struct dirent* e = readdir(rec.FindHandle);
        if (e == nullptr) return false;  // end of directory or read error
        const char* name = e->d_name;
        if (fnmatch(rec.Pattern.Data(), name, 0) != 0) continue;
        if (ExcludedByType(e->d_type, rec.ExcludeAttr)) continue;
        if ((rec.ExcludeAttr & kAttrHidden) != 0 && name[0] == '.' && !IsDotOrDotDot(name)) continue;
        struct stat st;
        if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished
        const int attr = FileAttributes(dirFd, name, st);
        if ((attr & rec.ExcludeAttr) != 0) continue;
        rec.Time = static_cast<int64_t>(st.st_mtime);
        rec.CTime = static_cast<int64_t>(st.st_ctime);
        rec.Size = static_cast<int64_t>(st.st_size);
        rec.Attr = attr;
        rec.Mode = static_cast<unsigned int>(st.st_mode);
        const size_t n = strnlen(name, sizeof(rec.Name) - 1);
        std::memcpy(rec.Name, name, n);
        rec.Name[n] = '\0';
        return true;
    }
}

}  // namespace

TSearchRec::TSearchRec(TSearchRec&& o) noexcept
    : Time(o.Time), CTime(o.CTime), Size(o.Size), Attr(o.Attr), Mode(o.Mode),
      FindHandle(std::exchange(o.FindHandle, nullptr)), ExcludeAttr(o.ExcludeAttr),
      PathOnly(std::move(o.PathOnly)), Pattern(std::move(o.Pattern)) {
    std::memcpy(Name, o.Name, sizeof(Name));
}

TSearchRec& TSearchRec::operator=(TSearchRec&& o) noexcept {
    if (this != &o) {
        FindClose(*this);
        Time = o.Time;
        CTime = o.CTime;
        Size = o.Size;
        Attr = o.Attr;
        std::memcpy(Name, o.Name, sizeof(Name));
        Mode = o.Mode;
        FindHandle = std::exchange(o.FindHandle, nullptr);
        ExcludeAttr = o.ExcludeAttr;
        PathOnly = std::move(o.PathOnly);
        Pattern = std::move(o.Pattern);
    }
    return *this;
}

TSearchRec::~TSearchRec() { FindClose(*this); }

bool FindFirst(const String& path, const String& pattern, int attr, TSearchRec& rec, bool& found, String& err) {
    found = false;
    FindClose(rec);  // a record reused without FindClose must not leak its directory
    rec.ExcludeAttr = ~(attr & kAttrAnyFile);
    String dir = path;
    if (dir.IsEmpty()) dir = GetCurrentDir();
    if (dir.IsEmpty()) dir = ".";  // never fall back to the root directory
    rec.PathOnly = IncludeTrailingPathDelimiter(dir);
    rec.Pattern = pattern;

    errno = 0;
    rec.FindHandle = opendir(rec.PathOnly.Data());
    if (rec.FindHandle == nullptr) {
        const int e = errno > 0 ? errno : ENOENT;
        err = ErrnoText(e);
        errno = e;
        return false;
    }
    found = FindMatch(rec);
    if (!found) FindClose(rec);
    return true;
}

bool FindNext(TSearchRec& rec) { return FindMatch(rec); }

void FindClose(TSearchRec& rec) {
    if (rec.FindHandle != nullptr) {
        closedir(rec.FindHandle);
        rec.FindHandle = nullptr;
    }
}

String GetFirstMatchedFile(const String& mask) {
    const String dir = ExtractFilePath(mask);
    TSearchRec rec;
    bool found = false;
    String err;
    if (!FindFirst(dir, ExtractFileName(mask), 47, rec, found, err) || !found) return String();
    FindClose(rec);
    return dir + rec.Name;
}
