// The manual pages (doc/man/*.scd) and the README's configuration reference
// follow the code: every key of the settings table with its default, every
// option of zel and of zelq --help. A new key or option fails here until it
// is documented.
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/scratch_dir.h"
#include "config/settings.h"
#include "daemon/cmdline.h"
#include "daemon/exit_codes.h"
#include "gen/command_page.h"
#include "protocol/command_reference.h"
#include "zelq/usage.h"

namespace {

std::string Source(const std::string& relative) { return ReadTextFile(std::string(ZEL_SOURCE_DIR) + "/" + relative); }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The options of a help text: the first word of each indented line that
// starts with '-', from the line `from` to the next blank line.
std::vector<std::string> HelpOptions(const std::string& help, const std::string& from) {
    std::vector<std::string> options;
    bool in = from.empty();
    for (const std::string& line : Lines(help)) {
        if (!in) {
            in = StartsWith(line, from);
            continue;
        }
        if (line.find_first_not_of(' ') == std::string::npos) {
            if (!options.empty()) break;
            continue;
        }
        size_t start = line.find_first_not_of(' ');
        if (start == 0 || line[start] != '-') continue;
        options.push_back(line.substr(start, line.find(' ', start) - start));
    }
    return options;
}

// The entry of `term` in a definition list: its term line and the indented
// lines after it.
std::string Entry(const std::string& page, const std::string& termPrefix) {
    std::vector<std::string> lines = Lines(page);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!StartsWith(lines[i], termPrefix)) continue;
        std::string entry = lines[i] + "\n";
        for (size_t j = i + 1; j < lines.size() && StartsWith(lines[j], "\t"); ++j) entry += lines[j] + "\n";
        return entry;
    }
    return std::string();
}

std::string DefaultText(const TZELSettingsKey& k) {
    if (k.type == TZELKeyType::Text || k.type == TZELKeyType::FilterList) return k.textDefault;
    return std::to_string(k.numberDefault);
}

TEST(ConfigPage, DescribesEveryKeyWithItsDefault) {
    const std::string page = Source("doc/man/zel.cfg.5.scd");
    ASSERT_FALSE(page.empty());
    for (int i = 0; i < kSettingsKeyCount; ++i) {
        const TZELSettingsKey& k = kSettingsKeys[i];
        if (k.key == nullptr) continue;  // a switch the file does not have
        SCOPED_TRACE(k.key);
        const std::string entry = Entry(page, std::string("*") + k.key + "* (");
        ASSERT_FALSE(entry.empty()) << "zel.cfg(5) has no entry for the key";
        if (k.kept) {
            EXPECT_NE(entry.find("kept"), std::string::npos) << entry;
        } else if (DefaultText(k).empty()) {
            EXPECT_TRUE(entry.find("default empty") != std::string::npos || entry.find("required") != std::string::npos)
                << entry;
        } else {
            EXPECT_NE(entry.find("default " + DefaultText(k)), std::string::npos) << entry;
        }
    }
}

TEST(ConfigPage, NamesNoKeyTheAgentDoesNotKnow) {
    const std::string page = Source("doc/man/zel.cfg.5.scd");
    std::set<std::string> known;
    for (const TZELSettingsKey& k : kSettingsKeys)
        if (k.key != nullptr) known.insert(k.key);
    bool inKeys = false;
    for (const std::string& line : Lines(page)) {
        if (StartsWith(line, "# ")) inKeys = line == "# KEYS";
        if (!inKeys || !StartsWith(line, "*")) continue;
        size_t end = line.find("* (");
        if (end == std::string::npos) continue;
        EXPECT_EQ(known.count(line.substr(1, end - 1)), 1u) << line;
    }
}

// REMOTE CHANGES pairs every remote name with its key, and names the keys
// the server cannot change.
TEST(ConfigPage, RemoteChangesNameEveryRemoteNameAndItsKey) {
    const std::string page = Source("doc/man/zel.cfg.5.scd");
    const size_t from = page.find("\n# REMOTE CHANGES\n");
    ASSERT_NE(from, std::string::npos);
    std::string section = page.substr(from, page.find("\n# ", from + 1) - from);
    for (char& c : section)
        if (c == '\n') c = ' ';  // a name may wrap
    for (const TZELSettingsKey& k : kSettingsKeys) {
        std::string expected;
        if (k.remote != nullptr && k.key != nullptr) expected = std::string(k.remote) + " (*" + k.key + "*)";
        else if (k.remote != nullptr) expected = k.remote;
        else expected = std::string("*") + k.key + "*";
        EXPECT_NE(section.find(expected), std::string::npos) << expected;
    }
}

TEST(Readme, ConfigurationTableHasEveryKeyWithItsDefault) {
    const std::string readme = Source("README.md");
    ASSERT_FALSE(readme.empty());
    for (int i = 0; i < kSettingsKeyCount; ++i) {
        const TZELSettingsKey& k = kSettingsKeys[i];
        if (k.key == nullptr) continue;  // a switch the file does not have
        SCOPED_TRACE(k.key);
        std::string row;
        for (const std::string& line : Lines(readme))
            if (StartsWith(line, std::string("| `") + k.key + "` |")) row = line;
        ASSERT_FALSE(row.empty()) << "README's key table has no row for the key";
        // | key | type | default | meaning |
        std::vector<std::string> cells;
        for (size_t p = 0; (p = row.find('|', p)) != std::string::npos; ++p) cells.push_back(row.substr(p + 1));
        ASSERT_GE(cells.size(), 4u) << row;
        const std::string defaults = cells[2].substr(0, cells[2].find('|'));
        if (k.kept)
            EXPECT_NE(defaults.find("kept"), std::string::npos) << row;
        else if (DefaultText(k).empty())
            EXPECT_NE(defaults.find("empty"), std::string::npos) << row;
        else
            EXPECT_NE(defaults.find(DefaultText(k)), std::string::npos) << row;
    }
}

TEST(AgentPage, DescribesEveryCommandLineOption) {
    const std::string page = Source("doc/man/zel.8.scd");
    const std::vector<std::string> options = HelpOptions(UsageText(), " Usage:");
    ASSERT_EQ(options.size(), 8u) << UsageText();
    for (const std::string& option : options)
        EXPECT_NE(page.find("\n*" + option + "*"), std::string::npos) << "zel(8) does not describe " << option;
}

// The EXIT STATUS section has one entry per exit code, and no other.
TEST(AgentPage, ListsEveryExitCode) {
    const std::string page = Source("doc/man/zel.8.scd");
    const size_t from = page.find("\n# EXIT STATUS\n");
    ASSERT_NE(from, std::string::npos);
    const size_t to = page.find("\n# ", from + 1);
    std::set<std::string> documented;
    for (const std::string& line : Lines(page.substr(from, to - from)))
        if (line.size() > 2 && line.front() == '*' && line.back() == '*')
            documented.insert(line.substr(1, line.size() - 2));
    std::set<std::string> codes;
    for (TExitCode code : kAllExitCodes) codes.insert(std::to_string(ExitStatus(code)));
    EXPECT_EQ(documented, codes);
}

TEST(ZelqPage, DescribesEveryOptionOfTheHelp) {
    const std::string page = Source("doc/man/zelq.1.scd");
    const std::vector<std::string> options = HelpOptions(ZelqHelpText(), "Options:");
    ASSERT_GE(options.size(), 10u) << ZelqHelpText();
    for (const std::string& option : options) {
        EXPECT_NE(page.find("\n*" + option + "*"), std::string::npos) << "zelq(1) has no entry for " << option;
        EXPECT_NE(page.find("*" + option + "*"), page.find("\n*" + option + "*") + 1)
            << option << " is described but not in the synopsis";
    }
}

// The section of zel-commands(7) for one command word: from its "## " line
// to the next heading; and the "# " heading above it.
struct TPageSection {
    std::string group;
    std::string text;
};

TPageSection CommandSection(const std::string& page, const std::string& word) {
    TPageSection out;
    std::string group;
    bool in = false;
    for (const std::string& line : Lines(page)) {
        if (StartsWith(line, "#")) {
            if (in) break;
            if (StartsWith(line, "# ")) group = line.substr(2);
            in = line == "## " + ScdocEscaped(word);
            if (in) out.group = group;
            continue;
        }
        if (in) out.text += line + "\n";
    }
    return out;
}

// "*text*" followed by `after`, as the page writes a term (built by
// appending: GCC 12 warns falsely on "x" + string).
std::string Term(const std::string& text, const std::string& after) {
    std::string out(1, '*');
    out += ScdocEscaped(text);
    out += '*';
    out += after;
    return out;
}

TEST(CommandsPage, DescribesEveryCommandWithItsParametersValuesAndResults) {
    const std::string page = CommandPageScdoc();
    const char* const groups[] = {"TESTS", "ACTIONS", "LISTINGS", "MANAGEMENT"};
    for (const TCommandRef& c : CommandReference()) {
        SCOPED_TRACE(c.word);
        const TPageSection s = CommandSection(page, c.word);
        ASSERT_FALSE(s.text.empty()) << "zel-commands(7) has no section for the command";
        EXPECT_EQ(s.group, groups[static_cast<int>(c.group)]);
        for (const TParamRef& p : c.params)
            EXPECT_NE(s.text.find(Term(std::to_string(p.position), " _" + ScdocEscaped(p.name) + "_\n\t")),
                      std::string::npos) << p.name;
        for (const TValueRef& v : c.values) EXPECT_NE(s.text.find(Term(v.name, " (")), std::string::npos) << v.name;
        for (const TValueRef& v : c.failValues) EXPECT_NE(s.text.find(Term(v.name, " (")), std::string::npos) << v.name;
        for (const TResultRef& r : c.results) EXPECT_NE(s.text.find(Term(r.code, "\n\t")), std::string::npos) << r.code;
        std::string example = "```\n";
        example += c.example;
        example += "\n```";
        EXPECT_NE(s.text.find(example), std::string::npos);
    }
}

TEST(Readme, CountsTheCommandsOfTheReference) {
    const std::string count = std::to_string(CommandReference().size());
    EXPECT_NE(Source("README.md").find("The agent answers " + count + " command words"), std::string::npos) << count;
}

TEST(CommandsPage, TheOtherPagesPointToIt) {
    for (const char* other : {"doc/man/zel.8.scd", "doc/man/zel.cfg.5.scd", "doc/man/zelq.1.scd"})
        EXPECT_NE(Source(other).find("*zel-commands*(7)"), std::string::npos) << other;
}

}  // namespace
