#include <gtest/gtest.h>

#include "protocol/client.h"
#include "protocol/packet.h"
#include "protocol/request.h"
#include "test_util.h"

namespace {

TEST(RequestTest, ConstructionAndAssignment) {
    VTRequest req;
    EXPECT_TRUE(req.IsEmpty());
    EXPECT_TRUE(req.GetSessionKey().IsEmpty());
    req = "a\nb\n";
    EXPECT_EQ(req, String("a\nb\n"));
    req = String("x", 1);
    EXPECT_EQ(req, String("x"));
}

struct ParamCase {
    const char* text;
    int index;
    bool trim;
    const char* expected;
};

TEST(RequestTest, GetParamTable) {
    const ParamCase cases[] = {
        {"a\nb\n", 1, false, "a"},
        {"a\nb\n", 2, false, "b"},
        {"a\nb\n", 3, false, ""},
        {"a\nb\n", 9, false, ""},
        {"a\nb\n", 0, false, "a"},
        {"a\nb\n", -5, false, "a"},
        {"a\nb", 2, false, "b"},          // last line without line feed
        {"a\n\nc\n", 2, false, ""},       // empty line in the middle
        {"a\n\nc\n", 3, false, "c"},
        {" x \r\n", 1, true, "x"},
        {" x \r\n", 1, false, " x \r"},
        {"cmd\n  value\t\nz", 2, true, "value"},
        {"", 1, false, ""},
        {"", 1, true, ""},
    };
    for (const auto& c : cases) {
        VTRequest req;
        req = c.text;
        EXPECT_EQ(req.GetParam(c.index, c.trim), String(c.expected))
            << "text \"" << c.text << "\" index " << c.index << " trim " << c.trim;
    }
}

TEST(RequestTest, ParamsCountIsLineFeedCount) {
    const struct {
        const char* text;
        int count;
    } cases[] = {{"", 0}, {"a", 0}, {"a\nb\n", 2}, {"\n\n\n", 3}, {"a\nb", 1}};
    for (const auto& c : cases) {
        VTRequest req;
        req = c.text;
        EXPECT_EQ(req.GetParamsCount(), c.count) << c.text;
    }
}

TEST(RequestTest, ZeroBytesInsideParameters) {
    VTRequest req;
    req = String("p\0q\nr\n", 6);
    EXPECT_EQ(req.GetParam(1, false), String("p\0q", 3));
    EXPECT_EQ(req.GetParam(2, false), String("r"));
}

TEST(RequestTest, CopyKeepsSessionKeyAndAssignmentKeepsIt) {
    VTRequest req;
    req = BuildRequestPacket("pw", "key", "Cmd\none\n\r");
    ASSERT_TRUE(req.ParseInitRequest("pw", in_addr{}));
    VTRequest params = req;
    params = req.Copy(req.Pos('\n') + 1, req.Length());
    EXPECT_EQ(params.GetSessionKey(), String("key"));
    EXPECT_EQ(params.GetParam(1, true), String("one"));
}

}  // namespace
