// The file and folder tests through the dispatcher, on a small fixture tree.
#include <sys/statfs.h>

#include <cstring>
#include <string>
#include <vector>

#include "file_fixture.h"

namespace {

using Lines = std::vector<std::string>;

// A 64-bit reply value ("%6lld").
std::string Int64Text(long long v) {
    char buf[40];
    snprintf(buf, sizeof(buf), "%6lld", v);
    return buf;
}

// The checksum register written bit by bit, without a table.
uint32_t BitwiseCrc(const std::string& data) {
    uint32_t reg = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        reg ^= c;
        for (int k = 0; k < 8; ++k) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1u)));
    }
    return reg;
}

class FileTestsTest : public FileTreeFixture {};

// ---- TEST-FileExists and the path macros ---------------------------------

TEST_F(FileTestsTest, FileExistsReportsSizeTimesPathAndAge) {
    TReplyTable r = Call("TEST-FileExists", {Path("a.txt")});
    ASSERT_EQ(r.code, "200");
    struct stat st;
    ASSERT_EQ(lstat(Path("a.txt").c_str(), &st), 0);
    EXPECT_EQ(r.lines, (Lines{Int64Text(10), TimeText(st.st_ctime), TimeText(kOld), Path("a.txt"), "min", "180"}));
}

TEST_F(FileTestsTest, FileExistsCases) {
    struct Case {
        std::string path;
        std::string code, shown;  // shown: the fourth line, the path examined
    } cases[] = {
        {Path("sub"), "200", Path("sub")},              // folders exist too
        {Path("link"), "200", Path("link")},            // the link itself
        {Path("pipe"), "200", Path("pipe")},            // examined, never opened
        {Path("c*.log"), "200", Path("c.log")},         // the first matching file
        {Path("sub/*.txt"), "200", Path("sub/d.txt")},
        {Path("s?b"), "301", ""},                       // folders never match
        {Path("*.none"), "301", ""},
        {Path("missing.txt"), "301", ""},
        {"", "301", ""},
    };
    for (const Case& c : cases) {
        TReplyTable r = Call("TEST-FileExists", {c.path});
        EXPECT_EQ(r.code, c.code) << c.path;
        if (c.code == "200") {
            ASSERT_EQ(r.lines.size(), 6u) << c.path;
            EXPECT_EQ(r.lines[3], c.shown);
        } else {
            EXPECT_EQ(r.lines, Lines{"no such file or acess denied"}) << c.path;
        }
    }
}

// A matched name holding a line feed is sent escaped: the reply keeps its
// six lines.
TEST_F(FileTestsTest, FileExistsEscapesAMatchedNameWithALineEnd) {
    Make("nl\nname.cfg", "x", kMid);
    TReplyTable r = Call("TEST-FileExists", {Path("nl*.cfg")});
    ASSERT_EQ(r.code, "200");
    ASSERT_EQ(r.lines.size(), 6u);
    EXPECT_EQ(r.lines[3], Path("nl\nname.cfg"));
    EXPECT_NE(r.raw.find("nl%0Aname.cfg"), std::string::npos);
}

TEST_F(FileTestsTest, FileExistsLooksUpLiteralNamesWithBrackets) {
    Make("x[1].txt", "x", kMid);
    TReplyTable r = Call("TEST-FileExists", {Path("x[1].txt")});
    ASSERT_EQ(r.code, "200");
    EXPECT_EQ(r.lines[3], Path("x[1].txt"));
}

TEST_F(FileTestsTest, MacrosInAnyLetterCase) {
    struct Case {
        std::string path, want;
    } cases[] = {
        {Path("%newestfile%"), Path("c.log")},
        {Path("%NewestFile%"), Path("c.log")},
        {Path("%OLDESTFILE%"), Path("a.txt")},
        {Path("%newestfolder%"), Path("sub")},
        {Path("%oldestFolder%"), Path("ro")},
        {Path("%NEWESTFOLDER%/%newestfile%"), Path("sub/d.txt")},
        {Path("%oldestfolder%/%newestfolder%/%oldestfile%"), Path("ro/inner/i.log")},
        {Path("nope/%newestfile%"), Path("nope/%newestfile%")},        // folder missing: unchanged
        {Path("sub/deeper/%newestfolder%"), Path("sub/deeper/%newestfolder%")},  // nothing of that kind
    };
    for (const Case& c : cases) {
        TReplyTable r = Call("TEST-FileExists", {c.path, "", "", "", "", "", "1"});
        if (c.want.find('%') != std::string::npos) {
            EXPECT_EQ(r.code, "301") << c.path;
            continue;
        }
        ASSERT_EQ(r.code, "200") << c.path;
        EXPECT_EQ(r.lines[3], c.want) << c.path;
    }
    // Without the flag the macro is a literal name.
    EXPECT_EQ(Call("TEST-FileExists", {Path("%newestfile%")}).code, "301");
}

TEST_F(FileTestsTest, MacrosChooseAnEntryDatedAtTheEpoch) {
    TScratchDir other;
    ASSERT_TRUE(WriteTextFile(other.File("z0"), "0"));
    ASSERT_TRUE(WriteTextFile(other.File("z1"), "1"));
    ASSERT_TRUE(SetTime(other.File("z0"), 0));
    ASSERT_TRUE(SetTime(other.File("z1"), 100));
    TReplyTable r = Call("TEST-FileExists", {other.File("%oldestfile%"), "", "", "", "", "", "1"});
    ASSERT_EQ(r.code, "200");
    EXPECT_EQ(r.lines[3], other.File("z0"));
    ASSERT_EQ(unlink(other.File("z1").c_str()), 0);
    r = Call("TEST-FileExists", {other.File("%newestfile%"), "", "", "", "", "", "1"});
    ASSERT_EQ(r.code, "200");
    EXPECT_EQ(r.lines[3], other.File("z0"));
}

TEST_F(FileTestsTest, AgeBeyondThirtyTwoBitSeconds) {
    Make("future.txt", "f", int64_t{1} << 33);  // 2242: seconds overflow 32 bits, minutes do not
    struct stat st;
    ASSERT_EQ(lstat(Path("future.txt").c_str(), &st), 0);
    const int64_t before = time(nullptr);
    TReplyTable r = Call("TEST-FileExists", {Path("future.txt")});
    const int64_t after = time(nullptr);
    ASSERT_EQ(r.code, "200");
    const long long age = std::stoll(r.lines[5]);
    EXPECT_GE(age, (before - st.st_mtime) / 60);
    EXPECT_LE(age, (after - st.st_mtime) / 60);
    EXPECT_LT(age, -1000000);
}

// ---- TEST-FileCRC --------------------------------------------------------

TEST_F(FileTestsTest, ChecksumMatchesABitwiseCrc) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{2047}, size_t{2048}, size_t{2049}, size_t{(1 << 20) + 1},
                        size_t{3 * (1 << 20) - 7}}) {
        const std::string data = Pattern(size, static_cast<unsigned>(size));
        ASSERT_TRUE(WriteTextFile(Path("crc.bin"), data));
        TReplyTable r = Call("TEST-FileCRC", {Path("crc.bin")});
        ASSERT_EQ(r.code, "200") << size;
        EXPECT_EQ(r.lines, Lines{Int64Text(BitwiseCrc(data))}) << size;
    }
    EXPECT_EQ(BitwiseCrc(""), 0xFFFFFFFFu);
    EXPECT_EQ(BitwiseCrc("abc"), 0xCADBBE3Du);
}

TEST_F(FileTestsTest, ChecksumFailures) {
    ASSERT_EQ(symlink("/dev/null", Path("null").c_str()), 0);
    struct Case {
        std::string name, text;
    } cases[] = {
        {"", "File is not specified"},
        {Path("missing"), "Cannot open file"},
        {Path("pipe"), "Cannot open file"},  // would block for ever
        {"/dev/zero", "Cannot open file"},   // would never end
        {Path("null"), "Cannot open file"},  // a link to a character device
        {Path("sub"), "Read error"},
        {"/proc/self/mem", "Read error"},    // reading at offset 0 fails
    };
    for (const Case& c : cases) {
        TReplyTable r = Call("TEST-FileCRC", {c.name});
        EXPECT_EQ(r.code, "301") << c.name;
        EXPECT_EQ(r.lines, Lines{c.text}) << c.name;
    }
    // A link to a regular file is followed.
    TReplyTable r = Call("TEST-FileCRC", {Path("link")});
    ASSERT_EQ(r.code, "200");
    EXPECT_EQ(r.lines, Lines{Int64Text(BitwiseCrc(std::string(10, 'a')))});
}

// ---- TEST-FileCompare ----------------------------------------------------

TEST_F(FileTestsTest, CompareTwoFiles) {
    Make("same1", "hello world", kOld);
    Make("same2", "hello world", kMid);
    Make("prefix", "hello", kOld);
    Make("other", "hello there", kOld);
    struct Case {
        std::string a, b, time, size, content;
        std::string code, line;
    } cases[] = {
        {"same1", "same2", "0", "0", "1", "200", "1"},
        {"same1", "same2", "1", "0", "1", "200", "0"},  // times differ
        {"same1", "same2", "0", "1", "0", "200", "1"},
        {"same1", "other", "0", "0", "1", "200", "0"},
        {"same1", "other", "1", "1", "0", "200", "1"},  // same time and size
        {"prefix", "same1", "0", "0", "1", "200", "1"},  // a leading part compares equal
        {"prefix", "same1", "0", "1", "1", "200", "0"},
        {"same1", "other", "0", "0", "0", "200", "1"},  // nothing compared
        {"same1", "missing", "0", "0", "1", "301", "File doesn`t exist"},
        {"missing", "same1", "0", "0", "1", "301", "File doesn`t exist"},
        {"pipe", "same1", "0", "0", "1", "301", "File doesn`t exist"},
        {"same1", "sub", "0", "0", "1", "301", "File doesn`t exist"},
        {"link", "a.txt", "1", "1", "1", "200", "1"},  // links followed
    };
    for (const Case& c : cases) {
        TReplyTable r = Call("TEST-FileCompare", {"1", Path(c.a), Path(c.b), c.time, c.size, c.content});
        EXPECT_EQ(r.code, c.code) << c.a << " " << c.b << " " << c.time << c.size << c.content;
        EXPECT_EQ(r.lines, Lines{c.line}) << c.a << " " << c.b << " " << c.time << c.size << c.content;
    }
}

TEST_F(FileTestsTest, CompareReportsReadErrors) {
    Make("same1", "hello world", kOld);
    TReplyTable r = Call("TEST-FileCompare", {"1", "/proc/self/mem", Path("same1"), "0", "0", "1"});
    EXPECT_EQ(r.code, "301");
    EXPECT_EQ(r.lines, Lines{"I/O Error"});
    r = Call("TEST-FileCompare", {"1", Path("same1"), "/proc/self/mem", "0", "0", "1"});
    EXPECT_EQ(r.code, "301");
    EXPECT_EQ(r.lines, Lines{"I/O Error"});
}

TEST_F(FileTestsTest, CompareModesAndMacroPositions) {
    Make("hay", "one error err two", kOld);
    Make("needle", "err two", kOld);
    Make("absent", "three", kOld);
    Make("errors", "errors only", kOld);
    const std::string hay = Path("hay");
    const std::string newest = Path("%newestfile%");  // c.log, holding "c"
    struct Case {
        std::vector<std::string> params;
        std::string code, line;
    } cases[] = {
        {{"2", hay, Path("needle")}, "200", "1"},
        {{"2", hay, Path("absent")}, "200", "0"},
        {{"2", hay, Path("empty.dat")}, "200", "1"},          // an empty file is found everywhere
        {{"2", Path("c.log"), Path("needle")}, "200", "0"},   // longer than the file
        {{"2", hay, Path("missing")}, "301", "File doesn`t exist"},
        {{"3", hay, "ERR", "0", "1"}, "200", "1"},
        {{"3", hay, "ERR", "1", "0"}, "200", "0"},
        {{"3", Path("errors"), "err", "1", "1"}, "200", "0"},
        {{"3", Path("errors"), "err", "1", "0"}, "200", "1"},
        {{"3", hay, "", "1", "0"}, "301", "I/O Error"},
        {{"4", hay}, "501", "Wrong parameter"},
        {{"7", hay}, "501", "Wrong parameter"},
        {{"4", Path("missing")}, "301", "File doesn`t exist"},
        // Macros: mode 1 reads them at 12 and 13, mode 2 at 9, mode 3 at 11.
        {{"1", newest, newest, "1", "1", "1", "", "", "", "", "", "1", "1"}, "200", "1"},
        {{"1", newest, Path("c.log"), "0", "0", "1", "", "", "", "", "", "1"}, "200", "1"},
        {{"1", newest, Path("c.log"), "0", "0", "1", "", "", "", "", "1"}, "301", "File doesn`t exist"},
        {{"2", newest, Path("c.log"), "", "", "", "", "", "1"}, "200", "1"},
        {{"3", newest, "c", "1", "1", "", "", "", "", "", "1"}, "200", "1"},
        {{"3", newest, "c", "1", "1", "", "", "", "", "1"}, "301", "File doesn`t exist"},
    };
    for (const Case& c : cases) {
        TReplyTable r = Call("TEST-FileCompare", c.params);
        EXPECT_EQ(r.code, c.code) << c.params[0] << " " << c.params[1] << " " << c.params.size();
        EXPECT_EQ(r.lines, Lines{c.line}) << c.params[0] << " " << c.params[1] << " " << c.params.size();
    }
}

TEST_F(FileTestsTest, NeedleFileOfAtMostEightMebibytes) {
    const std::string needle = Pattern(8388608, 7);
    ASSERT_TRUE(WriteTextFile(Path("needle"), needle));
    ASSERT_TRUE(WriteTextFile(Path("hay"), "xy" + needle + "z"));
    TReplyTable r = Call("TEST-FileCompare", {"2", Path("hay"), Path("needle")});
    EXPECT_EQ(r.code, "200");
    EXPECT_EQ(r.lines, Lines{"1"});
    ASSERT_TRUE(WriteTextFile(Path("needle"), needle + "!"));
    r = Call("TEST-FileCompare", {"2", Path("hay"), Path("needle")});
    EXPECT_EQ(r.code, "301");
    EXPECT_EQ(r.lines, Lines{"The size of the second file cannot exceed 8Mb"});
}

// ---- TEST-FolderSize -----------------------------------------------------

TEST_F(FileTestsTest, FolderSizes) {
    struct Case {
        std::string path, recurse;
        long long want;  // -1: "301"
    } cases[] = {
        {Root(), "0", 2064},  // files of the folder, hidden ones and the FIFO included, links not
        {Root() + "/", "0", 2064},
        {Root(), "1", 2195},  // every folder below, hidden and read-only ones included
        {Path("*.log"), "0", 2049},
        {Path("*.log"), "1", 2062},
        {Path("a.txt"), "0", 10},
        {Path("sub"), "1", 118},
        {Path("ro"), "1", 10},
        {Path("dirlink"), "0", 100},  // a link named as the folder is followed
        {Path("*.none"), "1", 0},
        {Path("nope"), "0", 0},       // a name that matches nothing in an existing folder
        {Path("nope/x"), "0", -1},
        {Path("a.txt/"), "0", -1},
    };
    for (const Case& c : cases) {
        TReplyTable r = Call("TEST-FolderSize", {c.path, c.recurse});
        if (c.want < 0) {
            EXPECT_EQ(r.code, "301") << c.path;
            EXPECT_EQ(r.lines, Lines{"Folder/File doesn`t exist or access denied"}) << c.path;
        } else {
            EXPECT_EQ(r.code, "200") << c.path;
            EXPECT_EQ(r.lines, Lines{Int64Text(c.want)}) << c.path << " " << c.recurse;
        }
    }
    TReplyTable r = Call("TEST-FolderSize", {Path("%newestfolder%"), "1", "", "", "", "", "", "1"});
    EXPECT_EQ(r.lines, Lines{Int64Text(118)});
}

// ---- TEST-CountFiles -----------------------------------------------------

TEST_F(FileTestsTest, CountModes) {
    struct Case {
        std::string folder, mask, recurse, mode, value;
        int want;  // -1: "301"
    } cases[] = {
        {Root(), "*", "0", "0", "", 6},    // files, hidden ones and the FIFO included, links not
        {Root() + "/", "*", "0", "0", "", 6},
        {Root(), "*", "1", "0", "", 10},   // hidden folders are not entered, read-only ones are
        {Root(), "*.log", "0", "0", "", 2},
        {Root(), "*.log", "1", "0", "", 4},
        {Root(), "*", "0", "5", "", 3},    // sub, .hdir, ro: not ".", "..", links
        {Root(), "*", "1", "5", "", 6},
        {Root(), "s*", "1", "5", "", 1},
        {Root(), "*", "0", "1", "150", 1},  // older than 150 minutes: a.txt
        {Root(), "*", "0", "1", "-60", 6},  // older than an hour from now: all
        {Root(), "*", "0", "2", "60", 1},   // newer than 60 minutes: c.log
        {Root(), "*", "1", "2", "60", 1},
        {Root(), "*", "0", "3", "10", 1},   // bigger than 10 bytes: b.log
        {Root(), "*", "1", "3", "10", 2},
        {Root(), "*", "0", "4", "5", 3},    // smaller than 5 bytes: c.log, empty.dat, pipe
        {Root(), "*", "1", "4", "5", 4},
        {Root(), "*", "0", "abc", "", 6},   // a mode that is no number reads as 0
        {Root(), "*.none", "0", "0", "", 0},
        {Path("ro"), "*.none", "0", "0", "", 0},
        {Path("nope"), "*", "0", "0", "", -1},
        {Path("nope"), "*", "1", "0", "", -1},
        {Path("a.txt"), "*", "0", "0", "", -1},
        {Path("dirlink"), "*", "0", "0", "", 1},  // the top folder may be a link
    };
    for (const Case& c : cases) {
        TReplyTable r = Call("TEST-CountFiles", {c.folder, c.mask, c.recurse, c.mode, c.value});
        const std::string what = c.folder + " " + c.mask + " r" + c.recurse + " m" + c.mode + " v" + c.value;
        if (c.want < 0) {
            EXPECT_EQ(r.code, "301") << what;
            EXPECT_EQ(r.lines, Lines{"Folder doesn`t exist or access denied"}) << what;
        } else {
            EXPECT_EQ(r.code, "200") << what;
            EXPECT_EQ(r.lines, Lines{std::to_string(c.want)}) << what;
        }
    }
    TReplyTable r = Call("TEST-CountFiles", {Path("%newestfolder%"), "*", "1", "0", "", "", "", "", "", "", "1"});
    EXPECT_EQ(r.lines, Lines{"2"});  // sub: d.txt, deeper/f.log
}

TEST_F(FileTestsTest, CountRefusesBadModesAndValues) {
    for (const Lines& p : {Lines{Root(), "*", "0", "6", ""}, Lines{Root(), "*", "0", "-1", ""},
                           Lines{Root(), "*", "0", "0", "abc"}, Lines{Root(), "*", "0", "5", "1x"}}) {
        TReplyTable r = Call("TEST-CountFiles", p);
        EXPECT_EQ(r.code, "501") << p[3] << " " << p[4];
        EXPECT_EQ(r.lines, Lines{"Wrong parameter"});
    }
}

// ---- TEST-UNC ------------------------------------------------------------

TEST_F(FileTestsTest, VolumeSpace) {
    struct statfs fs;
    ASSERT_EQ(statfs("/tmp", &fs), 0);
    TReplyTable r = Call("TEST-UNC", {"/tmp\\"});  // one trailing backslash is dropped
    ASSERT_EQ(r.code, "200");
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_EQ(r.lines[0], Int64Text(static_cast<long long>(fs.f_blocks) * static_cast<long long>(fs.f_bsize)));

    r = Call("TEST-UNC", {""});
    EXPECT_EQ(r.code, "501");
    EXPECT_EQ(r.lines, Lines{"Path not specified"});
    for (const char* bad : {"\\", "/no/such/volume", "/tmp\\\\"}) {
        r = Call("TEST-UNC", {bad});
        EXPECT_EQ(r.code, "301") << bad;
        EXPECT_EQ(r.lines, Lines{strerror(ENOENT)}) << bad;
    }
}

TEST_F(FileTestsTest, SwitchOffTouchesNothing) {
    Settings([](TZELSettings& s) { s.filecrc = 0; });
    TReplyTable r = Call("TEST-FileCRC", {Path("pipe")});
    EXPECT_EQ(r.code, "600");
    EXPECT_EQ(r.lines, Lines{"test is not allowed"});
}

}  // namespace
