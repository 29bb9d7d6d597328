// Opening files named in requests for reading, without the side effects of
// opening a special file, and reading them in whole blocks.
// Free functions; thread-safe.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

#include "foundation/fd.h"
#include "foundation/qdstring.h"

// Kinds of file a reader accepts.
enum TOpenKinds : unsigned {
    kOpenRegular = 1,    // regular files
    kOpenBlock = 2,      // block devices
    kOpenDirectory = 4,  // directories (reading them then fails)
};

// On failure the functions below return false with err: the system's text
// (ErrnoText) when the name cannot be resolved or opened, kNotAcceptedKind
// for a file of a kind that is not accepted.
inline constexpr const char* kNotAcceptedKind = "not a file of an accepted kind";

// Resolves name (symbolic links followed) to a descriptor that does not
// open the file itself (O_PATH) and checks its type on that descriptor.
// true with pathFd and st set. Never blocks on a FIFO and has none of the
// effects of opening a device.
bool ResolveFile(const char* name, unsigned kinds, TFd& pathFd, struct stat& st, String& err);
// Opens for reading the very file that ResolveFile found (pathFd, st), as
// it is now; fails (kNotAcceptedKind) when it is no longer the same file
// or of an accepted kind. name is used only where /proc is not mounted.
bool ReopenForReading(const TFd& pathFd, const char* name, unsigned kinds, struct stat& st, TFd& fd, String& err);

// Opens name (symbolic links followed) for reading: ResolveFile, then
// ReopenForReading. The name is first
// resolved without opening the file itself (O_PATH), its type is checked on
// that descriptor, and only a file of an accepted kind is then opened, as
// the very same file and without blocking. FIFOs, sockets and character
// devices are therefore never opened, so a read can neither hang nor run
// without end. true with fd open and st its status.
bool OpenForReading(const char* name, unsigned kinds, TFd& fd, struct stat& st, String& err);

// Reads until buf holds n bytes or the file ends (EINTR retried). Returns
// the bytes read (fewer than n only at end of file), or -1 on a read error.
int64_t ReadFull(int fd, char* buf, int64_t n);
