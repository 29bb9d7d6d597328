// What replaces the process for a restart and for an upgrade.
#include "daemon/replace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Texts(const TReplacement& r) {
    std::vector<std::string> out;
    for (char* a : r.argv)
        if (a != nullptr) out.emplace_back(a);
    return out;
}

TEST(Replacement, RunsTheAgentOrTheUpgradeScriptWithTheAgentsArguments) {
    char a0[] = "/usr/sbin/zel", a1[] = "-d", a2[] = "-p", a3[] = "1055", a4[] = "/etc/zel/my zel.cfg";
    char* full[] = {a0, a1, a2, a3, a4, nullptr};
    char* bare[] = {a0, nullptr};
    const String zelpath("/opt/zel/zel");
    const String script("/var/tmp/zelupd__.sh.x1Y2z3");

    struct TCase {
        const char* name;
        TReplacement r;
        const char* path;
        std::vector<std::string> argv;
        const char* announce;
        const char* failure;
    } const cases[] = {
        {"restart", RestartReplacement(zelpath, full), "/opt/zel/zel",
         {"/usr/sbin/zel", "-d", "-p", "1055", "/etc/zel/my zel.cfg"}, "Reload request received. Executing..\n",
         "Error: cannot start new instance\n"},
        {"restart without arguments", RestartReplacement(zelpath, bare), "/opt/zel/zel", {"/usr/sbin/zel"},
         "Reload request received. Executing..\n", "Error: cannot start new instance\n"},
        {"upgrade", UpgradeReplacement(script, full), "/bin/sh",
         {"/bin/sh", "/var/tmp/zelupd__.sh.x1Y2z3", "-d", "-p", "1055", "/etc/zel/my zel.cfg"},
         "Upgrade request received. Executing..\n", "Error: cannot start upgrading script\n"},
        {"upgrade without arguments", UpgradeReplacement(script, bare), "/bin/sh",
         {"/bin/sh", "/var/tmp/zelupd__.sh.x1Y2z3"}, "Upgrade request received. Executing..\n",
         "Error: cannot start upgrading script\n"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(c.r.path, c.path);
        EXPECT_EQ(Texts(c.r), c.argv);
        ASSERT_FALSE(c.r.argv.empty());
        EXPECT_EQ(c.r.argv.back(), nullptr);  // execve's end mark
        EXPECT_EQ(c.r.argv.size(), c.argv.size() + 1);
        EXPECT_STREQ(c.r.announce, c.announce);
        EXPECT_STREQ(c.r.failure, c.failure);
    }
}

}  // namespace
