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
