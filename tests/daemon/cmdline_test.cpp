#include "daemon/cmdline.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Case {
    std::vector<const char*> args;  // after the program name
    bool ok;
    const char* error;
    int interactive, verbose, debugverbose, port;
    const char* cfgfile;
    bool help = false, version = false;
};

TEST(CommandLine, Grammar) {
    const char* missing = "Error\nInvalid or missed command line parameter";
    const char* badPort = "Error\nInvalid port number";
    const Case cases[] = {
        {{}, false, missing, 0, 0, 0, 0, ""},
        {{"zel.cfg"}, true, "", 0, 0, 0, 0, "zel.cfg"},
        {{"-i", "-v", "-p", "1055", "a.cfg"}, true, "", 1, 1, 0, 1055, "a.cfg"},
        {{"-d", "-vd", "a.cfg"}, true, "", 0, 1, 1, 0, "a.cfg"},
        {{"-v", "-vd", "a.cfg"}, true, "", 0, 1, 1, 0, "a.cfg"},
        // Options in any order before the file; a later one of a pair wins.
        {{"-vd", "-v", "a.cfg"}, true, "", 0, 1, 0, 0, "a.cfg"},
        {{"-v", "-i", "a.cfg"}, true, "", 1, 1, 0, 0, "a.cfg"},
        {{"-p", "2000", "-vd", "-i", "a.cfg"}, true, "", 1, 1, 1, 2000, "a.cfg"},
        {{"-i", "-d", "a.cfg", "-i"}, true, "", 0, 0, 0, 0, "a.cfg"},
        {{"-x", "a.cfg"}, false, "Error\nUnknown option -x", 0, 0, 0, 0, ""},
        {{"--help"}, true, "", 0, 0, 0, 0, "", true},
        {{"-h"}, true, "", 0, 0, 0, 0, "", true},
        {{"-i", "--version", "a.cfg"}, true, "", 1, 0, 0, 0, "", false, true},
        {{"-"}, true, "", 0, 0, 0, 0, "-"},
        {{"-i", "-p", "0", "a.cfg"}, false, badPort, 1, 0, 0, 0, ""},
        {{"-p", "65536", "a.cfg"}, false, badPort, 0, 0, 0, 0, ""},
        {{"-p", "65535", "a.cfg"}, true, "", 0, 0, 0, 65535, "a.cfg"},
        {{"-p"}, false, missing, 0, 0, 0, 0, ""},
        {{"-i"}, false, missing, 1, 0, 0, 0, ""},
        {{"-p", "99999999999", "a.cfg"}, false, badPort, 0, 0, 0, 0, ""},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv{"zel"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(c.args));
        TCommandLine out;
        std::string error;
        ASSERT_EQ(ParseCommandLine(static_cast<int>(argv.size()), argv.data(), out, error), c.ok);
        EXPECT_EQ(error, c.error);
        if (!c.ok) continue;
        EXPECT_EQ(out.interactive, c.interactive);
        EXPECT_EQ(out.verbose, c.verbose);
        EXPECT_EQ(out.debugverbose, c.debugverbose);
        EXPECT_EQ(out.port, c.port);
        EXPECT_EQ(out.cfgfile, c.cfgfile);
        EXPECT_EQ(out.help, c.help);
        EXPECT_EQ(out.version, c.version);
    }
}

TEST(CommandLine, VersionNamesPackageAndProtocol) {
    EXPECT_EQ(VersionText(), "zel " ZEL_TEST_VERSION " (agent protocol 1.29)\n");
}

TEST(CommandLine, LongPathIsCut) {
    std::string path(600, 'x');
    const char* argv[] = {"zel", path.c_str()};
    TCommandLine out;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(2, argv, out, error));
    EXPECT_EQ(out.cfgfile.size(), 511u);
}

// The self-check is the option alone; anywhere else it is no option.
TEST(CommandLine, SelfCheckOnlyAlone) {
    struct SelfCase {
        std::vector<const char*> args;  // after the program name
        bool selfCheck;
    };
    const SelfCase cases[] = {
        {{"--self-check"}, true},
        {{}, false},
        {{"--self-check", "a.cfg"}, false},
        {{"-i", "--self-check"}, false},
        {{"--self-checks"}, false},
        {{"-self-check"}, false},
    };
    for (const SelfCase& k : cases) {
        std::vector<const char*> argv{"zel"};
        argv.insert(argv.end(), k.args.begin(), k.args.end());
        EXPECT_EQ(IsSelfCheck(static_cast<int>(argv.size()), argv.data()), k.selfCheck) << argv.size();
    }
    EXPECT_EQ(SelfCheckLine(), "QD Zelmark 1.29\n");
}

}  // namespace
