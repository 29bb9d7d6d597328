// Exclusively created temporary files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "foundation/fileutils.h"
#include "foundation/io.h"

namespace {

constexpr int kMaxCandidates = 1999;  // "-0" .. "-1998"

// The temporary directory with a trailing '/'; "./" when none is set.
String TempPrefix() {
    const String dir = GetTempDirectory();
    return dir.IsEmpty() ? String("./") : IncludeTrailingPathDelimiter(dir);
}

// "<prefix>tmp-<id>-": the per-thread stem of generated names.
String TempStem(const String& prefix) {
    char stem[40];
    std::snprintf(stem, sizeof(stem), "tmp-%ld-",
                  static_cast<long>(static_cast<int32_t>(GetUniqueThreadID())));
    return prefix + stem;
}

String Candidate(const String& stem, int i) {
    char num[16];
    std::snprintf(num, sizeof(num), "%d", i);
    return stem + num;
}

String ErrorText(const char* what, const String& name, int err) {
    return String(what) + " \"" + name + "\": " + ErrnoText(err);
}

}  // namespace

// ---- TTempFile ------------------------------------------------------------

TTempFile::TTempFile(TTempFile&& o) noexcept
    : fd_(std::move(o.fd_)), name_(std::move(o.name_)),
      remove_(std::exchange(o.remove_, false)) {
    o.name_ = String();
}

TTempFile& TTempFile::operator=(TTempFile&& o) noexcept {
    if (this != &o) {
        Close();
        if (remove_) Remove();
        fd_ = std::move(o.fd_);
        name_ = std::move(o.name_);
        o.name_ = String();
        remove_ = std::exchange(o.remove_, false);
    }
    return *this;
}

TTempFile::~TTempFile() {
    Close();
    if (remove_) Remove();
}

bool TTempFile::Write(const char* data, int64_t n, String& err) {
    if (!fd_.Valid()) {
        err = String("temporary file \"") + name_ + "\" is not open";
        return false;
    }
    if (n <= 0) return true;
    String why;
    if (WriteAll(fd_.Get(), std::string_view(data, static_cast<size_t>(n)), why)) return true;
    err = ErrorText("cannot write temporary file", name_, errno);
    return false;
}

bool TTempFile::Write(const String& data, String& err) {
    return Write(data.Data(), data.Length(), err);
}

bool TTempFile::Close(String& err) {
    if (!fd_.Valid()) return true;
    if (!fd_.Close() && errno != EINTR) {
        err = ErrorText("cannot close temporary file", name_, errno);
        return false;
    }
    return true;
}

void TTempFile::Close() {
    String ignored;
    Close(ignored);
}

bool TTempFile::Remove() {
    Close();
    remove_ = false;
    if (name_.IsEmpty()) return true;
    const bool ok = ::unlink(name_.Data()) == 0 || errno == ENOENT;
    name_ = String();
    return ok;
}

TFd TTempFile::Release() {
    remove_ = false;
    name_ = String();
    return std::move(fd_);
}

void TTempFile::Adopt(TFd fd, const String& name) {
    Close();
    if (remove_) Remove();
    fd_ = std::move(fd);
    name_ = name;
    remove_ = true;
}

// ---- CreateTempFile -------------------------------------------------------

namespace {

constexpr int kCreateFlags = O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_RDWR;

// Creates name exclusively: the descriptor, or an invalid one with errno set.
TFd CreateExclusive(const String& name, int mode) {
    for (;;) {
        TFd fd(::open(name.Data(), kCreateFlags, static_cast<mode_t>(mode)));
        if (fd.Valid() || errno != EINTR) return fd;
    }
}

}  // namespace

bool CreateTempFile(TTempFile& out, String& err, int mode, const char* name) {
    const String prefix = TempPrefix();
    if (name != nullptr) {
        if (*name == '\0') {
            err = "cannot create temporary file: empty name";
            return false;
        }
        const String full = prefix + name;
        TFd fd = CreateExclusive(full, mode);
        if (!fd.Valid()) {
            err = ErrorText("cannot create temporary file", full, errno);
            return false;
        }
        out.Adopt(std::move(fd), full);
        return true;
    }

    const String stem = TempStem(prefix);
    for (int i = 0; i < kMaxCandidates; ++i) {
        const String cand = Candidate(stem, i);
        TFd fd = CreateExclusive(cand, mode);
        if (fd.Valid()) {
            out.Adopt(std::move(fd), cand);
            return true;
        }
        if (errno == EEXIST || errno == ELOOP) continue;  // taken, or planted: next name
        err = ErrorText("cannot create temporary file", cand, errno);
        return false;
    }
    err = String("cannot create temporary file: all names \"") + stem + "0\" to \"" + stem +
          "1998\" are taken";
    return false;
}
