// Counting, folder sizes and the newest/oldest path macros: listings built
// on WalkFolder, looking at an entry only as far as its answer needs.
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <string>

#include "checks/disk_walk.h"
#include "checks/disk_helpers.h"
#include "foundation/fileutils.h"

namespace {

// Entry kinds as far as the listings care: symbolic links are never
// listed, folders and everything else are told apart.
enum class TKind { Skip, Folder, File };

TKind KindOfType(unsigned char type) {
    switch (type) {
        case DT_LNK: return TKind::Skip;
        case DT_DIR: return TKind::Folder;
        default: return TKind::File;
    }
}

// Examines the entry without following a link; Skip when it vanished.
TKind Examine(const TWalkEntry& e, struct stat& st) {
    if (fstatat(e.dirFd, e.name, &st, AT_SYMLINK_NOFOLLOW) != 0) return TKind::Skip;
    if (S_ISLNK(st.st_mode)) return TKind::Skip;
    return S_ISDIR(st.st_mode) ? TKind::Folder : TKind::File;
}

// fnmatch without flags; "*" matches every name without asking.
struct TMask {
    explicit TMask(const String& m) : text(m.Std()), all(text == "*") {}
    bool Matches(const char* name) const { return all || fnmatch(text.c_str(), name, 0) == 0; }
    std::string text;
    bool all;
};

}  // namespace

int64_t CountFiles(const String& folder, const String& mask, bool recurse, TCountFilesMode mode, int32_t value,
                   int64_t now) {
    const TMask m(mask);
    const int64_t nowMin = sec2min(now);
    const int64_t limit = value;
    const bool needsStatus = mode == TCountFilesMode::OlderThan || mode == TCountFilesMode::NewerThan ||
                             mode == TCountFilesMode::BiggerThan || mode == TCountFilesMode::SmallerThan;
    int64_t count = 0;
    auto visit = [&](const TWalkEntry& e) -> bool {
        const bool hidden = e.name[0] == '.';
        const bool matches = m.Matches(e.name);
        TKind kind = KindOfType(e.type);
        if (kind == TKind::Skip) return false;
        struct stat st {};
        if (matches && kind == TKind::File && needsStatus) {
            kind = Examine(e, st);
        } else if (e.type == DT_UNKNOWN && (matches || (recurse && !hidden))) {
            kind = Examine(e, st);
        }
        if (kind == TKind::Folder) {
            if (matches && mode == TCountFilesMode::SubFolders) ++count;
            return !hidden;
        }
        if (kind != TKind::File || !matches) return false;
        switch (mode) {
            case TCountFilesMode::AllFiles: ++count; break;
            case TCountFilesMode::OlderThan:
                if (sec2min(static_cast<int64_t>(st.st_mtime)) < nowMin - limit) ++count;
                break;
            case TCountFilesMode::NewerThan:
                if (sec2min(static_cast<int64_t>(st.st_mtime)) > nowMin - limit) ++count;
                break;
            case TCountFilesMode::BiggerThan:
                if (static_cast<int64_t>(st.st_size) > limit) ++count;
                break;
            case TCountFilesMode::SmallerThan:
                if (static_cast<int64_t>(st.st_size) < limit) ++count;
                break;
            case TCountFilesMode::SubFolders: break;
        }
        return false;
    };
    switch (WalkFolder(folder.Data(), recurse, visit)) {
        case TWalkResult::Ok: return count;
        case TWalkResult::NoFolder: return kCountFilesNoFolder;
        case TWalkResult::Incomplete: break;
    }
    return kCountFilesIncomplete;
}

int64_t GetFolderSize(const String& path, bool recurse) {
    String folder = path;
    String mask = "*";
    if (!DirectoryExists(path.Data())) {
        mask = ExtractFileName(path);
        folder = ExtractFilePath(path);
    }
    const TMask m(mask);
    int64_t total = 0;
    auto visit = [&](const TWalkEntry& e) -> bool {
        TKind kind = KindOfType(e.type);
        if (kind == TKind::Skip) return false;
        const bool matches = m.Matches(e.name);
        struct stat st;
        if (kind == TKind::File && matches) {
            kind = Examine(e, st);
            if (kind == TKind::File) total += static_cast<int64_t>(st.st_size);
        } else if (e.type == DT_UNKNOWN && recurse) {
            kind = Examine(e, st);
        }
        return kind == TKind::Folder;
    };
    return WalkFolder(folder.Data(), recurse, visit) == TWalkResult::Ok ? total : -1;
}

namespace {

struct TMacro {
    const char* text;  // lower case
    size_t length;
    bool folder;
    bool newest;
};

constexpr TMacro kMacros[] = {
    {"%newestfile%", 12, false, true},
    {"%oldestfile%", 12, false, false},
    {"%newestfolder%", 14, true, true},
    {"%oldestfolder%", 14, true, false},
};

// The newest or oldest entry of the wanted kind in folder: true with its
// name, false when there is none or the folder cannot be read.
bool ChooseEntry(const std::string& folder, const TMacro& macro, std::string& chosen) {
    bool have = false;
    int64_t best = 0;
    auto visit = [&](const TWalkEntry& e) -> bool {
        const TKind listed = KindOfType(e.type);
        if (listed == TKind::Skip) return false;
        if (e.type != DT_UNKNOWN && (listed == TKind::Folder) != macro.folder) return false;
        struct stat st;
        const TKind kind = Examine(e, st);
        if (kind == TKind::Skip || (kind == TKind::Folder) != macro.folder) return false;
        const auto t = static_cast<int64_t>(st.st_mtime);
        if (!have || (macro.newest ? t > best : t < best)) {
            have = true;
            best = t;
            chosen = e.name;
        }
        return false;
    };
    return WalkFolder(folder.c_str(), false, visit) == TWalkResult::Ok && have;
}

}  // namespace

String GetFileUsingSpecialMacros(const String& path) {
    std::string prefix;
    std::string rest(path.View());
    std::string lower = rest;
    for (char& c : lower) c = LoCase(c);
    for (;;) {
        const TMacro* found = nullptr;
        size_t at = std::string::npos;
        for (const TMacro& m : kMacros) {
            const size_t p = lower.find(m.text);
            if (p < at) {
                at = p;
                found = &m;
            }
        }
        if (found == nullptr) return String(prefix + rest);
        prefix.append(rest, 0, at);
        rest.erase(0, at + found->length);
        lower.erase(0, at + found->length);
        std::string chosen;
        if (!ChooseEntry(prefix, *found, chosen)) return path;
        prefix += chosen;
    }
}
