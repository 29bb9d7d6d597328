#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/scratch_dir.h"
#include "foundation/fileutils.h"
#include "foundation/tempdir.h"

namespace {

// Restores the process-wide temporary directory when the test ends.
struct TempDirGuard {
    String saved = GetTempDirectory();
    ~TempDirGuard() { SetTempDirectory(saved); }
};

bool IsSymlink(const std::string& name) {
    struct stat st;
    return lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool Exists(const std::string& name) {
    struct stat st;
    return lstat(name.c_str(), &st) == 0;
}

// The stem that names made on this thread in dir begin with.
std::string StemIn(const std::string& dir) {
    return dir + "/tmp-" + std::to_string(static_cast<int32_t>(GetUniqueThreadID())) + "-";
}

class TempFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.Valid());
        SetTempDirectory(dir.Path().c_str());
    }
    TempDirGuard guard;
    TScratchDir dir;
};

TEST_F(TempFileTest, TempDirectoryIsSharedAndSettable) {
    EXPECT_EQ(GetTempDirectory().Std(), dir.Path());
    std::string seen;
    std::thread t([&] { seen = GetTempDirectory().Std(); });
    t.join();
    EXPECT_EQ(seen, dir.Path());
    // The environment no longer matters once the directory is set.
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old != nullptr ? old : "";
    setenv("TMPDIR", "/elsewhere", 1);
    TTempFile f;
    String err;
    const bool made = CreateTempFile(f, err);
    if (old != nullptr) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
    ASSERT_TRUE(made) << err.Std();
    EXPECT_EQ(f.Name().Std(), StemIn(dir.Path()) + "0");
    // A trailing '/' is not doubled.
    SetTempDirectory((dir.Path() + "/").c_str());
    TTempFile g;
    ASSERT_TRUE(CreateTempFile(g, err)) << err.Std();
    EXPECT_EQ(g.Name().Std(), StemIn(dir.Path()) + "1");
}

TEST_F(TempFileTest, AllNamesTaken) {
    const std::string stem = StemIn(dir.Path());
    for (int i = 0; i <= 1998; ++i) ASSERT_TRUE(WriteTextFile(stem + std::to_string(i), ""));

    TTempFile f;
    String err;
    EXPECT_FALSE(CreateTempFile(f, err));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_NE(err.Std().find("taken"), std::string::npos) << err.Std();

    ASSERT_EQ(::unlink((stem + "1998").c_str()), 0);
    ASSERT_TRUE(CreateTempFile(f, err)) << err.Std();
    EXPECT_EQ(f.Name().Std(), stem + "1998");
}

TEST_F(TempFileTest, CreateWritesAndRemovesOnDestruction) {
    const mode_t mask = umask(022);
    std::string name;
    {
        TTempFile f;
        String err;
        ASSERT_TRUE(CreateTempFile(f, err)) << err.Std();
        ASSERT_TRUE(f.IsOpen());
        name = f.Name().Std();
        EXPECT_EQ(name, StemIn(dir.Path()) + "0");
        struct stat st;
        ASSERT_EQ(fstat(f.Fd(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_NE(fcntl(f.Fd(), F_GETFD) & FD_CLOEXEC, 0);
        ASSERT_TRUE(f.Write(String("line\0two", 8), err)) << err.Std();
        ASSERT_TRUE(f.Close(err)) << err.Std();
        EXPECT_FALSE(f.IsOpen());
        EXPECT_EQ(ReadTextFile(name), std::string("line\0two", 8));
        EXPECT_FALSE(f.Write("x", err));
    }
    umask(mask);
    EXPECT_FALSE(Exists(name));
}

TEST_F(TempFileTest, CreateNeverFollowsPlantedEntries) {
    TScratchDir victims;
    const std::string victim = victims.File("victim");
    const std::string absent = victims.File("absent");
    ASSERT_TRUE(WriteTextFile(victim, "precious"));
    const std::string stem = StemIn(dir.Path());
    ASSERT_EQ(symlink(absent.c_str(), (stem + "0").c_str()), 0);  // dangling
    ASSERT_EQ(symlink(victim.c_str(), (stem + "1").c_str()), 0);
    ASSERT_TRUE(WriteTextFile(stem + "2", "planted"));
    ASSERT_EQ(mkdir((stem + "3").c_str(), 0755), 0);

    TTempFile f;
    String err;
    ASSERT_TRUE(CreateTempFile(f, err)) << err.Std();
    EXPECT_EQ(f.Name().Std(), stem + "4");
    ASSERT_TRUE(f.Write("overwrite", err));
    f.Close();

    EXPECT_EQ(ReadTextFile(victim), "precious");
    EXPECT_FALSE(Exists(absent));
    EXPECT_TRUE(IsSymlink(stem + "0"));
    EXPECT_TRUE(IsSymlink(stem + "1"));
    EXPECT_EQ(ReadTextFile(stem + "2"), "planted");
    EXPECT_EQ(ReadTextFile(stem + "4"), "overwrite");
}

TEST_F(TempFileTest, CreateWithName) {
    TTempFile f;
    String err;
    ASSERT_TRUE(CreateTempFile(f, err, 0700, "upgrade.sh")) << err.Std();
    EXPECT_EQ(f.Name().Std(), dir.File("upgrade.sh"));
    struct stat st;
    ASSERT_EQ(fstat(f.Fd(), &st), 0);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u);

    // The name is taken now: a second creation fails and leaves it alone.
    TTempFile g;
    EXPECT_FALSE(CreateTempFile(g, err, 0600, "upgrade.sh"));
    EXPECT_NE(err.Std().find(dir.File("upgrade.sh")), std::string::npos) << err.Std();
    EXPECT_FALSE(g.IsOpen());
    EXPECT_TRUE(Exists(dir.File("upgrade.sh")));

    TScratchDir victims;
    ASSERT_TRUE(WriteTextFile(victims.File("victim"), "precious"));
    ASSERT_EQ(symlink((victims.File("victim")).c_str(), (dir.File("planted")).c_str()), 0);
    err = "";
    EXPECT_FALSE(CreateTempFile(g, err, 0600, "planted"));
    EXPECT_FALSE(err.IsEmpty());
    EXPECT_EQ(ReadTextFile(victims.File("victim")), "precious");
    EXPECT_FALSE(CreateTempFile(g, err, 0600, ""));
}

TEST_F(TempFileTest, CreateInMissingDirectoryFails) {
    SetTempDirectory((dir.File("gone")).c_str());
    TTempFile f;
    String err;
    EXPECT_FALSE(CreateTempFile(f, err));
    EXPECT_NE(err.Std().find(dir.File("gone/")), std::string::npos) << err.Std();
    EXPECT_FALSE(f.IsOpen());
    EXPECT_TRUE(f.Name().IsEmpty());
}

TEST_F(TempFileTest, OwnershipTransfers) {
    String err;
    std::string kept, released, removed, moved;
    {
        TTempFile a, b, c, d;
        ASSERT_TRUE(CreateTempFile(a, err));
        ASSERT_TRUE(CreateTempFile(b, err));
        ASSERT_TRUE(CreateTempFile(c, err));
        ASSERT_TRUE(CreateTempFile(d, err));
        kept = a.Name().Std();
        released = b.Name().Std();
        removed = c.Name().Std();
        moved = d.Name().Std();
        EXPECT_EQ(std::set<std::string>({kept, released, removed, moved}).size(), 4u);

        a.Keep();
        TFd fd = b.Release();
        EXPECT_TRUE(fd.Valid());
        EXPECT_EQ(b.Fd(), -1);
        EXPECT_TRUE(fd.Close());  // the caller owns it now
        EXPECT_TRUE(c.Remove());
        EXPECT_FALSE(Exists(removed));
        EXPECT_TRUE(c.Remove());  // harmless again

        TTempFile e(std::move(d));
        EXPECT_FALSE(d.IsOpen());
        EXPECT_EQ(e.Name().Std(), moved);
        TTempFile g;
        g = std::move(e);
        EXPECT_TRUE(Exists(moved));
        // Creating into a record that holds a file replaces (and removes) it.
        ASSERT_TRUE(CreateTempFile(g, err));
        EXPECT_FALSE(Exists(moved));
        moved = g.Name().Std();
    }
    EXPECT_TRUE(Exists(kept));
    EXPECT_TRUE(Exists(released));
    EXPECT_FALSE(Exists(moved));
}

TEST_F(TempFileTest, ThreadsGetDistinctFiles) {
    constexpr int kThreads = 4, kEach = 25;
    std::vector<std::vector<std::string>> names(kThreads);
    std::vector<std::thread> threads;
    std::vector<TTempFile> files[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                TTempFile f;
                String err;
                if (!CreateTempFile(f, err)) return;
                names[t].push_back(f.Name().Std());
                files[t].push_back(std::move(f));
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::string> all;
    for (const auto& v : names) {
        EXPECT_EQ(v.size(), static_cast<size_t>(kEach));
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
    for (auto& v : files) v.clear();
    for (const auto& n : all) EXPECT_FALSE(Exists(n)) << n;
}

}  // namespace
