// The text-log scan state of plugin mode and its file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/proc_walk.h"
#include "zelq/state.h"
#include "zelq_fixture.h"

namespace {

TEST(ZelqTextLogState, DefaultFolder) {
    std::string folder, err;
    EXPECT_TRUE(DefaultStateFolder("/x/cache", "/home/u", folder, err));
    EXPECT_EQ(folder, "/x/cache/zelq");
    EXPECT_TRUE(DefaultStateFolder("relative", "/home/u", folder, err));  // not absolute: ignored
    EXPECT_EQ(folder, "/home/u/.cache/zelq");
    EXPECT_TRUE(DefaultStateFolder(nullptr, "/home/u", folder, err));
    EXPECT_EQ(folder, "/home/u/.cache/zelq");
    EXPECT_FALSE(DefaultStateFolder("", nullptr, folder, err));
    EXPECT_NE(err.find("--state"), std::string::npos);
}

TEST(ZelqTextLogState, NamesDifferByCheck) {
    const std::string a = TextLogStateKey("h", 1055, "TEST-TextLog", "/var/log/a\nerror\n");
    const std::string b = TextLogStateKey("h", 1055, "TEST-TextLog", "/var/log/a\nwarn\n");
    const std::string c = TextLogStateKey("h", 1056, "TEST-TextLog", "/var/log/a\nerror\n");
    EXPECT_NE(TextLogStateFileName(a), TextLogStateFileName(b));
    EXPECT_NE(TextLogStateFileName(a), TextLogStateFileName(c));
    EXPECT_EQ(TextLogStateFileName(a), TextLogStateFileName(a));
    EXPECT_EQ(TextLogStateFileName(a).size(), std::string("textlog-0123456789abcdef.state").size());
}

TEST(ZelqTextLogState, TextRoundTripAndForeignFiles) {
    TTextLogState s;
    s.position = 4999999999;
    s.size = 5000000000;
    s.time = 1700000000;
    s.alarm = true;
    s.line = "disk error\r\non sda";
    const std::string key = "h:1\nTEST-TextLog2\n/x\n";
    const std::string text = TextLogStateText(key, s);
    TTextLogState back;
    ASSERT_EQ(ParseTextLogState(text, key, back), TStateLoad::Loaded);
    EXPECT_EQ(back.position, s.position);
    EXPECT_EQ(back.size, s.size);
    EXPECT_EQ(back.time, s.time);
    EXPECT_TRUE(back.alarm);
    EXPECT_EQ(back.line, s.line);

    const std::string damaged[] = {
        "",
        "something else\n",
        TextLogStateText("another check", s),
        text.substr(0, text.find("size=")),
        [&] {
            std::string t = text;
            t.replace(t.find("time=") + 5, 1, "x");
            return t;
        }(),
    };
    for (const std::string& d : damaged) {
        TTextLogState out;
        EXPECT_EQ(ParseTextLogState(d, key, out), TStateLoad::Other) << d;
    }
}

// A logged line or a search text may hold "%0A" or "%" as text: they come
// back as they were, not as line breaks. A file of the older format, which
// escaped only CR and LF, still loads.
TEST(ZelqTextLogState, PercentSignsComeBackAsText) {
    TTextLogState s;
    s.line = "100%0A done, 5% left\r\n%";
    const std::string key = "h:1\nTEST-TextLog\n/x\nrate %0A%25\n";
    TTextLogState back;
    ASSERT_EQ(ParseTextLogState(TextLogStateText(key, s), key, back), TStateLoad::Loaded);
    EXPECT_EQ(back.line, s.line);

    const std::string format1 =
        "zelq text-log state 1\ncheck=h:1%0ATEST-TextLog%0A/x%0A\nposition=7\nsize=9\ntime=5\n"
        "alarm=1\nline=disk%0D%0Aerror\n";
    TTextLogState old;
    ASSERT_EQ(ParseTextLogState(format1, "h:1\nTEST-TextLog\n/x\n", old), TStateLoad::Loaded);
    EXPECT_EQ(old.position, 7);
    EXPECT_EQ(old.line, "disk\r\nerror");
}

class ZelqStateFile : public ZelqFileTest {};

TEST_F(ZelqStateFile, SavedAtomicallyInNewFolders) {
    const std::string path = scratch_.File("a/b/check.state");
    TTextLogState s;
    s.position = 10;
    s.size = 11;
    s.time = 12;
    std::string err;
    TTextLogState loaded;
    EXPECT_EQ(LoadTextLogState(path, "k", loaded, err), TStateLoad::Missing);
    ASSERT_TRUE(SaveTextLogState(path, "k", s, err)) << err;
    struct stat st;
    ASSERT_EQ(stat(scratch_.File("a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    s.position = 20;
    ASSERT_TRUE(SaveTextLogState(path, "k", s, err)) << err;
    ASSERT_EQ(LoadTextLogState(path, "k", loaded, err), TStateLoad::Loaded);
    EXPECT_EQ(loaded.position, 20);
    // Nothing but the state file is left in its folder.
    std::vector<std::string> names;
    ASSERT_TRUE(proc_walk::EntryNames(scratch_.File("a/b"), names));
    EXPECT_EQ(names, std::vector<std::string>{"check.state"});
    EXPECT_EQ(LoadTextLogState(path, "other key", loaded, err), TStateLoad::Other);
}

// What zelq writes, zelq reads back: a long matching line is kept as its
// first 1,024 bytes, and neither a long line nor long parameters push the
// file beyond the size a later run reads.
TEST_F(ZelqStateFile, LongLinesAndLongChecksComeBack) {
    const std::string euro = "\xe2\x82\xac";
    const struct {
        const char* label;
        std::string key;
        std::string line;
        std::string kept;
    } cases[] = {
        {"empty line", "k", "", ""},
        {"line of exactly the cap", "k", std::string(kMaxStateLine, 'a'), std::string(kMaxStateLine, 'a')},
        {"one byte over", "k", std::string(kMaxStateLine + 1, 'a'), std::string(kMaxStateLine, 'a')},
        {"a 100 KiB line", "k", std::string(100 * 1024, 'e'), std::string(kMaxStateLine, 'e')},
        {"a 100 KiB line of line breaks", "k", std::string(100 * 1024, '\n'), std::string(kMaxStateLine, '\n')},
        {"a character across the cap is not cut", "k", std::string(kMaxStateLine - 1, 'a') + euro,
         std::string(kMaxStateLine - 1, 'a')},
        {"parameters of a whole request packet", "h:1\nTEST-TextLog\n" + std::string(8 * 1024 * 1024, '\n'),
         std::string(5000, 'x'), std::string(kMaxStateLine, 'x')},
    };
    const std::string path = scratch_.File("check.state");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(CappedStateLine(c.line), c.kept);
        TTextLogState s;
        s.position = 7;
        s.size = 8;
        s.time = 9;
        s.line = c.line;
        std::string err;
        ASSERT_TRUE(SaveTextLogState(path, c.key, s, err)) << err;
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_LE(static_cast<size_t>(st.st_size), MaxStateFileSize());
        TTextLogState back;
        ASSERT_EQ(LoadTextLogState(path, c.key, back, err), TStateLoad::Loaded) << err;
        EXPECT_EQ(back.position, 7);
        EXPECT_EQ(back.line, c.kept);
    }
    // A file beyond the read cap is not believed (a fresh start, no error).
    const std::string big = File("big.state", std::string(MaxStateFileSize() + 1, 'x'));
    TTextLogState s;
    std::string err;
    EXPECT_EQ(LoadTextLogState(big, "k", s, err), TStateLoad::Other);
}

TEST_F(ZelqStateFile, UnwritableAndUnreadablePlaces) {
    const std::string file = File("plain", "x");
    std::string err;
    TTextLogState s;
    EXPECT_FALSE(SaveTextLogState(file + "/sub/check.state", "k", s, err));
    EXPECT_NE(err.find("is not a folder"), std::string::npos) << err;
    // A folder where the state file should be cannot be read as one.
    ASSERT_EQ(mkdir(scratch_.File("dir.state").c_str(), 0700), 0);
    EXPECT_EQ(LoadTextLogState(scratch_.File("dir.state"), "k", s, err), TStateLoad::Failed);
    EXPECT_FALSE(SaveTextLogState(scratch_.File("dir.state"), "k", s, err));
}

}  // namespace
