// The upgrade script, run by /bin/sh as the agent runs it: it installs the
// new executable by a rename and always starts the executable at the old
// path again with the agent's arguments, whatever the paths hold.
#include "daemon/upgrade.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/scratch_dir.h"

namespace {

// Runs the script with /bin/sh and the arguments; returns the exit status.
int RunScript(const std::string& script, const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>("/bin/sh"), const_cast<char*>(script.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv("/bin/sh", argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// An "agent" that writes its name and arguments to `log`.
std::string FakeAgent(const std::string& name, const std::string& log) {
    return "#!/bin/sh\nprintf '%s|' '" + name + "' \"$@\" >> '" + log + "'\n";
}

TEST(UpgradeScript, InstallsAndRestartsWithTheSameArguments) {
    for (const std::string folder : {"bin", "my agent's bin", "a$b `c` \"d\""}) {
        SCOPED_TRACE(folder);
        TScratchDir dir;
        std::filesystem::create_directories(dir.File(folder));
        const std::string zel = dir.File(folder) + "/zel";
        const std::string image = dir.File(folder) + "/zel__.upd";
        const std::string script = dir.File(folder) + "/zelupd__.sh";
        const std::string log = dir.File("log");
        WriteTextFile(zel, FakeAgent("old", log));
        WriteTextFile(image, FakeAgent("new", log));
        WriteTextFile(script, std::string(BuildUpgradeScript(String(zel), String(image), String(script)).View()));
        EXPECT_EQ(RunScript(script, {"-i", "-v", "my cfg.cfg"}), 0);
        EXPECT_EQ(ReadTextFile(log), "new|-i|-v|my cfg.cfg|");
        EXPECT_EQ(ReadTextFile(zel), FakeAgent("new", log));
        struct stat st {};
        ASSERT_EQ(stat(zel.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        EXPECT_FALSE(std::filesystem::exists(image));
        EXPECT_FALSE(std::filesystem::exists(script));
    }
}

// A copy that fails (here: no image at all) leaves the old executable in
// place, and it is started again.
TEST(UpgradeScript, AFailedInstallStartsTheOldExecutable) {
    TScratchDir dir;
    const std::string zel = dir.File("zel");
    const std::string log = dir.File("log");
    const std::string script = dir.File("zelupd__.sh");
    WriteTextFile(zel, FakeAgent("old", log));
    chmod(zel.c_str(), 0755);
    WriteTextFile(script, std::string(BuildUpgradeScript(String(zel), String(dir.File("missing")), String(script)).View()));
    EXPECT_EQ(RunScript(script, {"-p", "1234"}), 0);
    EXPECT_EQ(ReadTextFile(log), "old|-p|1234|");
    EXPECT_EQ(ReadTextFile(zel), FakeAgent("old", log));
    // Nothing half-copied is left beside it.
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.Path())) entries += e.path().filename() != "log";
    EXPECT_EQ(entries, 1);
}

}  // namespace
