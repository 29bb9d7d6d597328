// Folder walks: deep trees, descriptor limits, concurrent walks, and folders
// the agent cannot write.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "checks/disk_helpers.h"
#include "common/proc_walk.h"
#include "file_fixture.h"

namespace {

constexpr int kDepth = 250;
const std::string kLevel = "level-of-the-tree-xx";  // 20 bytes: ~5 KiB of path at the bottom

// Removes everything below the folder open on fd (paths may be longer than
// PATH_MAX, so everything goes relative to descriptors).
void RemoveBelow(int fd) {
    DIR* d = fdopendir(dup(fd));
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (const dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    for (const std::string& n : names) {
        if (unlinkat(fd, n.c_str(), 0) == 0) continue;
        int sub = openat(fd, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (sub >= 0) {
            RemoveBelow(sub);
            close(sub);
        }
        unlinkat(fd, n.c_str(), AT_REMOVEDIR);
    }
}

class DiskWalkTest : public FileTreeFixture {
protected:
    void TearDown() override {
        if (deep_ >= 0) {
            RemoveBelow(deep_);
            close(deep_);
        }
        FileTreeFixture::TearDown();
    }

    // deep/ with kDepth nested folders, one file "f" in each.
    void MakeDeepTree() {
        Folder("deep");
        deep_ = open(Path("deep").c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(deep_, 0);
        int fd = dup(deep_);
        for (int i = 0; i < kDepth; ++i) {
            ASSERT_EQ(mkdirat(fd, kLevel.c_str(), 0755), 0);
            int next = openat(fd, kLevel.c_str(), O_RDONLY | O_DIRECTORY);
            close(fd);
            ASSERT_GE(next, 0);
            fd = next;
            int f = openat(fd, "f", O_CREAT | O_WRONLY, 0644);
            ASSERT_GE(f, 0);
            ASSERT_EQ(write(f, "x", 1), 1);
            close(f);
        }
        close(fd);
    }

    int deep_ = -1;
};

TEST_F(DiskWalkTest, TreesDeeperThanAPathCanNameAreWalkedWhole) {
    MakeDeepTree();
    const int64_t now = time(nullptr);
    EXPECT_EQ(CountFiles(String(Path("deep/").c_str()), "*", true, TCountFilesMode::AllFiles, 0, now), kDepth);
    EXPECT_EQ(CountFiles(String(Path("deep/").c_str()), "*", true, TCountFilesMode::SubFolders, 0, now), kDepth);
    EXPECT_EQ(GetFolderSize(String(Path("deep").c_str()), true), kDepth);
}

TEST_F(DiskWalkTest, FewDescriptorsAndNeverAShortCount) {
    MakeDeepTree();
    const int64_t now = time(nullptr);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int highest = proc_walk::HighestDescriptor();
    ASSERT_GE(highest, 2);
    const rlim_t base = static_cast<rlim_t>(highest) + 1;
    for (rlim_t spare = 0; spare <= 8; ++spare) {
        struct rlimit lim = saved;
        lim.rlim_cur = base + spare;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
        const int64_t count = CountFiles(String(Path("deep/").c_str()), "*", true, TCountFilesMode::AllFiles, 0, now);
        const int64_t size = GetFolderSize(String(Path("deep").c_str()), true);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        // Not enough descriptors gives a failure, never a wrong figure.
        EXPECT_TRUE(count == kDepth || count == kCountFilesIncomplete) << spare << ": " << count;
        EXPECT_TRUE(size == kDepth || size == -1) << spare << ": " << size;
        if (spare >= 6) {
            EXPECT_EQ(count, kDepth) << spare;
            EXPECT_EQ(size, kDepth) << spare;
        }
    }
}

// A walk that runs out of descriptors somewhere in the tree, or before the
// top folder, is answered as unread, never as a folder that does not exist.
TEST_F(DiskWalkTest, AnUnreadableTreeIsNotAMissingFolder) {
    MakeDeepTree();
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlim_t base = static_cast<rlim_t>(proc_walk::HighestDescriptor()) + 1;
    int unread = 0;
    for (int spare = 0; spare <= 8; ++spare) {
        struct rlimit lim = saved;
        lim.rlim_cur = base + 16;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
        // Every descriptor taken, then exactly `spare` of them given back.
        std::vector<TFd> filler;
        for (;;) {
            TFd f(open("/dev/null", O_RDONLY | O_CLOEXEC));
            if (!f.Valid()) break;
            filler.push_back(std::move(f));
        }
        for (int i = 0; i < spare && !filler.empty(); ++i) filler.pop_back();
        TReplyTable r = Call("TEST-CountFiles", {Path("deep"), "*", "1", "0", ""});
        filler.clear();
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        if (r.code == "200") {
            EXPECT_EQ(r.lines, std::vector<std::string>{std::to_string(kDepth)}) << spare;
            continue;
        }
        EXPECT_EQ(r.code, "301") << spare;
        EXPECT_EQ(r.lines, std::vector<std::string>{"Cannot read the whole folder tree"}) << spare;
        ++unread;
    }
    EXPECT_GE(unread, 1);
    // A folder that is not there is still answered as missing.
    TReplyTable r = Call("TEST-CountFiles", {Path("not-there"), "*", "1", "0", ""});
    EXPECT_EQ(r.lines, std::vector<std::string>{"Folder doesn`t exist or access denied"});
}

TEST_F(DiskWalkTest, ConcurrentWalksOfADeepTree) {
    MakeDeepTree();
    const int64_t now = time(nullptr);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 3; ++i)
                if (CountFiles(String(Path("deep/").c_str()), "*", true, TCountFilesMode::AllFiles, 0, now) != kDepth)
                    ++wrong;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// A folder exists when it can be opened; whether the agent may write it
// does not matter. Run without privileges (as nobody when the tests run as
// root), where the folders of mode 0555 cannot be written.
TEST_F(DiskWalkTest, FoldersTheAgentCannotWriteExist) {
    ASSERT_EQ(chmod(Root().c_str(), 0755), 0);
    Folder("top");
    Make("top/t.txt", "t", kMid);
    Folder("top/inner");
    Make("top/inner/u.log", "uu", kMid);
    ASSERT_EQ(chmod(Path("top/inner").c_str(), 0555), 0);
    ASSERT_EQ(chmod(Path("top").c_str(), 0555), 0);

    auto checks = [&]() -> int {
        int failed = 0;
        const auto count = [&](const std::string& folder, const char* mask, const char* recurse) {
            TReplyTable r = Call("TEST-CountFiles", {folder, mask, recurse, "0", ""});
            return r.code == "200" && r.lines.size() == 1 ? std::stoi(r.lines[0]) : -1;
        };
        if (access(Path("top").c_str(), W_OK) == 0) failed |= 1;  // the case does not hold here
        if (count(Path("top"), "*.none", "0") != 0) failed |= 2;   // exists, nothing matches
        if (count(Path("top/inner"), "*.none", "1") != 0) failed |= 4;
        if (count(Path("top"), "*", "1") != 2) failed |= 8;          // read-only folders are entered
        if (count(Path("ro"), "*", "1") != 2) failed |= 16;
        TReplyTable size = Call("TEST-FolderSize", {Path("top"), "1"});
        if (size.code != "200" || size.lines != std::vector<std::string>{"     3"}) failed |= 32;
        return failed;
    };

    if (geteuid() != 0) {
        EXPECT_EQ(checks(), 0);
        return;
    }
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int code = 64;
        if (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0) code = checks();
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed checks (bits): " << WEXITSTATUS(status);
}

}  // namespace
