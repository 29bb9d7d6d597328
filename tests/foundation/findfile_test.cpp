#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "common/proc_walk.h"
#include "common/scratch_dir.h"
#include "foundation/fileutils.h"
#include "foundation/io.h"

namespace {

// name -> attribute bits of every entry a search returns.
using Found = std::map<std::string, int>;

// True when the first match was found.
bool First(const String& path, const char* pattern, int attr, TSearchRec& rec) {
    bool found = false;
    String err;
    EXPECT_TRUE(FindFirst(path, pattern, attr, rec, found, err)) << err.Std();
    return found;
}

Found SearchAll(const String& path, const char* pattern, int attr, bool* first = nullptr) {
    Found found;
    TSearchRec rec;
    const bool any = First(path, pattern, attr, rec);
    if (first != nullptr) *first = any;
    if (!any) {
        EXPECT_EQ(rec.FindHandle, nullptr);
        return found;
    }
    do {
        EXPECT_TRUE(found.emplace(rec.Name, rec.Attr).second) << "twice: " << rec.Name;
    } while (FindNext(rec));
    FindClose(rec);
    EXPECT_EQ(rec.FindHandle, nullptr);
    return found;
}

std::set<std::string> Names(const Found& f) {
    std::set<std::string> s;
    for (const auto& [name, attr] : f) s.insert(name);
    return s;
}

// f1.log, .x.log, other.txt: files; a.log/, .hdir/: directories;
// b.log -> f1.log, c.log -> a.log, d.log -> missing: symbolic links;
// pipe.log: a FIFO; a.log/inner.log: not searched.
class FindFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.Valid());
        ASSERT_TRUE(WriteTextFile(dir.File("f1.log"), "12345"));
        ASSERT_TRUE(WriteTextFile(dir.File(".x.log"), "x"));
        ASSERT_TRUE(WriteTextFile(dir.File("other.txt"), ""));
        ASSERT_EQ(mkdir((dir.File("a.log")).c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir.File(".hdir")).c_str(), 0755), 0);
        ASSERT_TRUE(WriteTextFile(dir.File("a.log/inner.log"), ""));
        ASSERT_EQ(symlink("f1.log", (dir.File("b.log")).c_str()), 0);
        ASSERT_EQ(symlink("a.log", (dir.File("c.log")).c_str()), 0);
        ASSERT_EQ(symlink("missing", (dir.File("d.log")).c_str()), 0);
        ASSERT_EQ(mkfifo((dir.File("pipe.log")).c_str(), 0644), 0);
    }
    TScratchDir dir;
};

TEST_F(FindFileTest, PatternsAndAttributeMasks) {
    const struct {
        const char* pattern;
        int attr;
        std::set<std::string> want;
    } cases[] = {
        {"*.log", 47, {"f1.log", ".x.log", "pipe.log"}},
        {"*", 63, {".", "..", "f1.log", ".x.log", "other.txt", "a.log", ".hdir", "pipe.log"}},
        {"*", 0, {"f1.log", "other.txt"}},
        // Plain writable files carry no bit, so every mask admits them.
        {"*", kAttrDirectory, {".", "..", "a.log", "f1.log", "other.txt"}},
        {"*", kAttrDirectory | kAttrHidden, {".", "..", "a.log", ".hdir", ".x.log", "f1.log", "other.txt"}},
        {"*", kAttrSysFile, {"f1.log", "other.txt", "pipe.log"}},
        {"*", kAttrAnyFile | kAttrSymLink, {".", "..", "f1.log", ".x.log", "other.txt", "a.log", ".hdir",
                                     "pipe.log"}},
        {"?1.log", 63, {"f1.log"}},
        {"[fo]*", 63, {"f1.log", "other.txt"}},
        {".*", 63, {".", "..", ".x.log", ".hdir"}},
        {"*.LOG", 63, {}},
        {"inner.log", 63, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " attr " + std::to_string(c.attr));
        bool first = false;
        const Found found = SearchAll(dir.Path().c_str(), c.pattern, c.attr, &first);
        EXPECT_EQ(Names(found), c.want);
        EXPECT_EQ(first, !c.want.empty());
    }
}

TEST_F(FindFileTest, AttributeBitsAndFields) {
    const Found found = SearchAll(dir.Path().c_str(), "*", 63);
    EXPECT_EQ(found.at(".x.log"), kAttrHidden);
    EXPECT_EQ(found.at(".hdir"), kAttrHidden | kAttrDirectory);
    EXPECT_EQ(found.at("a.log"), kAttrDirectory);
    EXPECT_EQ(found.at("."), kAttrDirectory);  // "." and ".." are not hidden
    EXPECT_EQ(found.at(".."), kAttrDirectory);
    EXPECT_EQ(found.at("pipe.log"), kAttrSysFile);
    EXPECT_EQ(found.at("f1.log"), 0);

    TSearchRec rec;
    ASSERT_TRUE(First(dir.Path().c_str(), "f1.log", 63, rec));
    struct stat st;
    ASSERT_EQ(lstat((dir.File("f1.log")).c_str(), &st), 0);
    EXPECT_STREQ(rec.Name, "f1.log");
    EXPECT_EQ(rec.Size, 5);
    EXPECT_EQ(rec.Time, static_cast<int64_t>(st.st_mtime));
    EXPECT_EQ(rec.Mode, static_cast<unsigned int>(st.st_mode));
    EXPECT_EQ(rec.PathOnly.Std(), dir.Path() + "/");
    EXPECT_EQ(rec.Pattern.Std(), "f1.log");
    EXPECT_EQ(rec.ExcludeAttr, ~63);
    EXPECT_FALSE(FindNext(rec));
    FindClose(rec);
}

TEST_F(FindFileTest, ReadOnlyBitFollowsWriteAccess) {
    ASSERT_TRUE(WriteTextFile(dir.File("ro.dat"), "r"));
    ASSERT_EQ(chmod((dir.File("ro.dat")).c_str(), 0444), 0);
    const bool writable = access((dir.File("ro.dat")).c_str(), W_OK) == 0;  // root may write anyway
    const Found all = SearchAll(dir.Path().c_str(), "ro.dat", 63);
    EXPECT_EQ(all.at("ro.dat"), writable ? 0 : kAttrReadOnly);
    EXPECT_EQ(SearchAll(dir.Path().c_str(), "ro.dat", 0).size(), writable ? 1u : 0u);
}

TEST_F(FindFileTest, LargeSizeAndLateTimeAreNotCut) {
    const std::string big = dir.File("big.bin");
    const int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const int64_t size = 5LL * 1024 * 1024 * 1024;  // sparse
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
    const int64_t when = 4102444800LL;  // 2100-01-01, past the 32-bit range
    const struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, big.c_str(), times, 0), 0);

    TSearchRec rec;
    ASSERT_TRUE(First(dir.Path().c_str(), "big.bin", 63, rec));
    EXPECT_EQ(rec.Size, size);
    EXPECT_EQ(rec.Time, when);
}

TEST_F(FindFileTest, EmptyPathSearchesCurrentDirectory) {
    const std::filesystem::path saved = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    const Found found = SearchAll("", "*.log", 47);
    TSearchRec rec;
    ASSERT_TRUE(First("", "f1.log", 63, rec));
    EXPECT_EQ(rec.PathOnly.Std(), GetCurrentDir().Std() + "/");
    FindClose(rec);
    ASSERT_EQ(chdir(saved.c_str()), 0);
    EXPECT_EQ(Names(found), (std::set<std::string>{"f1.log", ".x.log", "pipe.log"}));
    EXPECT_EQ(found.at(".x.log"), kAttrHidden);
}

TEST_F(FindFileTest, UnopenableDirectoryFailsWithTheSystemText) {
    const struct {
        std::string path;
        int want;
    } cases[] = {
        {"/no/such/dir", ENOENT},
        {dir.File("f1.log"), ENOTDIR},
        {dir.File("d.log"), ENOENT},
    };
    const int fds = proc_walk::OpenDescriptorCount();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        TSearchRec rec;
        bool found = true;
        String err;
        const bool ok = FindFirst(c.path.c_str(), "*", 63, rec, found, err);
        const int e = errno;
        EXPECT_FALSE(ok);
        EXPECT_EQ(e, c.want);
        EXPECT_EQ(err, ErrnoText(c.want));
        EXPECT_FALSE(found);
        EXPECT_EQ(rec.FindHandle, nullptr);
        EXPECT_FALSE(FindNext(rec));
        FindClose(rec);
    }
    EXPECT_EQ(proc_walk::OpenDescriptorCount(), fds);
}

TEST_F(FindFileTest, MisuseLeaksNothing) {
    const int fds = proc_walk::OpenDescriptorCount();
    {
        TSearchRec rec;
        for (int i = 0; i < 20; ++i) ASSERT_TRUE(First(dir.Path().c_str(), "*", 63, rec));
        FindClose(rec);
        FindClose(rec);  // harmless twice
        EXPECT_FALSE(FindNext(rec));
        ASSERT_TRUE(First(dir.Path().c_str(), "*", 63, rec));
        // left open: the record closes it on destruction
    }
    EXPECT_EQ(proc_walk::OpenDescriptorCount(), fds);
}

TEST_F(FindFileTest, MovedRecordContinuesTheSearch) {
    TSearchRec a;
    ASSERT_TRUE(First(dir.Path().c_str(), "*", 63, a));
    std::set<std::string> names{a.Name};
    TSearchRec b(std::move(a));
    EXPECT_EQ(a.FindHandle, nullptr);
    while (FindNext(b)) names.insert(b.Name);
    TSearchRec c;
    c = std::move(b);
    EXPECT_FALSE(FindNext(c));
    EXPECT_EQ(names.size(), 8u);
}

TEST_F(FindFileTest, GetFirstMatchedFile) {
    const std::string base = dir.Path() + "/";
    const std::string any = GetFirstMatchedFile((base + "*.log").c_str()).Std();
    EXPECT_TRUE(any == base + "f1.log" || any == base + ".x.log" || any == base + "pipe.log") << any;
    const struct {
        std::string mask;
        std::string want;
    } cases[] = {
        {base + "f?.log", base + "f1.log"},
        {base + "*.gz", ""},
        {base + "a.*", ""},  // a directory only
        {base + "b.*", ""},  // a symbolic link only
        {"/no/such/dir/*", ""},
        {base, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mask);
        EXPECT_EQ(GetFirstMatchedFile(c.mask.c_str()).Std(), c.want);
    }
}

TEST_F(FindFileTest, GetFirstMatchedFileRelativeMask) {
    const std::filesystem::path saved = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    const std::string got = GetFirstMatchedFile("other.*").Std();
    const std::string inner = GetFirstMatchedFile("a.log/*.log").Std();
    ASSERT_EQ(chdir(saved.c_str()), 0);
    EXPECT_EQ(got, "other.txt");
    EXPECT_EQ(inner, "a.log/inner.log");
}

}  // namespace
