// Walking a folder tree for the counting and sizing tests: entries are read
// once, with the type the directory reports (d_type), examined relative to
// the folder's descriptor (fstatat), and subfolders are opened relative to
// an open ancestor (openat), never by following a symbolic link.
//
// Each folder is read to its end and closed before its subfolders are
// opened, so a walk holds one folder open plus one anchor descriptor per
// ~2 KiB of path depth, however deep the tree: concurrent walks of deep
// trees do not run out of descriptors, and paths longer than PATH_MAX are
// walked too. Free functions; thread-safe.
#pragma once

#include <dirent.h>

#include <functional>

// One entry of the folder being read. `dirFd` is the folder's descriptor
// (for fstatat), `type` the d_type the directory reports (DT_UNKNOWN when
// it does not say). "." and ".." are never passed.
struct TWalkEntry {
    int dirFd;
    const char* name;
    unsigned char type;
};

// Called for every entry; returns true to walk into the entry as a
// subfolder (ignored unless the walk recurses; an entry that turns out not
// to be a directory, or is a symbolic link, is not walked into).
using TWalkVisit = std::function<bool(const TWalkEntry& entry)>;

enum class TWalkResult {
    Ok,          // the folder and every subfolder that could be opened were read
    NoFolder,    // the top folder cannot be opened (missing, not a folder, no access)
    Incomplete,  // a folder could not be read to its end, or descriptors or
                 // memory ran out (for the top folder too): the figures
                 // would be wrong
};

// Reads the folder `top` ("" = the current directory; a final symbolic link
// is followed) and, with recurse, every subfolder the visitor asks for,
// depth first. Subfolders that cannot be opened for lack of permission, or
// that vanished or were replaced meanwhile, are skipped.
TWalkResult WalkFolder(const char* top, bool recurse, const TWalkVisit& visit);
