// Text search in files: the answer depends on the file alone, also for
// matches that lie on the edges of the read window. Opening a named file
// for reading only when it is of an accepted kind.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "checks/disk_open.h"
#include "checks/disk_helpers.h"
#include "common/scratch_dir.h"
#include "foundation/io.h"
#include "gtest/gtest.h"

namespace {

bool Alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c; }

// The search done the obvious way, on the whole content.
bool Reference(std::string hay, std::string text, bool caseSensitive, bool wholeWord) {
    if (!caseSensitive) {
        for (char& c : hay) c = Lower(c);
        for (char& c : text) c = Lower(c);
    }
    const size_t n = text.size();
    for (size_t i = hay.find(text); i != std::string::npos; i = hay.find(text, i + 1)) {
        if (!wholeWord) return true;
        if (i > 0 && Alnum(hay[i - 1])) continue;
        if (i + n < hay.size() && Alnum(hay[i + n])) continue;
        return true;
    }
    return false;
}

int Search(const std::string& path, const std::string& text, bool cs, bool ww) {
    TFd fd;
    struct stat st;
    String err;
    if (!OpenForReading(path.c_str(), kOpenRegular, fd, st, err)) return -2;
    return FindStrInFile(fd.Get(), st.st_size, String(text), cs, ww);
}

class FileSearchTest : public ::testing::Test {
protected:
    TScratchDir dir_;
};

// Needles of 1, 3 and 1000 letters are put just before, on and just after
// the end of the first and the second read window, with a letter or a blank
// on either side, in either letter case; every answer must be the one the
// whole content gives.
TEST_F(FileSearchTest, MatchesOnWindowEdgesDependOnTheFileAlone) {
    const std::string path = dir_.File("hay");
    for (size_t n : {size_t{1}, size_t{3}, size_t{1000}}) {
        std::string needle;
        for (size_t i = 0; i < n; ++i) needle += static_cast<char>('a' + i % 26);
        std::string upper = needle;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

        // Big enough for two windows and a bit; blanks everywhere else.
        const int64_t probe = SearchWindowSize(int64_t{1} << 30, static_cast<int64_t>(n));
        const int64_t size = 2 * probe + 16;
        const int64_t window = SearchWindowSize(size, static_cast<int64_t>(n));
        ASSERT_EQ(window, probe);
        // Ends of the first and second windows in file offsets: each next
        // window starts n + 1 bytes before the end of the one before.
        const int64_t end1 = window;
        const int64_t end2 = end1 + window - static_cast<int64_t>(n) - 1;
        const std::string blank(static_cast<size_t>(size), ' ');

        int cases = 0;
        for (int64_t edge : {end1, end2}) {
            for (int64_t shift = -2; shift <= 2; ++shift) {
                const int64_t at = edge - static_cast<int64_t>(n) + shift;  // shift 0: ends on the edge
                for (int around = 0; around < 4; ++around) {
                    std::string hay = blank;
                    const bool upperCase = around & 1;
                    hay.replace(static_cast<size_t>(at), n, upperCase ? upper : needle);
                    if (around & 2) hay[static_cast<size_t>(at - 1)] = 'x';   // a letter before
                    else hay[static_cast<size_t>(at) + n] = '7';               // a digit after
                    if (around == 3) hay[static_cast<size_t>(at) + n] = '-';
                    ASSERT_TRUE(WriteTextFile(path, hay));
                    for (int flags = 0; flags < 4; ++flags) {
                        const bool cs = flags & 1, ww = flags & 2;
                        const int want = Reference(hay, needle, cs, ww) ? 1 : 0;
                        EXPECT_EQ(Search(path, needle, cs, ww), want)
                            << "n=" << n << " edge=" << edge << " shift=" << shift << " around=" << around
                            << " cs=" << cs << " ww=" << ww;
                        ++cases;
                    }
                }
            }
        }
        EXPECT_EQ(cases, 2 * 5 * 4 * 4);
    }
}

TEST_F(FileSearchTest, WholeWordsInSmallFiles) {
    struct Case {
        std::string content, text;
        bool cs, ww;
        int want;
    } cases[] = {
        {"error err", "err", true, true, 1},
        {"errors", "err", true, true, 0},
        {"error", "err", true, true, 0},
        {"err", "err", true, true, 1},
        {"xerr", "err", true, true, 0},
        {"x err.", "ERR", false, true, 1},
        {"x err.", "ERR", true, true, 0},
        {"\xe9" "err\xe9", "err", true, true, 1},  // bytes above 127 are no letters
        {std::string("a\0b", 3), std::string("\0b", 2), true, false, 1},
        {"short", "longer than the file", true, false, 0},
        {"abc", "", true, false, -1},
    };
    const std::string path = dir_.File("small");
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteTextFile(path, c.content));
        EXPECT_EQ(Search(path, c.text, c.cs, c.ww), c.want) << c.content << " / " << c.text;
    }
}

TEST_F(FileSearchTest, ReadErrorsAreFailures) {
    TFd fd(open(dir_.Path().c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(fd.Valid());
    EXPECT_EQ(FindStrInFile(fd.Get(), 100, String("x"), true, false), -1);  // reading a folder fails
    TFd other(open(dir_.Path().c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_EQ(CompareFiles(fd.Get(), other.Get()), -1);
}

// Only accepted kinds are opened (a FIFO would block the open); a failure
// says why: the system's text, or that the kind is not accepted.
TEST_F(FileSearchTest, OpensOnlyAcceptedKinds) {
    ASSERT_TRUE(WriteTextFile(dir_.File("plain"), "abc"));
    ASSERT_EQ(mkfifo(dir_.File("pipe").c_str(), 0644), 0);
    struct Case {
        std::string name;
        unsigned kinds;
        std::string err;  // "" = opened
    } cases[] = {
        {dir_.File("plain"), kOpenRegular, ""},
        {dir_.Path(), kOpenRegular | kOpenDirectory, ""},
        {"", kOpenRegular, ErrnoText(ENOENT).Std()},
        {dir_.File("missing"), kOpenRegular, ErrnoText(ENOENT).Std()},
        {dir_.File("plain/x"), kOpenRegular, ErrnoText(ENOTDIR).Std()},
        {dir_.File("pipe"), kOpenRegular | kOpenBlock | kOpenDirectory, kNotAcceptedKind},
        {dir_.Path(), kOpenRegular, kNotAcceptedKind},
        {"/dev/null", kOpenRegular | kOpenBlock, kNotAcceptedKind},
    };
    for (const Case& c : cases) {
        TFd fd;
        struct stat st;
        String err;
        const bool ok = OpenForReading(c.name.c_str(), c.kinds, fd, st, err);
        EXPECT_EQ(ok, c.err.empty()) << c.name;
        EXPECT_EQ(fd.Valid(), ok) << c.name;
        if (!ok) {
            EXPECT_EQ(err.Std(), c.err) << c.name;
        }
    }
}

}  // namespace
