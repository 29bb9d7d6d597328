// The assertion stop names the file, line and function of its caller.
#include "foundation/fault.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A function that states its precondition with the assertion helper.
int Halve(int even) {
    if (even % 2 != 0) AssertFault("even % 2 == 0");
    return even / 2;
}
const int kHalveFaultLine = __LINE__ - 3;

TEST(FaultDeathTest, ReportsTheCallersFileLineAndFunction) {
    ASSERT_EQ(Halve(4), 2);
    struct TCase {
        const char* name;
        void (*call)();
        std::string expected;  // an extended regular expression
    };
    const TCase cases[] = {
        {"from a function", [] { Halve(3); },
         "fault_test\\.cpp:" + std::to_string(kHalveFaultLine) +
             ": int .*Halve\\(int\\): Assertion `even % 2 == 0' failed\\."},
        {"the expression verbatim", [] { AssertFault("a<b && \"text\""); },
         "fault_test\\.cpp:[0-9]+: .*: Assertion `a<b && \"text\"' failed\\."},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(c.call(), c.expected);
    }
}

TEST(FaultDeathTest, NamesTheFileWithoutItsFolders) {
    EXPECT_DEATH(AssertFault("0"), ": fault_test\\.cpp:[0-9]+: ");
}

}  // namespace
