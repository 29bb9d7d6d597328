#include "checks/file_checks.h"

#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <ctime>

#include "checks/disk_open.h"
#include "checks/disk_helpers.h"
#include "foundation/fileutils.h"
#include "protocol/params.h"

namespace {

constexpr const char* kNoSuchFile = "no such file or acess denied";
constexpr const char* kFileMissing = "File doesn`t exist";
constexpr const char* kIOError = "I/O Error";
constexpr const char* kNeedleTooBig = "The size of the second file cannot exceed 8Mb";
constexpr const char* kFolderFileMissing = "Folder/File doesn`t exist or access denied";
constexpr const char* kFolderMissing = "Folder doesn`t exist or access denied";
constexpr const char* kFolderUnread = "Cannot read the whole folder tree";
constexpr const char* kNoPath = "Path not specified";

// Parameter n as a path, with the macros resolved when parameter macroFlag is "1".
String PathParam(const VTRequest& params, int n, int macroFlag) {
    String path = ParamText(params, n);
    if (macroFlag > 0 && ParamFlag(params, macroFlag)) path = GetFileUsingSpecialMacros(path);
    return path;
}

// A name that a wildcard search could match other than literally.
bool HasWildcards(const String& s) { return std::strpbrk(s.Data(), "*?[\\") != nullptr; }

int ClampToInt(int64_t v) { return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v); }

// A file of the comparison: resolved once; everything is read from the
// descriptor, never from the name again.
struct TCompared {
    TFd path;
    struct stat st {};
    String name;
    // An existing regular file (symbolic links followed).
    bool Resolve(const String& n) {
        name = n;
        String err;
        return ResolveFile(n.Data(), kOpenRegular, path, st, err);
    }
    // Opens it for reading; false when it cannot be.
    bool Open(TFd& fd) {
        String err;
        return ReopenForReading(path, name.Data(), kOpenRegular, st, fd, err);
    }
};

void CompareTwoFiles(const VTRequest& params, TCompared& first, ZELReply& reply) {
    TCompared second;
    if (!second.Resolve(PathParam(params, 3, 13))) return;  // stays "File doesn`t exist"
    bool equal = true;
    if (ParamFlag(params, 4) && first.st.st_mtime != second.st.st_mtime) equal = false;
    if (ParamFlag(params, 5) && first.st.st_size != second.st.st_size) equal = false;
    if (equal && ParamFlag(params, 6)) {
        TFd a, b;
        const int r = first.Open(a) && second.Open(b) ? CompareFiles(a.Get(), b.Get()) : -1;
        if (r < 0) {
            reply.SetResult(TResultCode::NotDone, kIOError);
            return;
        }
        equal = r == 1;
    }
    reply.SetResult(TResultCode::Ok);
    reply.AddBoolParam(equal);
}

void SearchFileInFile(const VTRequest& params, TCompared& first, ZELReply& reply) {
    TCompared second;
    if (!second.Resolve(ParamText(params, 3))) return;  // stays "File doesn`t exist"
    const int64_t size = second.st.st_size;
    if (size > kMaxNeedleFileSize) {
        reply.SetResult(TResultCode::NotDone, kNeedleTooBig);
        return;
    }
    int r = 1;  // an empty file is found everywhere
    if (size > 0) {
        TFd needleFd, hayFd;
        String needle;
        r = -1;
        // Only the size that was checked is read, whatever the file grew to.
        if (second.Open(needleFd) && ReadFileContent(needleFd.Get(), size, needle) && first.Open(hayFd))
            r = FindStrInFile(hayFd.Get(), first.st.st_size, needle, true, false);
    }
    if (r < 0) {
        reply.SetResult(TResultCode::NotDone, kIOError);
        return;
    }
    reply.SetResult(TResultCode::Ok);
    reply.AddBoolParam(r > 0);
}

void SearchTextInFile(const VTRequest& params, TCompared& first, ZELReply& reply) {
    const String text = ParamText(params, 3);
    TFd fd;
    const int r = first.Open(fd) ? FindStrInFile(fd.Get(), first.st.st_size, text, ParamFlag(params, 4),
                                                 ParamFlag(params, 5))
                                 : -1;
    if (r < 0) {
        reply.SetResult(TResultCode::NotDone, kIOError);
        return;
    }
    reply.SetResult(TResultCode::Ok);
    reply.AddBoolParam(r > 0);
}

}  // namespace

void ProcessTest_FileExists(const VTRequest& params, ZELReply& reply) {
    String path = PathParam(params, 1, 7);
    int64_t size = 0, ctime = 0, mtime = 0;
    bool ok = GetFileInfo(path.Data(), size, ctime, mtime);
    if (!ok && HasWildcards(path)) {
        String match = GetFirstMatchedFile(path);
        if (!match.IsEmpty()) {
            path = match;
            ok = GetFileInfo(path.Data(), size, ctime, mtime);
        }
    }
    if (!ok) {
        reply.SetResult(TResultCode::NotDone, kNoSuchFile);
        return;
    }
    const int64_t now = static_cast<int64_t>(time(nullptr));
    reply.SetResult(TResultCode::Ok);
    reply.AddIntParam(static_cast<long long>(size));
    reply.AddTimeParam(static_cast<time_t>(ctime));
    reply.AddTimeParam(static_cast<time_t>(mtime));
    reply.AddStringParam(path, true);  // a matched name may hold a line end
    reply.AddStringParam("min");
    reply.AddIntParam(ClampToInt(sec2min(now - mtime)));
}

void ProcessTest_FileCRC(const VTRequest& params, ZELReply& reply) {
    const String name = ParamText(params, 1);
    uint32_t crc = 0;
    String err;
    if (!GetFileCRC(name.Data(), crc, err)) {
        reply.SetResult(TResultCode::NotDone, err);
        return;
    }
    reply.SetResult(TResultCode::Ok);
    reply.AddIntParam(static_cast<long long>(crc));
}

void ProcessTest_FileCompare(const VTRequest& params, ZELReply& reply) {
    reply.SetResult(TResultCode::NotDone, kFileMissing);
    const String mode = ParamText(params, 1);
    int flag = 0;
    if (mode == "1" || mode == "4") flag = 12;
    else if (mode == "2") flag = 9;
    else if (mode == "3") flag = 11;
    TCompared first;
    if (!first.Resolve(PathParam(params, 2, flag))) return;
    if (mode == "1") CompareTwoFiles(params, first, reply);
    else if (mode == "2") SearchFileInFile(params, first, reply);
    else if (mode == "3") SearchTextInFile(params, first, reply);
    else reply.SetResult(TResultCode::WrongParams, kWrongParameter);
}

void ProcessTest_FolderSize(const VTRequest& params, ZELReply& reply) {
    const int64_t size = GetFolderSize(PathParam(params, 1, 8), ParamFlag(params, 2));
    if (size < 0) {
        reply.SetResult(TResultCode::NotDone, kFolderFileMissing);
        return;
    }
    reply.SetResult(TResultCode::Ok);
    reply.AddIntParam(static_cast<long long>(size));
}

void ProcessTest_CountFiles(const VTRequest& params, ZELReply& reply) {
    const int mode = ParamNumber(params, 4);
    if (mode < 0 || mode > 5) {
        reply.SetResult(TResultCode::WrongParams, kWrongParameter);
        return;
    }
    int value = 0;
    if (!ParamInt(params, 5, value, reply)) return;
    String folder = PathParam(params, 1, 11);
    if (!folder.IsEmpty() && folder[folder.Length()] != '/') folder += '/';
    const int64_t count = CountFiles(folder, ParamText(params, 2), ParamFlag(params, 3),
                                     static_cast<TCountFilesMode>(mode), value, static_cast<int64_t>(time(nullptr)));
    if (count < 0) {
        reply.SetResult(TResultCode::NotDone, count == kCountFilesIncomplete ? kFolderUnread : kFolderMissing);
        return;
    }
    reply.SetResult(TResultCode::Ok);
    reply.AddIntParam(ClampToInt(count));
}

void ProcessTest_UNC(const VTRequest& params, ZELReply& reply) {
    String path = ParamText(params, 1);
    if (path.IsEmpty()) {
        reply.SetResult(TResultCode::WrongParams, kNoPath);
        return;
    }
    if (path[path.Length()] == '\\') path.SetLength(path.Length() - 1);
    int64_t total = 0, free = 0, avail = 0;
    String err;
    if (!GetUNCDriveInfo(path.Data(), total, free, avail, err)) {
        reply.SetResult(TResultCode::NotDone);
        reply.AddStringParam(err, true);
        return;
    }
    reply.SetResult(TResultCode::Ok);
    reply.AddIntParam(static_cast<long long>(total));
    reply.AddIntParam(static_cast<long long>(free));
    reply.AddIntParam(static_cast<long long>(avail));
}
