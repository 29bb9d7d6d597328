#include "checks/disk_walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "foundation/fd.h"
#include "foundation/io.h"

namespace {

// Relative paths grow to about this length before the walk opens a new
// anchor, so an openat path stays well below PATH_MAX.
constexpr size_t kAnchorEvery = 2048;

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;

// A subfolder still to be read: its path relative to anchor `anchor`.
struct TPending {
    size_t anchor;
    std::string rel;
};

// Errors that mean "this subfolder cannot be listed" rather than "the walk
// cannot go on".
bool Skippable(int err) {
    return err == EACCES || err == EPERM || err == ENOENT || err == ENOTDIR || err == ELOOP;
}

bool IsDotOrDotDot(const char* n) { return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')); }

// Reads the folder open on fd (taken over) to its end. The names of the
// subfolders to walk into are appended to `subs`. false with the system's
// text when the folder cannot be read to its end.
bool ReadFolder(TFd fd, bool recurse, const TWalkVisit& visit, std::vector<std::string>& subs, String& err) {
    DIR* dir = fdopendir(fd.Get());
    if (dir == nullptr) {
        err = ErrnoText(errno);
        return false;
    }
    fd.Release();
    const int dfd = dirfd(dir);
    int error = 0;
    for (;;) {
        errno = 0;
        const struct dirent* e = readdir(dir);
        if (e == nullptr) {
            error = errno;
            break;
        }
        if (IsDotOrDotDot(e->d_name)) continue;
        const bool descend = visit(TWalkEntry{dfd, e->d_name, e->d_type});
        if (descend && recurse && e->d_type != DT_LNK) subs.emplace_back(e->d_name);
    }
    closedir(dir);
    if (error == 0) return true;
    err = ErrnoText(error);
    return false;
}

}  // namespace

TWalkResult WalkFolder(const char* top, bool recurse, const TWalkVisit& visit) {
    const char* start = (top == nullptr || *top == '\0') ? "." : top;
    TFd first(open(start, kDirFlags));
    if (!first.Valid()) {
        // Out of descriptors or memory the folder may well exist.
        const int e = errno;
        return e == EMFILE || e == ENFILE || e == ENOMEM ? TWalkResult::Incomplete : TWalkResult::NoFolder;
    }

    std::vector<TFd> anchors;  // anchors[0] is the top folder
    std::vector<TPending> stack;
    std::vector<std::string> subs;
    if (recurse) {
        TFd anchor(fcntl(first.Get(), F_DUPFD_CLOEXEC, 0));
        if (!anchor.Valid()) return TWalkResult::Incomplete;
        anchors.push_back(std::move(anchor));
    }
    bool isTop = true;
    for (;;) {
        TFd fd;
        std::string rel;
        size_t anchor = 0;
        if (isTop) {
            fd = std::move(first);
            isTop = false;
        } else {
            if (stack.empty()) break;
            TPending item = std::move(stack.back());
            stack.pop_back();
            anchor = item.anchor;
            rel = std::move(item.rel);
            anchors.resize(anchor + 1);  // deeper anchors served finished subtrees
            fd.Reset(openat(anchors[anchor].Get(), rel.c_str(), kDirFlags | O_NOFOLLOW));
            if (!fd.Valid()) {
                if (Skippable(errno)) continue;
                return TWalkResult::Incomplete;
            }
        }
        TFd keep;  // this folder as a new anchor, when its path grew long
        if (recurse && rel.size() >= kAnchorEvery) {
            keep.Reset(fcntl(fd.Get(), F_DUPFD_CLOEXEC, 0));
            if (!keep.Valid()) return TWalkResult::Incomplete;
        }
        subs.clear();
        String err;
        if (!ReadFolder(std::move(fd), recurse, visit, subs, err)) return TWalkResult::Incomplete;
        if (subs.empty()) continue;
        if (keep.Valid()) {
            anchors.push_back(std::move(keep));
            anchor = anchors.size() - 1;
            rel.clear();
        }
        // Pushed in reverse so that subfolders are read in directory order.
        for (size_t i = subs.size(); i-- > 0;) {
            std::string child = rel.empty() ? std::move(subs[i]) : rel + "/" + subs[i];
            stack.push_back(TPending{anchor, std::move(child)});
        }
    }
    return TWalkResult::Ok;
}
