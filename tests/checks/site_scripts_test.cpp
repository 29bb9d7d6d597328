// The site scripts that ship in scripts/site/, under dash and busybox sh.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "common/scratch_dir.h"
#include "foundation/child.h"

namespace {

const std::string kSiteDir = ZEL_TEST_DATA_DIR "/../../scripts/site";

class SiteScripts : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const std::string shell = Program();
        if (access(shell.c_str(), X_OK) != 0) GTEST_SKIP() << shell << " is not installed";
    }
    static std::string Program() {
        const std::string p = GetParam();
        return p.substr(0, p.find(' '));
    }
    // The script's standard output and error.
    std::string Run(const std::string& script, const std::string& arg = "") {
        const std::string out = dir_.File("out");
        std::string cmd = std::string(GetParam()) + " '" + kSiteDir + "/" + script + "'";
        if (!arg.empty()) cmd += " '" + arg + "'";
        int code = -1;
        String err;
        EXPECT_TRUE(RunProgramWithFiles(cmd.c_str(), nullptr, nullptr, out.c_str(), out.c_str(), 20000, code, err))
            << err.Data();
        return ReadTextFile(out);
    }
    TScratchDir dir_;
};

TEST_P(SiteScripts, ProcessCount) {
    // This program's command name is cut to 15 characters by the kernel; the
    // full name still matches, a cut one does not.
    // (Test programs may run side by side: at least this one.)
    const std::string full = Run("proccount.sh", "proc_checks_tests");
    EXPECT_GE(std::atoi(full.c_str()), 1) << full;
    EXPECT_EQ(full.back(), '\n');
    EXPECT_EQ(Run("proccount.sh", "proc_checks_te"), "0\n");
    EXPECT_EQ(Run("proccount.sh", "zel no such; process"), "0\n");
}

// A script with a long name started through its "#!" line: the command line
// begins with the interpreter, the script's path follows it.
TEST_P(SiteScripts, ProcessCountOfLongNamedScripts) {
    const std::string id = std::to_string(getpid());
    struct TCase {
        std::string name, firstLine;
    } cases[] = {
        {"zel-site-" + id + "-plain.sh", "#!/bin/sh"},
        {"zel-site-" + id + "-option.sh", "#!/bin/sh -e"},
    };
    // The scripts wait on a pipe no one writes to, with no child of their own.
    const std::string fifo = dir_.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const TCase& c : cases) {
        const std::string path = dir_.File(c.name);
        ASSERT_TRUE(WriteTextFile(path, c.firstLine + "\nread x < '" + fifo + "'\n"));
        chmod(path.c_str(), 0755);
        const pid_t pid = fork();
        if (pid == 0) {
            execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        std::string out;
        for (int i = 0; i < 100 && (out = Run("proccount.sh", c.name)) != "1\n"; ++i) usleep(20000);
        EXPECT_EQ(out, "1\n") << c.name;
        EXPECT_EQ(Run("proccount.sh", c.name + "x"), "0\n") << c.name;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

// Control characters in a command line are escaped, so a process cannot put
// a line of its own into the list.
TEST_P(SiteScripts, ProcessListEscapesControlCharacters) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "zel-forger", "-c", "while :; do sleep 1; done", "x\rroot     sshd\\", "\n1 root init",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string line, mine = "\n";
    mine += std::to_string(pid);
    mine += ' ';
    for (int i = 0; i < 100 && line.empty(); ++i) {
        const std::string out = Run("proclist.sh");
        const size_t at = out.find(mine);
        if (at != std::string::npos && out.find("zel-forger", at) != std::string::npos)
            line = out.substr(at + 1, out.find('\n', at + 1) - at - 1);
        else
            usleep(20000);
        EXPECT_EQ(out.find('\r'), std::string::npos);
        EXPECT_EQ(out.find("\n1 root init"), std::string::npos);
    }
    EXPECT_NE(line.find(" zel-forger -c while :; do sleep 1; done x\\x0droot     sshd\\\\ \\x0a1 root init"),
              std::string::npos)
        << line;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST_P(SiteScripts, CpuUsage) {
    const std::string out = Run("cpuusage.sh");
    // Digits, a point, one digit, a line feed.
    const size_t point = out.find('.');
    EXPECT_TRUE(point != std::string::npos && point > 0 && out.size() == point + 3 && out.back() == '\n' &&
                out.find_first_not_of("0123456789") == point && std::isdigit(static_cast<unsigned char>(out[point + 1])))
        << out;
    EXPECT_LE(std::stod(out), 100.0);
}

TEST_P(SiteScripts, ProcessList) {
    const std::string out = Run("proclist.sh");
    EXPECT_EQ(out.rfind("PID ", 0), 0u) << out.substr(0, 80);
    std::string me = "\n";
    me += std::to_string(getpid());
    me += ' ';
    const size_t at = out.find(me);
    ASSERT_NE(at, std::string::npos);
    const std::string line = out.substr(at + 1, out.find('\n', at + 1) - at - 1);
    const size_t name = line.find(" proc_checks_tes ");
    EXPECT_NE(name, std::string::npos) << line;
    EXPECT_NE(line.find("proc_checks_tests", name + 1), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Shells, SiteScripts, ::testing::Values("/bin/dash", "/usr/bin/busybox sh"),
                         [](const auto& info) {
                             return std::string(std::string(info.param).find("busybox") != std::string::npos
                                                    ? "busybox"
                                                    : "dash");
                         });

}  // namespace
