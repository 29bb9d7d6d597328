// The process-count, CPU and process-list requests over their site scripts.
#include <filesystem>
#include <string>
#include <vector>

#include "checks/script_output.h"
#include "checks/site_script.h"
#include "proc_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class ProcessTests : public ProcFixture {
protected:
    // A script printing `out` as the script of every kind.
    void UseScript(const std::string& path) {
        Settings([&](TZELSettings& s) { s.proccntscript = s.cpuusagescript = s.proclistscript = String(path); });
    }
    std::string Printing(const std::string& out) {
        return Script("print.sh", "#!/bin/sh\nprintf '%s' '" + out + "'\n");
    }
};

// A configured script that is not there, or a folder, is an error; an empty
// setting means the agent's own answer (proc_scan_test.cpp,
// cpu_sampler_test.cpp).
TEST_F(ProcessTests, ScriptMissing) {
    struct TCase {
        const char* word;
        String TZELSettings::*field;
        const char* missing;
    } cases[] = {
        {"TEST-Process", &TZELSettings::proccntscript, "ProcCnt script doesn't exist"},
        {"TEST-CPU", &TZELSettings::cpuusagescript, "CPUUsage script doesn't exist"},
        {"GetProcessesList", &TZELSettings::proclistscript, "ProcList script doesn't exist"},
    };
    const std::string dir = File("sub");
    std::filesystem::create_directory(dir);
    for (const TCase& c : cases) {
        for (const std::string& path : {dir, dir + "/", File("nothing-here")}) {
            Settings([&](TZELSettings& s) { s.*c.field = String(path); });
            const TReplyTable r = Call(c.word, {"", "name"});
            EXPECT_EQ(r.code, "301") << c.word;
            EXPECT_EQ(r.lines, Lines{c.missing}) << c.word << " " << path;
        }
    }
}

TEST_F(ProcessTests, ProcessCount) {
    struct TCase {
        std::string out;
        std::string code;
        Lines lines;
    } cases[] = {
        {"3\n", "200", {"3"}},
        {"  \n 42 processes\n", "200", {"42"}},
        {"", "301", {"Script error"}},
        {"none\n", "301", {"Script error"}},
        {"4294967299\n", "301", {"Script error"}},
    };
    for (const TCase& c : cases) {
        UseScript(Printing(c.out));
        const TReplyTable r = Call("TEST-Process", {"", "sshd"});
        EXPECT_EQ(r.code, c.code) << c.out;
        EXPECT_EQ(r.lines, c.lines) << c.out;
    }
    UseScript(Printing("3"));
    const TReplyTable r = Call("TEST-Process", {"ignored", " "});
    EXPECT_EQ(r.code, "501");
    EXPECT_EQ(r.lines, Lines{"Name of the process is not specified"});
}

TEST_F(ProcessTests, CpuUsage) {
    struct TCase {
        std::string out;
        std::string code;
        Lines lines;
    } cases[] = {
        {"12.5\n", "200", {"12.5000"}},
        {" 0\n", "200", {"0.0000"}},
        {"nan\n", "301", {"Script error"}},
        {"inf\n", "301", {"Script error"}},
        {"", "301", {"Script error"}},
    };
    for (const TCase& c : cases) {
        UseScript(Printing(c.out));
        const TReplyTable r = Call("TEST-CPU");
        EXPECT_EQ(r.code, c.code) << c.out;
        EXPECT_EQ(r.lines, c.lines) << c.out;
    }
}

TEST_F(ProcessTests, ProcessList) {
    UseScript(Printing("1 root init\n2 root kthreadd\n\n"));
    TReplyTable r = Call("GetProcessesList");
    EXPECT_EQ(r.code, "200");
    EXPECT_EQ(r.lines, Lines{"1 root init\r\n2 root kthreadd\r\n"});
    UseScript(Printing(""));
    r = Call("GetProcessesList");
    EXPECT_EQ(r.code, "200");
    EXPECT_EQ(r.lines, Lines{""});
}

// Whatever the name holds, it reaches the script as its one argument and is
// never run by a shell.
TEST_F(ProcessTests, NameIsOneArgumentNeverShellText) {
    const std::string owned = File("owned");
    const std::string script = Script("args.sh", "#!/bin/sh\nprintf '%s\\n' \"$#\" > \"" + File("argc") +
                                                     "\"\nprintf '%s' \"$1\" > \"" + File("argv1") + "\"\necho 1\n");
    UseScript(script);
    const std::vector<std::string> names = {
        "x; touch " + owned, "x & touch " + owned, "$(touch " + owned + ")", "`touch " + owned + "`",
        "x | touch " + owned, "a \\ b", "name with  blanks", "'quoted' \"both\"",
    };
    for (const std::string& name : names) {
        const TReplyTable r = Call("TEST-Process", {"", name});
        EXPECT_EQ(r.code, "200") << name;
        EXPECT_EQ(ReadTextFile(File("argc")), "1\n") << name;
        EXPECT_EQ(ReadTextFile(File("argv1")), name) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(owned));
}

TEST_F(ProcessTests, ScriptPathsAndHowTheScriptRuns) {
    // A path with a blank; no "#!" line; output on 1, 2 and 3 alike; no input.
    UseScript(Script("my scripts/count", "read line; echo \"[$line]\" >&2; echo 7 >&3\n"));
    TReplyTable r = Call("TEST-Process", {"", "x"});
    EXPECT_EQ(r.code, "301");  // "[]" comes first
    EXPECT_EQ(r.lines, Lines{"Script error"});
    r = Call("GetProcessesList");
    EXPECT_EQ(r.lines, Lines{"[]\r\n7\r\n"});
    UseScript(Script("my scripts/count", "echo 7 >&3\n"));
    EXPECT_EQ(Call("TEST-Process", {"", "x"}).lines, Lines{"7"});

    // Not executable: the script cannot be run at all.
    const std::string plain = Script("plain.sh", "#!/bin/sh\necho 1\n");
    chmod(plain.c_str(), 0644);
    UseScript(plain);
    r = Call("TEST-CPU");
    EXPECT_EQ(r.code, "301");
    EXPECT_EQ(r.lines, Lines{"Cannot execute script"});
}

TEST_F(ProcessTests, HungScriptIsKilledAndItsOutputKept) {
    const String script(Script("slow.sh", "#!/bin/sh\necho 5\nsleep 30 &\nwait\n"));
    TFd output;
    ASSERT_EQ(RunSiteScript(script, nullptr, output, 200), TSiteRun::Ok);
    int n = 0;
    EXPECT_TRUE(ParseLeadingInt(ReadPrefix(output.Get(), 100), n));
    EXPECT_EQ(n, 5);
}

// A configured script is run, whatever the agent would answer itself.
TEST_F(ProcessTests, ConfiguredScriptWins) {
    UseScript(Script("fixed.sh", "#!/bin/sh\nprintf '7\\n'\n"));
    EXPECT_EQ(Call("TEST-Process", {"", "no-such-process-anywhere"}).lines, Lines{"7"});
    EXPECT_EQ(Call("TEST-CPU").lines, Lines{"7.0000"});
    EXPECT_EQ(Call("GetProcessesList").lines, Lines{"7\r\n"});
}

}  // namespace
