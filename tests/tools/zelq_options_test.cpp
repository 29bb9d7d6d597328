#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "zelq/options.h"
#include "zelq/usage.h"
#include "zelq_fixture.h"

namespace {

using Args = std::vector<std::string>;

struct TGoodCase {
    const char* label;
    Args args;
    std::string host;
    int port;
    int timeoutMs;
    TZelqFormat format;
    bool literal;
    std::string command;
    Args params;
};

TEST(ZelqOptions, AcceptedCommandLines) {
    const TGoodCase cases[] = {
        {"defaults", {"GetInfo"}, "127.0.0.1", 1055, 10000, TZelqFormat::Decoded, false, "GetInfo", {}},
        {"separate values",
         {"-H", "agent.example", "-p", "2000", "-t", "3", "GetSettings"},
         "agent.example", 2000, 3000, TZelqFormat::Decoded, false, "GetSettings", {}},
        {"attached values", {"-H10.0.0.5", "-p65535", "-t0.25", "X"}, "10.0.0.5", 65535, 250,
         TZelqFormat::Decoded, false, "X", {}},
        {"fraction without whole part", {"-t", ".5", "X"}, "127.0.0.1", 1055, 500, TZelqFormat::Decoded, false, "X", {}},
        {"formats and literal", {"--json", "--literal", "X", "@a"}, "127.0.0.1", 1055, 10000, TZelqFormat::Json, true,
         "X", {"@a"}},
        {"raw given twice", {"--raw", "--raw", "X"}, "127.0.0.1", 1055, 10000, TZelqFormat::Raw, false, "X", {}},
        {"options after the command are parameters",
         {"SetSettings", "-p", "5", "--raw", "", "Comment=a b"},
         "127.0.0.1", 1055, 10000, TZelqFormat::Decoded, false, "SetSettings", {"-p", "5", "--raw", "", "Comment=a b"}},
        {"double dash ends the options", {"--", "-odd", "x"}, "127.0.0.1", 1055, 10000, TZelqFormat::Decoded, false,
         "-odd", {"x"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TZelqOptions o;
        std::string err;
        ASSERT_TRUE(ParseZelqArgs(c.args, o, err)) << err;
        EXPECT_EQ(o.host, c.host);
        EXPECT_EQ(o.port, c.port);
        EXPECT_EQ(o.timeoutMs, c.timeoutMs);
        EXPECT_EQ(o.format, c.format);
        EXPECT_EQ(o.literal, c.literal);
        EXPECT_EQ(o.command, c.command);
        EXPECT_EQ(o.params, c.params);
        EXPECT_FALSE(o.help);
        EXPECT_FALSE(o.version);
    }
}

TEST(ZelqOptions, RefusedCommandLines) {
    const struct {
        Args args;
        const char* reason;  // part of the message
    } cases[] = {
        {{}, "no command"},
        {{"-p", "1055"}, "no command"},
        {{"--"}, "no command"},
        {{"-p"}, "-p needs a value"},
        {{"GetInfo", "-p"}, nullptr},  // fine: a parameter (checked below)
        {{"-p", "0", "X"}, "port number"},
        {{"-p", "65536", "X"}, "port number"},
        {{"-p", "12a", "X"}, "port number"},
        {{"-p", "-1", "X"}, "port number"},
        {{"-t", "0", "X"}, "time-out"},
        {{"-t", "0.0001", "X"}, "time-out"},
        {{"-t", "abc", "X"}, "time-out"},
        {{"-t", "1.", "X"}, "time-out"},
        {{"-t", "86401", "X"}, "time-out"},
        {{"-H", "", "X"}, "host"},
        {{"-f", "", "X"}, "file name"},
        {{"-x", "X"}, "unknown option -x"},
        {{"--bogus", "X"}, "unknown option --bogus"},
        {{"--raw", "--json", "X"}, "cannot be used together"},
        {{""}, "one word"},
        {{"Get\nInfo"}, "one word"},
        {{"GetInfo\r"}, "one word"},
        // Plugin mode.
        {{"--plugin", "-w", "10", "-c20", "--value", "2", "--state", "/s", "--service", "X", "TEST-UNC", "/"},
         nullptr},
        {{"--plugin", "-H", "h", "-p", "1", "-t", "2", "-P", "p", "-f", "f", "GetInfo"}, nullptr},
        {{"--plugin", "--value=3", "GetInfo"}, nullptr},
        {{"-w", "10", "GetInfo"}, "-w and -c need --plugin"},
        {{"--state", "/s", "GetInfo"}, "--state needs --plugin"},
        {{"--value", "1", "GetInfo"}, "--value needs --plugin or several hosts"},
        {{"--plugin", "-w", "20:10", "GetInfo"}, "-w: \"20:10\" is no range"},
        {{"--plugin", "-c"}, "-c needs a value"},
        {{"--plugin", "--value", "0", "GetInfo"}, "--value needs a value line number"},
        {{"--plugin", "--json", "GetInfo"}, "--raw and --json do not apply"},
        {{"--plugin", "-H", "a", "-H", "b", "GetInfo"}, "--plugin checks one agent"},
        {{"--plugin", "--service", "a|b", "GetInfo"}, "must not contain"},
    };
    for (const auto& c : cases) {
        TZelqOptions o;
        std::string err;
        const bool ok = ParseZelqArgs(c.args, o, err);
        if (c.reason == nullptr) {
            EXPECT_TRUE(ok) << err;
            continue;
        }
        EXPECT_FALSE(ok) << c.reason;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
    }
}

TEST(ZelqOptions, PluginValues) {
    TZelqOptions o;
    std::string err;
    ASSERT_TRUE(ParseZelqArgs({"--plugin", "-w", "10", "-c20", "--value", "2", "TEST-UNC"}, o, err)) << err;
    EXPECT_TRUE(o.plugin);
    EXPECT_EQ(o.warning.text, "10");
    EXPECT_EQ(o.critical.end, 20);
    EXPECT_EQ(o.valueIndex, 2);
}

TEST(ZelqOptions, HelpAndVersionNeedNoCommand) {
    for (const char* a : {"--help", "-h"}) {
        TZelqOptions o;
        std::string err;
        ASSERT_TRUE(ParseZelqArgs({"-p", "7", a}, o, err));
        EXPECT_TRUE(o.help);
    }
    TZelqOptions o;
    std::string err;
    ASSERT_TRUE(ParseZelqArgs({"--version"}, o, err));
    EXPECT_TRUE(o.version);
}

TEST(ZelqOptions, RemembersWhereThePasswordLies) {
    TZelqOptions o;
    std::string err;
    ASSERT_TRUE(ParseZelqArgs({"-p", "9", "-P", "s3cret", "X"}, o, err));
    EXPECT_EQ(o.password, "s3cret");
    EXPECT_EQ(o.passwordArgIndex, 3);
    EXPECT_EQ(o.passwordArgOffset, 0u);

    TZelqOptions attached;
    ASSERT_TRUE(ParseZelqArgs({"-Ps3cret", "X"}, attached, err));
    EXPECT_EQ(attached.password, "s3cret");
    EXPECT_EQ(attached.passwordArgIndex, 0);
    EXPECT_EQ(attached.passwordArgOffset, 2u);
}

// ----------------------------------------------------------- the option table

const struct {
    unsigned mode;
    const char* label;
    Args args;  // a command line that asks for the mode
} kModes[] = {
    {kModeSingle, "one agent", {}},
    {kModeUpgrade, "upgrade", {"--upgrade", "zel.new"}},
    {kModePlugin, "plugin", {"--plugin"}},
    {kModeFleet, "fleet", {"-H", "a", "-H", "b"}},
};

// The option with a value its kind accepts.
Args Given(const TOptionRow& row) {
    Args a{OptionName(row)};
    switch (row.kind) {
    case TOptionValue::None: break;
    case TOptionValue::Port:
    case TOptionValue::Seconds:
    case TOptionValue::Number:
    case TOptionValue::Range: a.push_back("1"); break;
    default: a.push_back("x"); break;
    }
    return a;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

Args CommandLine(const Args& mode, const TOptionRow& row, bool upgrade) {
    Args args = mode;
    const Args option = Given(row);
    args.insert(args.end(), option.begin(), option.end());
    if (!upgrade && std::string(row.longName) != "upgrade") args.push_back("GetInfo");
    return args;
}

TEST(ZelqOptionTable, RowsAreWhole) {
    std::vector<std::string> names;
    for (const TOptionRow& row : ZelqOptionTable()) {
        const std::string name = OptionName(row);
        SCOPED_TRACE(name);
        EXPECT_TRUE(row.shortName != 0 || row.longName[0] != '\0');
        EXPECT_EQ(std::count(names.begin(), names.end(), name), 0) << "named twice";
        names.push_back(name);
        EXPECT_NE(row.set, nullptr);
        EXPECT_NE(row.help[0], '\0');
        EXPECT_EQ(row.kind == TOptionValue::None, row.valueName[0] == '\0');
        if (row.kind == TOptionValue::Number) {
            EXPECT_LE(row.min, row.max);
        }
        if (row.defines != 0) {
            EXPECT_EQ(row.modes, row.defines);
        }
        if (row.excludes[0] != '\0') {
            const TOptionRow* other = nullptr;
            for (const TOptionRow& r : ZelqOptionTable())
                if (std::string(r.longName) == row.excludes) other = &r;
            ASSERT_NE(other, nullptr) << row.excludes;
            EXPECT_EQ(other->excludes, std::string(row.longName)) << "exclusion one way only";
        }
        // Every mode outside the row's has its error: a refusal, or for an
        // option that asks for a mode, a conflict of the two.
        for (const auto& m : kModes) {
            int refusals = 0;
            for (const TOptionRefusal& r : row.refusals)
                if ((r.modes & m.mode) != 0) ++refusals;
            if ((row.modes & m.mode) != 0) {
                EXPECT_EQ(refusals, 0) << m.label;
            } else if (row.defines != 0) {
                if (m.mode == kModeSingle) continue;  // the option makes the run its own
                bool conflict = false;
                for (const TModeConflict& c : ZelqModeConflicts())
                    conflict = conflict || c.modes == (row.defines | m.mode);
                EXPECT_TRUE(conflict) << m.label;
            } else {
                EXPECT_EQ(refusals, 1) << m.label;
            }
        }
    }
}

TEST(ZelqOptionTable, EveryOptionInAndOutsideItsModes) {
    for (const TOptionRow& row : ZelqOptionTable()) {
        for (const auto& m : kModes) {
            const Args args = CommandLine(m.args, row, m.mode == kModeUpgrade);
            SCOPED_TRACE(OptionName(row) + " in " + m.label);
            TZelqOptions o;
            std::string err;
            const bool ok = ParseZelqArgs(args, o, err);
            const bool ownRun = row.defines != 0 && m.mode == kModeSingle;
            if ((row.modes & m.mode) != 0 || row.ends || ownRun) {
                EXPECT_TRUE(ok) << err;
                continue;
            }
            EXPECT_FALSE(ok);
            std::string expected;
            for (const TOptionRefusal& r : row.refusals)
                if ((r.modes & m.mode) != 0) expected = r.text;
            for (const TModeConflict& c : ZelqModeConflicts())
                if (row.defines != 0 && c.modes == (row.defines | m.mode)) expected = c.text;
            EXPECT_EQ(err, expected);
        }
    }
}

// Each line of the synopsis shows only options that its kind of run
// accepts.
TEST(ZelqOptionTable, SynopsisAgreesWithTheTable) {
    std::vector<std::string> entries;
    for (const std::string& line : Lines(ZelqUsageText())) {
        if (line.rfind("usage: zelq", 0) == 0 || line.rfind("       zelq", 0) == 0) entries.push_back(line);
        else if (!entries.empty()) entries.back() += " " + line;
    }
    ASSERT_EQ(entries.size(), 5u);
    int checked = 0;
    for (const std::string& entry : entries) {
        SCOPED_TRACE(entry);
        if (entry.find("--help") != std::string::npos) continue;
        const unsigned mode = entry.find("--upgrade") != std::string::npos  ? kModeUpgrade
                              : entry.find("--plugin") != std::string::npos ? kModePlugin
                              : entry.find("--hosts") != std::string::npos  ? kModeFleet
                                                                            : kModeSingle;
        size_t pos = 0;
        while ((pos = entry.find(" ", pos)) != std::string::npos) {
            ++pos;
            size_t b = pos;
            while (b < entry.size() && (entry[b] == '[' || entry[b] == '{')) ++b;
            if (b >= entry.size() || entry[b] != '-') continue;
            const std::string word = entry.substr(b, entry.find_first_of(" ]}", b) - b);
            const TOptionRow* row = nullptr;
            for (const TOptionRow& r : ZelqOptionTable())
                if (OptionName(r) == word) row = &r;
            ASSERT_NE(row, nullptr) << word;
            EXPECT_NE(row->modes & mode, 0u) << word;
            ++checked;
        }
    }
    EXPECT_GE(checked, 25);
}

using ZelqPassword = ZelqFileTest;

TEST_F(ZelqPassword, OrderOfPreference) {
    const std::string crlf = File("crlf", "fromfile\r\nsecond line\n");
    const std::string lf = File("lf", "only\n");
    const std::string bare = File("bare", "nolineend");
    struct {
        const char* label;
        bool hasP;
        std::string p;
        std::string file;
        const char* env;
        const char* expected;
    } cases[] = {
        {"-P wins over -f and the environment", true, "cmdline", crlf, "fromenv", "cmdline"},
        {"-f wins over the environment", false, "", crlf, "fromenv", "fromfile"},
        {"first line without LF", false, "", lf, nullptr, "only"},
        {"file without a line end", false, "", bare, nullptr, "nolineend"},
        {"environment last", false, "", "", "fromenv", "fromenv"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TZelqOptions o;
        o.hasPassword = c.hasP;
        o.password = c.p;
        o.hasPasswordFile = !c.file.empty();
        o.passwordFile = c.file;
        String pw;
        std::string err;
        ASSERT_TRUE(ResolvePassword(o, c.env, pw, err)) << err;
        EXPECT_EQ(pw, c.expected);
    }
}

TEST_F(ZelqPassword, MissingOrEmptyPasswords) {
    const std::string emptyFirst = File("empty", "\nsecret-on-line-two\n");
    struct {
        const char* label;
        bool hasP;
        std::string file;
        const char* env;
        const char* reason;
    } cases[] = {
        {"nothing given", false, "", nullptr, "no password"},
        {"empty environment", false, "", "", "no password"},
        {"empty -P", true, "", "fromenv", "-P is empty"},
        {"unreadable file", false, scratch_.File("missing"), "fromenv", "cannot read the password file"},
        {"empty first line", false, emptyFirst, "fromenv", "is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TZelqOptions o;
        o.hasPassword = c.hasP;
        o.hasPasswordFile = !c.file.empty();
        o.passwordFile = c.file;
        String pw;
        std::string err;
        EXPECT_FALSE(ResolvePassword(o, c.env, pw, err));
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_EQ(err.find("secret"), std::string::npos) << "the reason must not show a password";
    }
}

}  // namespace
