#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "common/scratch_dir.h"
#include "foundation/fileutils.h"

namespace {

class FileInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.Valid());
        ASSERT_TRUE(WriteTextFile(dir.File("file"), "abc"));
        ASSERT_EQ(mkdir((dir.File("sub")).c_str(), 0755), 0);
        ASSERT_EQ(symlink("sub", (dir.File("to-dir")).c_str()), 0);
        ASSERT_EQ(symlink("file", (dir.File("to-file")).c_str()), 0);
        ASSERT_EQ(symlink("missing", (dir.File("dangling")).c_str()), 0);
        ASSERT_EQ(mkfifo((dir.File("fifo")).c_str(), 0644), 0);
    }
    TScratchDir dir;
};

TEST_F(FileInfoTest, Existence) {
    const struct {
        const char* name;
        bool file, directory;
    } cases[] = {
        {"file", true, false},      {"missing", false, false}, {"sub", false, true},
        {"to-dir", false, true},    {"to-file", true, false},  {"dangling", false, false},
        {"fifo", false, false},     {"file/x", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = dir.File(c.name);
        EXPECT_EQ(FileExists(name.c_str()), c.file);
        EXPECT_EQ(DirectoryExists(name.c_str()), c.directory);
    }
    for (const char* bad : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_FALSE(FileExists(bad));
        EXPECT_FALSE(DirectoryExists(bad));
    }
}


TEST_F(FileInfoTest, GetCurrentDir) {
    const std::filesystem::path saved = std::filesystem::current_path();
    ASSERT_EQ(chdir((dir.File("to-dir")).c_str()), 0);
    const String cwd = GetCurrentDir();
    ASSERT_EQ(chdir(saved.c_str()), 0);
    char real[PATH_MAX];
    ASSERT_NE(realpath((dir.File("sub")).c_str(), real), nullptr);
    EXPECT_EQ(cwd.Std(), real);
    EXPECT_EQ(GetCurrentDir().Std(), saved.string());
}

TEST(UniqueThreadIdTest, ProcessAndThreadParts) {
    const auto expect = [] {
        return static_cast<uint32_t>(getpid()) * 256u + static_cast<uint32_t>(syscall(SYS_gettid));
    };
    const uint32_t mine = GetUniqueThreadID();
    EXPECT_EQ(mine, expect());
    uint32_t other = 0, otherExpected = 1;
    std::thread t([&] {
        other = GetUniqueThreadID();
        otherExpected = expect();
    });
    t.join();
    EXPECT_EQ(other, otherExpected);
    EXPECT_NE(other, mine);
}

}  // namespace
