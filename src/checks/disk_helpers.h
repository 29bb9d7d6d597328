// File-level helpers of the file and folder tests: checksums, comparison,
// text search, counting, folder sizes, volume space and the path macros.
// Free functions without shared state; thread-safe. Large buffers are taken
// from the heap. Nothing throws.
#pragma once

#include <cstdint>

#include "foundation/qdstring.h"

// What a file count counts (the request's integer).
enum class TCountFilesMode : int {
    AllFiles = 0,
    OlderThan = 1,    // modified more than `value` minutes ago
    NewerThan = 2,    // modified less than `value` minutes ago
    BiggerThan = 3,   // more than `value` bytes
    SmallerThan = 4,  // fewer than `value` bytes
    SubFolders = 5,   // folders instead of files
};

// The largest file whose content may be searched for inside another (8 MiB).
inline constexpr int64_t kMaxNeedleFileSize = 8388608;

// Whole minutes, by truncating division (64-bit: no overflow for any time).
inline int64_t sec2min(int64_t seconds) { return seconds / 60; }

// The path with "%newestfile%", "%oldestfile%", "%newestfolder%" and
// "%oldestfolder%" (any letter case, anywhere, several times) replaced, left
// to right, by the name of the newest or oldest plain file or folder of the
// folder named by the text before the macro ("" = the current directory).
// When a macro finds no entry, the path is returned exactly as passed in.
String GetFileUsingSpecialMacros(const String& path);

// The checksum of a file's content (TCRC32 register, not inverted).
// False with err: "File is not specified", "Cannot open file" (missing,
// unreadable, or a FIFO, socket or character device, which are never
// opened) or "Read error".
bool GetFileCRC(const char* name, uint32_t& crc, String& err);

// Compares the contents of two open files from their current offsets up to
// the end of the shorter one: 1 equal, 0 different, -1 a read failed.
int CompareFiles(int fdA, int fdB);

// Whether text occurs in the open file of size `size` (its length at the
// open; the search reads to the current end). Without caseSensitive ASCII
// letters match either case; with wholeWord an occurrence counts only when
// the file's bytes just before and after it (where there are any) are not
// ASCII letters or digits. The answer depends on the file alone, not on how
// it is read. Returns 1 found, 0 not found, -1 an empty text, a read error
// or no memory.
int FindStrInFile(int fd, int64_t size, const String& text, bool caseSensitive, bool wholeWord);

// The read window of FindStrInFile for a file of fileSize bytes and a text
// of textLength bytes (at least textLength + 2). Exposed for tests.
int64_t SearchWindowSize(int64_t fileSize, int64_t textLength);

// Reads the first `size` bytes (fewer if the file has shrunk) of the open
// file into out. False on a read error or when memory runs out.
bool ReadFileContent(int fd, int64_t size, String& out);

// The number of entries of `folder` ("" = the current directory) whose
// names match mask (fnmatch) and which qualify under mode (value in minutes
// or bytes; now = the current time in seconds), with recurse also in every
// subfolder whose name does not begin with '.'. Symbolic links never count
// and are never followed below the top folder. Returns -1 when the folder
// cannot be opened (kCountFilesNoFolder), -2 when the count would be
// incomplete (kCountFilesIncomplete: a folder could not be read to its
// end, descriptors or memory ran out); subfolders that cannot be opened for
// lack of permission count nothing.
inline constexpr int64_t kCountFilesNoFolder = -1;
inline constexpr int64_t kCountFilesIncomplete = -2;
int64_t CountFiles(const String& folder, const String& mask, bool recurse, TCountFilesMode mode, int32_t value,
                   int64_t now);

// Total bytes of the files matching the path: all files of a folder, or the
// files of the path's folder matching its last component (a name or a
// wildcard pattern); with recurse the same in every subfolder. -1 when the
// folder cannot be opened or the total would be incomplete.
int64_t GetFolderSize(const String& path, bool recurse);

// Space of the volume holding path, in bytes: total, free, and available
// to unprivileged users. False with err (the system's text, ErrnoText) on
// failure.
bool GetUNCDriveInfo(const char* path, int64_t& total, int64_t& free, int64_t& avail, String& err);
