// File metadata queries; symbolic links are followed.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#include "foundation/fileutils.h"

namespace {

bool StatOf(const char* name, struct stat& st) {
    return name != nullptr && *name != '\0' && stat(name, &st) == 0;
}

}  // namespace

bool FileExists(const char* name) {
    struct stat st;
    return StatOf(name, st) && S_ISREG(st.st_mode);
}

bool DirectoryExists(const char* name) {
    struct stat st;
    return StatOf(name, st) && S_ISDIR(st.st_mode);
}

bool GetFileInfo(const char* name, int64_t& size, int64_t& ctime, int64_t& mtime) {
    struct stat st;
    if (name == nullptr || *name == '\0' || lstat(name, &st) != 0) return false;
    size = static_cast<int64_t>(st.st_size);
    ctime = static_cast<int64_t>(st.st_ctime);
    mtime = static_cast<int64_t>(st.st_mtime);
    return true;
}

String GetCurrentDir() {
    char buf[PATH_MAX];
    if (getcwd(buf, sizeof(buf)) == nullptr) return String();
    return String(buf);
}

uint32_t GetUniqueThreadID() {
    const auto pid = static_cast<uint32_t>(getpid());
    const auto tid = static_cast<uint32_t>(syscall(SYS_gettid));
    return pid * 256u + tid;  // unsigned: wraps at 32 bits
}
