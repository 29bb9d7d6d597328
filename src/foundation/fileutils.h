// Paths, directory search, file metadata and temporary files.
//
// Paths are POSIX paths with '/' as the only separator; all text is handled
// as single bytes. Path helpers never touch the file system; the metadata
// helpers look at a name after following symbolic links. Nothing here throws.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>

#include "foundation/fd.h"
#include "foundation/qdstring.h"
#include "foundation/tempdir.h"

// ---- Path helpers -------------------------------------------------------

// 1 <= i <= s.Length() and s[i] is '/'.
bool IsPathDelimiter(const String& s, int i);
// s with '/' appended unless it already ends in one; "" gives "/".
String IncludeTrailingPathDelimiter(const String& s);
// s without one trailing '/'; "/" gives "".
String ExcludeTrailingPathDelimiter(const String& s);
// 1-based position of the last byte of s found in delims (a NUL byte never
// counts; a null delims finds nothing); 0 when there is none.
int LastDelimiter(const char* delims, const String& s);
// s up to and including its last '/'; "" when there is none.
String ExtractFilePath(const String& s);
// The part of s after its last '/'; all of s when there is none.
String ExtractFileName(const String& s);

// ---- Directory search ---------------------------------------------------

// Attribute bits of a directory entry.
enum : int {
    kAttrReadOnly = 1,    // no write access for this process
    kAttrHidden = 2,      // name begins with '.', other than "." and ".."
    kAttrSysFile = 4,     // neither a regular file nor a directory
    kAttrVolumeId = 8,    // never set
    kAttrDirectory = 16,  // a directory
    kAttrArchive = 32,    // never set
    kAttrSymLink = 64,    // a symbolic link (never returned by a search)
    kAttrAnyFile = 63,
};

// One directory search in progress. The record owns the open directory: it
// is closed by FindClose or, at the latest, when the record goes away. The
// record can be moved but not copied, so a directory is never closed twice.
struct TSearchRec {
    int64_t Time = 0;        // modification time, seconds since 1970 UTC
    int64_t CTime = 0;       // status-change time, seconds since 1970 UTC
    int64_t Size = 0;        // size in bytes
    int Attr = 0;            // attribute bits (kAttr*)
    char Name[256] = {};     // entry name without directory, NUL-terminated
    unsigned int Mode = 0;   // file type and permission bits (st_mode)
    DIR* FindHandle = nullptr;  // the open directory while the search runs
    int ExcludeAttr = 0;     // attribute bits that disqualify an entry
    String PathOnly;         // searched directory, ending in '/'
    String Pattern;          // wildcard pattern for entry names

    TSearchRec() = default;
    TSearchRec(const TSearchRec&) = delete;
    TSearchRec& operator=(const TSearchRec&) = delete;
    TSearchRec(TSearchRec&& o) noexcept;
    TSearchRec& operator=(TSearchRec&& o) noexcept;
    ~TSearchRec();
};

// Starts a search of the directory path ("" = current directory) for names
// matching the shell wildcard pattern (fnmatch, case-sensitive, no flags) whose
// attribute bits all lie within attr & 63. Symbolic links are never returned;
// entries come in directory order (unsorted).
// Returns true with found telling whether rec holds the first match (without
// one the directory is closed again); false when the directory cannot be
// opened, with the system's text in err and the cause in errno (nothing
// stays open).
bool FindFirst(const String& path, const String& pattern, int attr, TSearchRec& rec, bool& found, String& err);
// The next match into rec: true when there is one; false at the end of the
// directory or on a read error.
bool FindNext(TSearchRec& rec);
// Closes the directory if open and clears the handle; safe to repeat.
void FindClose(TSearchRec& rec);
// Attribute bits (kAttr*) of the entry `name` of the folder open on dirFd,
// whose status (not following a final link) is st. Tests write access with
// faccessat, so this costs one system call.
int FileAttributes(int dirFd, const char* name, const struct stat& st);
// The full name of the first non-directory entry matching a wildcard path
// such as "/var/log/*.gz" (first in directory order), or "".
String GetFirstMatchedFile(const String& mask);

// ---- Metadata -----------------------------------------------------------

// name exists and, after following symbolic links, is a regular file.
bool FileExists(const char* name);
// name exists and, after following symbolic links, is a directory.
bool DirectoryExists(const char* name);
// Size, status-change time and modification time (seconds since 1970 UTC)
// of name itself: a final symbolic link is not followed. False (outputs
// unchanged) for an empty name or one that cannot be examined.
bool GetFileInfo(const char* name, int64_t& size, int64_t& ctime, int64_t& mtime);
// The current working directory, or "" when it cannot be determined.
String GetCurrentDir();
// (process id * 256) + the calling thread's id, wrapping at 32 bits.
uint32_t GetUniqueThreadID();

// ---- Temporary files ----------------------------------------------------

// An open temporary file: owns its descriptor and, unless kept, its
// directory entry. Closing or destroying it closes the descriptor; the file
// is removed on destruction unless Keep() or Release() was called.
struct TTempFile {
    TTempFile() = default;
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;
    TTempFile(TTempFile&& o) noexcept;
    TTempFile& operator=(TTempFile&& o) noexcept;
    ~TTempFile();

    int Fd() const { return fd_.Get(); }
    const String& Name() const { return name_; }
    bool IsOpen() const { return fd_.Valid(); }

    // Writes all of data at the current offset; false with err on failure.
    bool Write(const char* data, int64_t n, String& err);
    bool Write(const String& data, String& err);
    // Closes the descriptor (the file stays until Remove or destruction);
    // false with err when the close reports an error (lost data).
    bool Close(String& err);
    void Close();
    // Closes the descriptor and removes the file now; true when the file is
    // gone (or there was none).
    bool Remove();
    // The file is no longer removed on destruction.
    void Keep() { remove_ = false; }
    // Gives up the descriptor and the file: returns the descriptor (invalid
    // when none was open) to the caller; the file stays.
    TFd Release();

    // Used by CreateTempFile.
    void Adopt(TFd fd, const String& name);

private:
    TFd fd_;
    String name_;
    bool remove_ = false;
};

// Creates a new temporary file exclusively (O_CREAT|O_EXCL|O_NOFOLLOW) with
// permission bits mode, open for reading and writing, in the temporary
// directory. With name null it tries "tmp-<GetUniqueThreadID()>-0" .. "-1998"
// and moves on past any name that exists in any form (a file, a directory,
// a symbolic link); with a name it creates exactly that name and fails when
// something is already there. Returns true with out holding the descriptor
// and the full name; false with err describing the failure.
bool CreateTempFile(TTempFile& out, String& err, int mode = 0600, const char* name = nullptr);
