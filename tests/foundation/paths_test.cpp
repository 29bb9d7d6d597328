#include <gtest/gtest.h>

#include <string>

#include "foundation/fileutils.h"

namespace {

struct SplitCase {
    const char* in;
    const char* path;
    const char* name;
};

TEST(PathsTest, ExtractFilePathAndName) {
    const SplitCase cases[] = {
        {"/var/log/messages", "/var/log/", "messages"},
        {"messages", "", "messages"},
        {"/var/log/", "/var/log/", ""},
        {"/", "/", ""},
        {"", "", ""},
        {"a/b", "a/", "b"},
        {"//x", "//", "x"},
        {"/tmp/*.gz", "/tmp/", "*.gz"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(ExtractFilePath(c.in).Std(), c.path);
        EXPECT_EQ(ExtractFileName(c.in).Std(), c.name);
    }
}

TEST(PathsTest, ExtractFileNameKeepsBytesAfterNul) {
    const String s("dir/a\0b", 7);
    EXPECT_EQ(ExtractFileName(s).Std(), std::string("a\0b", 3));
    EXPECT_EQ(ExtractFilePath(s).Std(), "dir/");
}

struct TrailCase {
    const char* in;
    const char* included;
    const char* excluded;
};

TEST(PathsTest, TrailingDelimiter) {
    const TrailCase cases[] = {
        {"/tmp", "/tmp/", "/tmp"},
        {"/tmp/", "/tmp/", "/tmp"},
        {"/tmp//", "/tmp//", "/tmp/"},
        {"", "/", ""},
        {"/", "/", ""},
        {"a", "a/", "a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(IncludeTrailingPathDelimiter(c.in).Std(), c.included);
        EXPECT_EQ(ExcludeTrailingPathDelimiter(c.in).Std(), c.excluded);
    }
}

TEST(PathsTest, IsPathDelimiterChecksBounds) {
    const String s("/a/");
    const struct {
        int i;
        bool want;
    } cases[] = {{-1, false}, {0, false}, {1, true}, {2, false}, {3, true}, {4, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.i);
        EXPECT_EQ(IsPathDelimiter(s, c.i), c.want);
    }
    EXPECT_FALSE(IsPathDelimiter(String(), 1));
}

TEST(PathsTest, LastDelimiter) {
    const struct {
        const char* delims;
        String s;
        int want;
    } cases[] = {
        {"/", "/var/log/x", 9},
        {"/.", "/var/log/x.gz", 11},
        {"/", "none", 0},
        {"", "a/b", 0},
        {nullptr, "a/b", 0},
        {"/", "", 0},
        {"/", String("a\0b", 3), 0},  // the NUL in s is no delimiter
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.s.Std());
        EXPECT_EQ(LastDelimiter(c.delims, c.s), c.want);
    }
}

}  // namespace
