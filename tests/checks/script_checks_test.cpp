// The external-program and shell-script tests.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/proc_walk.h"
#include "foundation/child.h"
#include "foundation/child_reaper.h"
#include "foundation/escape.h"
#include "proc_fixture.h"

namespace {

using Lines = std::vector<std::string>;

std::string Enc(const std::string& text) { return zelEncodeStrings(String(text)).Std(); }

class ScriptTests : public ProcFixture {};

TEST_F(ScriptTests, ExternalProgram) {
    struct TCase {
        std::vector<std::string> params;
        std::string code;
        Lines lines;
    } cases[] = {
        {{"sh -c 'exit 2'"}, "200", {"2"}},
        {{"sh -c 'exit 2'", "", "", ""}, "200", {"2"}},
        {{"/bin/true", "", "", "abc"}, "501", {"Wrong parameter"}},
        {{"", "", "", "abc"}, "501", {"Wrong parameter"}},
        {{"  ", "", "", "0"}, "501", {"Command line to execute is not specified"}},
        {{"/nonexistent/zel-prog"}, "301", {"exec error: No such file or directory"}},
        {{"sleep 10", "", "", "200"}, "301", {"abnormal termination"}},
        {{"sleep 1.5", "", "", "-1"}, "200", {"0"}},
    };
    for (const TCase& c : cases) {
        const TReplyTable r = Call("TEST-ExternalPrg", c.params);
        EXPECT_EQ(r.code, c.code) << c.params[0];
        EXPECT_EQ(r.lines, c.lines) << c.params[0];
    }
    // The child that outlived the look is reaped once it ends.
    EXPECT_TRUE(Eventually([] { return PendingReapCount() == 0; }));
}

struct TScriptCase {
    const char* name;
    std::string templ, body, params, seconds, wanted;
    std::string code;
    Lines lines;
};

TEST_F(ScriptTests, ShellScript) {
    const TScriptCase cases[] = {
        {"placeholders in any case", "/bin/sh %SCRIPT% %Params%", "echo one\necho SCRIPTRES:ok $1\necho three\n",
         "p1", "", "0", "200", {"SCRIPTRES:ok p1", ""}},
        // 64 MiB of "y" lines: the writer ends at the cap and the text says so.
        {"a command writes past the output cap", "/bin/sh %script%", "yes\necho SCRIPTRES:never\n", "", "", "1",
         "200", {"y", "y\r\n[output cut at 64 MiB]\r\n"}},
        {"the script itself writes past the output cap", "/bin/sh %script%", "exec yes\n", "", "", "0", "200",
         {"y", "[output cut at 64 MiB]\r\n"}},
        {"first lines", "/bin/sh %script% %params%", "echo one\necho SCRIPTRES:ok $1\necho three\n", "p1", "", "5",
         "200", {"SCRIPTRES:ok p1", "one\r\nSCRIPTRES:ok p1\r\nthree\r\n"}},
        {"last line without result line", "/bin/sh %script%", "echo a\n\necho '  b  '\necho\n", "", "", "1", "200",
         {"b", "a\r\n"}},
        {"no output", "/bin/sh %script%", "true\n", "", "", "3", "200", {"", ""}},
        {"CR LF script", "/bin/sh %script%", "x=1\r\necho \"scriptres:[$x]\"\r\n", "", "", "0", "200",
         {"scriptres:[1]", ""}},
        {"stdout and stderr both kept", "/bin/sh %script%",
         "for i in 1 2 3; do echo out$i; echo err$i >&2; done\necho scriptres:done\n", "", "", "10", "200",
         {"scriptres:done", "out1\r\nerr1\r\nout2\r\nerr2\r\nout3\r\nerr3\r\nscriptres:done\r\n"}},
        {"run directly, no #! line", "%script% a", "echo \"scriptres:$1\"\n", "", "", "0", "200", {"scriptres:a", ""}},
        {"private script file", "%script%", "echo \"scriptres:$(stat -c %a \"$0\")\"\n", "", "", "0", "200",
         {"scriptres:700", ""}},
        {"no standard input", "/bin/sh %script%", "cat\necho scriptres:$?\n", "", "", "0", "200",
         {"scriptres:0", ""}},
        {"time limit", "/bin/sh %script%", "sleep 10\n", "", "1", "0", "301",
         {"Script execution error: abnormal termination"}},
        {"huge time limit does not wrap", "/bin/sh %script%", "echo scriptres:ok\n", "", "3000000", "0", "200",
         {"scriptres:ok", ""}},
        {"empty template", "", "echo x\n", "", "", "0", "301",
         {"Script execution error: exec error: No such file or directory"}},
        {"missing interpreter", "/nonexistent/sh %script%", "echo x\n", "", "", "0", "301",
         {"Script execution error: exec error: No such file or directory"}},
    };
    for (const TScriptCase& c : cases) {
        const TReplyTable r =
            Call("TEST-ShellScript", {c.templ, Enc(c.body), Enc(c.params), c.seconds, c.wanted});
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_EQ(r.lines, c.lines) << c.name;
        EXPECT_EQ(TempEntries(), 0) << c.name;
    }
}

TEST_F(ScriptTests, KilledScriptTakesItsBackgroundWithIt) {
    const std::string marker = File("X");
    const std::string pidFile = File("background.pid");
    const std::string body = "(sleep 3; touch " + marker + ") & echo $! > " + pidFile + "; wait";
    const TReplyTable r = Call("TEST-ShellScript", {"sh -c '%params%'", "", Enc(body), "1", "0"});
    EXPECT_EQ(r.lines, Lines{"Script execution error: abnormal termination"});
    // The background part ends either killed with the script or, left
    // alive, after touching the marker.
    const pid_t background = static_cast<pid_t>(std::atol(ReadTextFile(pidFile).c_str()));
    ASSERT_GT(background, 0);
    ASSERT_TRUE(Eventually([&] { return proc_walk::ProcessEnded(background); }));
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(ScriptTests, UnusableTemporaryFolder) {
    SetTempDirectory(String(File("no-such-folder")));
    const TReplyTable r = Call("TEST-ShellScript", {"/bin/sh %script%", Enc("echo x\n"), "", "", "0"});
    EXPECT_EQ(r.code, "301");
    EXPECT_EQ(r.lines, Lines{"Cannot create temp file"});
    SetTempDirectory(String(TempDir()));
}

}  // namespace
