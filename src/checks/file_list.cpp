// The folder listing the server browses a host with ("GetFilesList").
//
// One pass over the folder: sub-folders go to the reply as they come and
// files to a second buffer appended after them, so the reply is the same as
// listing folders first and files second. Each entry is examined once
// (fstatat on the folder's descriptor, plus the write-access test for its
// read-only bit). Entries whose names hold a line feed or carriage return
// are left out (and not counted): names are sent unescaped, one per line,
// and such a name would shift every line after it.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "checks/file_list.h"
#include "foundation/fd.h"
#include "foundation/fileutils.h"
#include "protocol/params.h"

namespace {

struct TListOptions {
    bool folders = false, files = false;
    bool hidden = false, system = false;
    bool size = false, ctime = false, mtime = false;
};

bool IsDot(const char* n) { return n[0] == '.' && n[1] == '\0'; }
bool IsDotOrDotDot(const char* n) { return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')); }

// Appends the lines of one entry.
void AddFileStr(ZELReply& out, const char* name, int attr, const struct stat& st, const TListOptions& o) {
    out.AddStringParam(name);
    out.AddIntParam(attr);
    if (o.size) out.AddIntParam(static_cast<long long>(st.st_size));
    if (o.ctime) out.AddTimeParam(static_cast<time_t>(st.st_ctime));
    if (o.mtime) out.AddTimeParam(static_cast<time_t>(st.st_mtime));
}

// Lists folder (ending in '/'); returns the number of entries appended to
// folders and files.
int ListFolder(const String& folder, const String& mask, const TListOptions& o, ZELReply& folders,
               ZELReply& files) {
    TFd fd(open(folder.Data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.Valid()) return 0;
    DIR* dir = fdopendir(fd.Get());
    if (dir == nullptr) return 0;
    fd.Release();
    const int dfd = dirfd(dir);
    const bool allNames = mask == "*";
    int count = 0;
    for (;;) {
        const struct dirent* e = readdir(dir);
        if (e == nullptr) break;
        const char* name = e->d_name;
        if (IsDot(name)) continue;
        if (std::strpbrk(name, "\r\n") != nullptr) continue;
        if (!o.hidden && name[0] == '.' && !IsDotOrDotDot(name)) continue;
        // What the directory already tells about the entry's type.
        const unsigned char t = e->d_type;
        if (t == DT_LNK) continue;
        if (t == DT_DIR && !o.folders) continue;
        if (t != DT_DIR && t != DT_UNKNOWN && !o.files) continue;
        if (t != DT_DIR && t != DT_REG && t != DT_UNKNOWN && !o.system) continue;
        if (t != DT_DIR && t != DT_UNKNOWN && !allNames && fnmatch(mask.Data(), name, 0) != 0) continue;
        struct stat st;
        if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished
        const int attr = FileAttributes(dfd, name, st);
        if ((attr & kAttrSymLink) != 0) continue;
        if ((attr & kAttrSysFile) != 0 && !o.system) continue;
        if ((attr & kAttrDirectory) != 0) {
            if (!o.folders) continue;
            AddFileStr(folders, name, attr, st, o);
        } else {
            if (!o.files || (!allNames && fnmatch(mask.Data(), name, 0) != 0)) continue;
            AddFileStr(files, name, attr, st, o);
        }
        ++count;
    }
    closedir(dir);
    return count;
}

}  // namespace

void ProcessInfo_GetFileList(const VTRequest& params, ZELReply& reply) {
    String folder = ParamText(params, 1);
    String mask = ParamText(params, 2);
    TListOptions o;
    o.folders = ParamFlag(params, 3);
    o.files = ParamFlag(params, 4);
    o.hidden = ParamFlag(params, 5);
    o.system = ParamFlag(params, 6);
    o.size = ParamFlag(params, 7);
    o.ctime = ParamFlag(params, 8);
    o.mtime = ParamFlag(params, 9);

    if (folder.IsEmpty()) folder = "/";
    if (folder[folder.Length()] != '/' && !DirectoryExists(folder.Data())) folder = ExtractFilePath(folder);
    folder = IncludeTrailingPathDelimiter(folder);
    if (mask.IsEmpty()) mask = "*";

    ZELReply folders, files;
    const int count = (o.folders || o.files) ? ListFolder(folder, mask, o, folders, files) : 0;

    reply.SetResult(TResultCode::Ok);
    reply.AddStringParam(folder, true);
    reply.AddIntParam(count);
    reply.AddIntParam(2 + int(o.size) + int(o.ctime) + int(o.mtime));
    reply += folders;
    reply += files;
}
