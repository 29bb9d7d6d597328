// "ACT-ExternalCmd": parameters, working directory, time-limit modes.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/handler_fixture.h"
#include "common/scratch_dir.h"
#include "foundation/child.h"
#include "foundation/child_reaper.h"

namespace {

using CommandAction = HandlerFixture;

TEST_F(CommandAction, AnswersByTable) {
    TScratchDir dir;
    struct Case {
        const char* name;
        std::vector<std::string> params;
        std::string raw;
    };
    const Case cases[] = {
        {"exit code", {"/bin/sh -c 'exit 7'", "", "0", "0"}, "200\n7\n"},
        {"parameter 3 not a number", {"/bin/true", "", "abc", "0"}, "501\nWrong parameter"},
        {"time limit not a number", {"/bin/true", "", "0", "1.5"}, "501\nWrong parameter"},
        {"numbers checked before the command", {"", "", "x", "0"}, "501\nWrong parameter"},
        {"empty command line", {"", "", "0", "0"}, "501\nCommand line to execute is not specified"},
        {"missing program", {"/no/such/program", "", "0", "0"}, "301\nexec error: No such file or directory"},
        {"killed at its limit", {"/bin/sleep 5", "", "0", "10"}, "301\nabnormal termination"},
    };
    for (const Case& c : cases) {
        TReplyTable r = Call("ACT-ExternalCmd", c.params);
        EXPECT_EQ(r.raw, c.raw) << c.name;
    }
}

// The command runs in the working directory; a missing one leaves the
// agent's own, and the command still runs.
TEST_F(CommandAction, WorkingDirectory) {
    TScratchDir dir;
    EXPECT_EQ(Call("ACT-ExternalCmd", {"/usr/bin/touch made-here", dir.Path(), "0", "0"}).raw, "200\n0\n");
    EXPECT_TRUE(std::filesystem::exists(dir.File("made-here")));
    TScratchDir other;
    EXPECT_EQ(Call("ACT-ExternalCmd", {"/usr/bin/touch " + other.File("abs"), dir.File("missing"), "0", "0"}).raw,
              "200\n0\n");
    EXPECT_TRUE(std::filesystem::exists(other.File("abs")));
}

// -1 answers once the one-second look is over while the command goes on;
// the command is reaped when it ends.
TEST_F(CommandAction, StartOnlyLeavesTheCommandRunningAndReapsItLater) {
    TScratchDir dir;
    const std::string mark = dir.File("done");
    TReplyTable r = Call("ACT-ExternalCmd", {"/bin/sh -c 'sleep 2; touch " + mark + "'", "", "0", "-1"});
    EXPECT_EQ(r.raw, "200\n0\n");
    EXPECT_FALSE(std::filesystem::exists(mark));
    for (int i = 0; i < 200 && (PendingReapCount() > 0 || !std::filesystem::exists(mark)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(std::filesystem::exists(mark));
    EXPECT_EQ(PendingReapCount(), 0);
}

}  // namespace
