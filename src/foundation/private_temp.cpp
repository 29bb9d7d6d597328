#include "foundation/private_temp.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/fileutils.h"
#include "foundation/io.h"
#include "foundation/tempdir.h"

namespace {

constexpr int kMaxPath = 4096;

String TempDirOrDot() {
    const String dir = GetTempDirectory();
    return dir.IsEmpty() ? String(".") : dir;
}

// "<dir>/<stem>XXXXXX" in a writable buffer for mkostemp; false when too long.
bool Template(const char* stem, String& out) {
    out = IncludeTrailingPathDelimiter(TempDirOrDot()) + stem + "XXXXXX";
    return out.Length() < kMaxPath;
}

}  // namespace

bool OpenUnnamedTempFile(TFd& out, String& err) {
    const String dir = TempDirOrDot();
    out.Reset(open(dir.Data(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (out.Valid()) return true;
    const int tmpErr = errno;
    // File systems without O_TMPFILE: a random name, unlinked at once.
    String name;
    if (!Template("zel-out-", name)) {
        err = String("cannot create temporary file in \"") + dir + "\": " + ErrnoText(ENAMETOOLONG);
        return false;
    }
    out.Reset(mkostemp(name.Buffer(), O_CLOEXEC));
    if (!out.Valid()) {
        const int e = (tmpErr == EOPNOTSUPP || tmpErr == EISDIR || tmpErr == EINVAL) ? errno : tmpErr;
        err = String("cannot create temporary file in \"") + dir + "\": " + ErrnoText(e);
        return false;
    }
    unlink(name.Data());
    return true;
}

bool TPrivateTempFile::Create(const char* stem, int mode, String& err, bool& nameErr, bool& modeErr) {
    Remove();
    nameErr = modeErr = false;
    String name;
    if (!Template(stem, name)) {
        nameErr = true;
        err = "temporary file name too long";
        return false;
    }
    fd_.Reset(mkostemp(name.Buffer(), O_CLOEXEC));
    if (!fd_.Valid()) {
        err = String("cannot create \"") + name + "\": " + ErrnoText(errno);
        return false;
    }
    name_ = name;
    if (fchmod(fd_.Get(), static_cast<mode_t>(mode)) != 0) {
        modeErr = true;
        err = String("cannot set the mode of \"") + name + "\": " + ErrnoText(errno);
        Remove();
        return false;
    }
    return true;
}

bool TPrivateTempFile::Write(const String& data) {
    const char* p = data.Data();
    size_t left = static_cast<size_t>(data.Length());
    while (left > 0) {
        const ssize_t w = write(fd_.Get(), p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        left -= static_cast<size_t>(w);
    }
    return true;
}

void TPrivateTempFile::Remove() {
    fd_.Reset();
    if (!name_.IsEmpty()) unlink(name_.Data());
    name_ = String();
}
