// The folder listing ("GetFilesList") on the fixture tree.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "file_fixture.h"

namespace {

using Lines = std::vector<std::string>;

struct TListing {
    std::string code, folder;
    int count = -1, perEntry = -1;
    std::vector<Lines> entries;  // in reply order
    std::map<std::string, Lines> byName;
};

TListing Parse(const TReplyTable& r) {
    TListing l;
    l.code = r.code;
    if (r.lines.size() < 3) return l;
    l.folder = r.lines[0];
    l.count = std::stoi(r.lines[1]);
    l.perEntry = std::stoi(r.lines[2]);
    for (size_t i = 3; i + static_cast<size_t>(l.perEntry) <= r.lines.size(); i += static_cast<size_t>(l.perEntry)) {
        Lines e(r.lines.begin() + static_cast<long>(i), r.lines.begin() + static_cast<long>(i) + l.perEntry);
        l.entries.push_back(e);
        l.byName[e[0]] = e;
    }
    return l;
}

std::vector<std::string> Names(const TListing& l) {
    std::vector<std::string> n;
    for (const Lines& e : l.entries) n.push_back(e[0]);
    std::sort(n.begin(), n.end());
    return n;
}

class FileListTest : public FileTreeFixture {
protected:
    // folder, mask, then the seven flags as one string of 0/1 characters.
    TListing List(const std::string& folder, const std::string& mask, const std::string& flags) {
        Lines p{folder, mask};
        for (char c : flags) p.push_back(std::string(1, c));
        return Parse(Call("GetFilesList", p));
    }
};

TEST_F(FileListTest, EveryColumn) {
    TListing l = List(Root(), "*", "1111111");
    ASSERT_EQ(l.code, "200");
    EXPECT_EQ(l.folder, Root() + "/");
    EXPECT_EQ(l.perEntry, 5);
    EXPECT_EQ(l.count, static_cast<int>(l.entries.size()));
    EXPECT_EQ(Names(l), (std::vector<std::string>{"..", ".hdir", ".hidden.txt", "a.txt", "b.log", "c.log",
                                                  "empty.dat", "pipe", "ro", "sub"}));
    struct stat st;
    ASSERT_EQ(lstat(Path("a.txt").c_str(), &st), 0);
    EXPECT_EQ(l.byName["a.txt"], (Lines{"a.txt", "0", "    10", TimeText(st.st_ctime), TimeText(kOld)}));
    EXPECT_EQ(l.byName[".hidden.txt"][1], "2");
    EXPECT_EQ(l.byName[".hdir"][1], "18");
    EXPECT_EQ(l.byName["pipe"][1], "4");
    EXPECT_EQ(l.byName["sub"][4], TimeText(kNew));
    // Folders come first, then files, each in directory order.
    bool seenFile = false;
    for (const Lines& e : l.entries) {
        const bool folder = (std::stoi(e[1]) & 16) != 0;
        EXPECT_FALSE(folder && seenFile) << e[0];
        seenFile = seenFile || !folder;
    }
}

TEST_F(FileListTest, Options) {
    struct Case {
        std::string folder, mask, flags;
        std::vector<std::string> names;
        int perEntry;
    } cases[] = {
        // Flags: sub-folders, files, hidden, system, size, change time, modification time.
        {Root(), "*", "1100000", {"..", "a.txt", "b.log", "c.log", "empty.dat", "ro", "sub"}, 2},
        {Root(), "*", "1110000", {"..", ".hdir", ".hidden.txt", "a.txt", "b.log", "c.log", "empty.dat", "ro", "sub"}, 2},
        {Root(), "*", "1101000", {"..", "a.txt", "b.log", "c.log", "empty.dat", "pipe", "ro", "sub"}, 2},
        {Root(), "*.log", "0101000", {"b.log", "c.log"}, 2},
        {Root(), "*.log", "1001000", {"..", "ro", "sub"}, 2},  // the mask applies to files only
        {Root(), "", "0101100", {"a.txt", "b.log", "c.log", "empty.dat", "pipe"}, 3},
        {Root(), "*", "0001010", {}, 3},
        {Path("sub"), "*", "1101001", {"..", "d.txt", "deeper"}, 3},
        {Path("b.log"), "*.txt", "0101000", {"a.txt"}, 2},  // a file names its folder
    };
    for (const Case& c : cases) {
        TListing l = List(c.folder, c.mask, c.flags);
        ASSERT_EQ(l.code, "200") << c.flags;
        EXPECT_EQ(Names(l), c.names) << c.folder << " " << c.mask << " " << c.flags;
        EXPECT_EQ(l.count, static_cast<int>(c.names.size())) << c.flags;
        EXPECT_EQ(l.perEntry, c.perEntry) << c.flags;
    }
    // Only "1" is true.
    TListing l = List(Root(), "*.log", "01");
    EXPECT_EQ(l.count, 2);
    l = Parse(Call("GetFilesList", {Root(), "*.log", "0", "true", "0", "0", "01", "yes", "1 "}));
    EXPECT_EQ(l.count, 0);
    EXPECT_EQ(l.perEntry, 3);  // the last one is trimmed
}

TEST_F(FileListTest, FoldersThatCannotBeListed) {
    TListing l = List(Path("nope") + "/", "*", "1100000");
    EXPECT_EQ(l.code, "200");
    EXPECT_EQ(l.folder, Path("nope") + "/");
    EXPECT_EQ(l.count, 0);
    EXPECT_TRUE(l.entries.empty());

    l = List("", "*", "1000000");
    EXPECT_EQ(l.folder, "/");
    EXPECT_GT(l.count, 0);
}

TEST_F(FileListTest, NamesWithLineEndsAreLeftOut) {
    Make("bad\nname", "x", kMid);
    Make("bad\rname", "x", kMid);
    Folder("bad\ndir");
    TListing l = List(Root(), "*", "1111111");
    EXPECT_EQ(l.count, 10);
    EXPECT_EQ(Names(l).size(), 10u);
    EXPECT_EQ(l.byName.count("a.txt"), 1u);
}

TEST_F(FileListTest, BrowsingNeedsAFileTest) {
    Settings([](TZELSettings& s) {
        s.foldersize = s.countfiles = s.fileexists = s.filecrc = s.comparefiles = s.textlog = 0;
    });
    TReplyTable r = Call("GetFilesList", {Root()});
    EXPECT_EQ(r.code, "600");
    EXPECT_EQ(r.lines, Lines{"test is not allowed"});
}

}  // namespace
