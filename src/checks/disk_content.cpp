// Checksums, comparison and search of file contents; volume space.
#include <sys/statfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "checks/disk_open.h"
#include "checks/disk_helpers.h"
#include "crypto/crc32.h"
#include "foundation/io.h"

namespace {

// Read size of the checksum and the comparison (per file).
constexpr int64_t kBlock = 1 << 20;

std::unique_ptr<char[]> Allocate(int64_t n) { return std::unique_ptr<char[]>(new (std::nothrow) char[n]); }

inline bool IsAlnumAscii(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void LowerAscii(char* p, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        p[i] = static_cast<char>(static_cast<unsigned>(c - 'A') < 26u ? c | 0x20 : c);
    }
}

}  // namespace

bool GetFileCRC(const char* name, uint32_t& crc, String& err) {
    if (name == nullptr || *name == '\0') {
        err = "File is not specified";
        return false;
    }
    TFd fd;
    struct stat st;
    // Directories open but cannot be read: "Read error", as before.
    if (!OpenForReading(name, kOpenRegular | kOpenBlock | kOpenDirectory, fd, st, err)) {
        err = "Cannot open file";
        return false;
    }
    auto buf = Allocate(kBlock);
    if (!buf) {
        err = "Read error";
        return false;
    }
    TCRC32 sum;
    sum.InitCRC();
    for (;;) {
        const int64_t n = ReadFull(fd.Get(), buf.get(), kBlock);
        if (n < 0) {
            err = "Read error";
            return false;
        }
        sum.UpdateCRC(buf.get(), n);
        if (n < kBlock) break;
    }
    crc = sum.GetCRC();
    return true;
}

int CompareFiles(int fdA, int fdB) {
    auto buf = Allocate(2 * kBlock);
    if (!buf) return -1;
    char* a = buf.get();
    char* b = a + kBlock;
    for (;;) {
        const int64_t na = ReadFull(fdA, a, kBlock);
        const int64_t nb = ReadFull(fdB, b, kBlock);
        if (na < 0 || nb < 0) return -1;
        if (std::memcmp(a, b, static_cast<size_t>(std::min(na, nb))) != 0) return 0;
        if (na < kBlock || nb < kBlock) return 1;  // the shorter one has ended
    }
}

int64_t SearchWindowSize(int64_t fileSize, int64_t textLength) {
    return std::min<int64_t>(kBlock + 2 * textLength, std::max<int64_t>(fileSize + 1, 2 * textLength + 64));
}

int FindStrInFile(int fd, int64_t size, const String& text, bool caseSensitive, bool wholeWord) {
    const int64_t n = text.Length();
    if (n == 0) return -1;
    if (n > size) return 0;
    std::string needle(text.View());
    if (!caseSensitive) LowerAscii(needle.data(), n);

    // The window holds the bytes from some file offset on. A match is only
    // judged once the byte after it is in the window (or the file has
    // ended); the byte before it always is, except at the file's start.
    const int64_t window = SearchWindowSize(size, n);
    auto buf = Allocate(window);
    if (!buf) return -1;
    char* w = buf.get();
    int64_t have = 0;   // bytes in the window
    int64_t start = 0;  // first start position not yet examined
    for (;;) {
        const int64_t got = ReadFull(fd, w + have, window - have);
        if (got < 0) return -1;
        if (!caseSensitive) LowerAscii(w + have, got);
        have += got;
        const bool atEnd = have < window;
        const int64_t limit = atEnd ? have : have - 1;  // a match must end by here
        int64_t p = start;
        while (limit - p >= n) {
            const void* hit = memmem(w + p, static_cast<size_t>(limit - p), needle.data(), static_cast<size_t>(n));
            if (hit == nullptr) break;
            const int64_t q = static_cast<const char*>(hit) - w;
            if (!wholeWord) return 1;
            const bool before = q > 0 && IsAlnumAscii(static_cast<unsigned char>(w[q - 1]));
            const bool after = q + n < have && IsAlnumAscii(static_cast<unsigned char>(w[q + n]));
            if (!before && !after) return 1;
            p = q + 1;
        }
        if (atEnd) return 0;
        // Every start up to have - n - 1 is examined; keep the next one and
        // the byte before it.
        std::memmove(w, w + have - n - 1, static_cast<size_t>(n + 1));
        have = n + 1;
        start = 1;
    }
}

bool ReadFileContent(int fd, int64_t size, String& out) {
    if (size < 0 || size > INT32_MAX) return false;
    try {
        out.SetLength(static_cast<int>(size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    const int64_t n = ReadFull(fd, out.Buffer(), size);
    if (n < 0) return false;
    out.SetLength(static_cast<int>(n));
    return true;
}

bool GetUNCDriveInfo(const char* path, int64_t& total, int64_t& free, int64_t& avail, String& err) {
    struct statfs fs;
    if (path == nullptr || statfs(path, &fs) != 0) {
        err = ErrnoText(path == nullptr ? ENOENT : errno);
        return false;
    }
    const auto bsize = static_cast<int64_t>(fs.f_bsize);
    total = static_cast<int64_t>(fs.f_blocks) * bsize;
    free = static_cast<int64_t>(fs.f_bfree) * bsize;
    avail = static_cast<int64_t>(fs.f_bavail) * bsize;
    return true;
}
