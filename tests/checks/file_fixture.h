// A small folder tree with known sizes and times for the file and folder
// tests, and helpers to make files in it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "common/handler_fixture.h"
#include "common/scratch_dir.h"

// Sets the modification (and access) time of path itself, links included.
// The reply time format: day, month, year, hour, minute, second, local.
inline std::string TimeText(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm local {};
    localtime_r(&tt, &local);
    char buf[32];
    strftime(buf, sizeof(buf), "%d%m%Y%H%M%S", &local);
    return buf;
}

inline bool SetTime(const std::string& path, int64_t when) {
    struct timespec ts[2];
    ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(when);
    ts[0].tv_nsec = ts[1].tv_nsec = 0;
    return utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0;
}

// n bytes of a fixed pattern (different for different seeds).
inline std::string Pattern(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 23);
    }
    return s;
}

// The tree, below Root():
//   a.txt 10 B, b.log 2048 B, c.log 1 B, empty.dat 0 B, .hidden.txt 5 B,
//   pipe (FIFO), link -> a.txt, dirlink -> sub,
//   sub/ d.txt 100 B, sub/deeper/ f.log 7 B, sub/.hsub/ e.txt 11 B,
//   .hdir/ g.txt 3 B, ro/ (mode 0555) h.txt 4 B, ro/inner/ i.log 6 B.
// Files are dated kOld (a.txt), kNew (c.log) and kMid otherwise; folders
// kMid except sub (kNew) and ro (kOld); the links a minute in the future.
class FileTreeFixture : public HandlerFixture {
protected:
    int64_t now_ = static_cast<int64_t>(time(nullptr));
    int64_t kOld = now_ - 3 * 3600;  // three hours ago
    int64_t kMid = now_ - 2 * 3600;  // two hours ago
    int64_t kNew = now_ - 600;       // ten minutes ago

    void SetUp() override {
        HandlerFixture::SetUp();
        ASSERT_TRUE(dir_.Valid());
        root_ = dir_.Path();
        Make("a.txt", std::string(10, 'a'), kOld);
        Make("b.log", Pattern(2048), kMid);
        Make("c.log", "c", kNew);
        Make("empty.dat", "", kMid);
        Make(".hidden.txt", "hello", kMid);
        ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0644), 0);
        ASSERT_EQ(symlink("a.txt", Path("link").c_str()), 0);
        ASSERT_EQ(symlink("sub", Path("dirlink").c_str()), 0);
        Folder("sub");
        Make("sub/d.txt", std::string(100, 'd'), kMid);
        Folder("sub/deeper");
        Make("sub/deeper/f.log", "fffffff", kMid);
        Folder("sub/.hsub");
        Make("sub/.hsub/e.txt", "eeeeeeeeeee", kMid);
        Folder(".hdir");
        Make(".hdir/g.txt", "ggg", kMid);
        Folder("ro");
        Make("ro/h.txt", "hhhh", kMid);
        Folder("ro/inner");
        Make("ro/inner/i.log", "iiiiii", kMid);
        ASSERT_EQ(chmod(Path("ro").c_str(), 0555), 0);
        // Folder times last: making entries changes them.
        for (const char* f : {"sub/deeper", "sub/.hsub", ".hdir", "ro/inner"}) ASSERT_TRUE(SetTime(Path(f), kMid));
        ASSERT_TRUE(SetTime(Path("sub"), kNew));
        // Links and the FIFO must never be chosen, counted or summed: the
        // links are the newest entries of all.
        ASSERT_TRUE(SetTime(Path("pipe"), kMid));
        ASSERT_TRUE(SetTime(Path("link"), now_ + 60));
        ASSERT_TRUE(SetTime(Path("dirlink"), now_ + 60));
        ASSERT_TRUE(SetTime(Path("ro"), kOld));
    }

    std::string Path(const std::string& rel) const { return root_ + "/" + rel; }
    const std::string& Root() const { return root_; }

    void Make(const std::string& rel, const std::string& content, int64_t when) {
        ASSERT_TRUE(WriteTextFile(Path(rel), content)) << rel;
        ASSERT_TRUE(SetTime(Path(rel), when)) << rel;
    }
    void Folder(const std::string& rel) { ASSERT_EQ(mkdir(Path(rel).c_str(), 0755), 0) << rel; }

    TScratchDir dir_;
    std::string root_;
};
