// Parameter readers, result codes and the request's command split.
#include "protocol/params.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/result_codes.h"

namespace {

std::string S(const String& s) { return std::string(s.View()); }

VTRequest Params(const std::string& text) {
    VTRequest r;
    r = String(text);
    return r;
}

TEST(Params, TextForms) {
    VTRequest p = Params(" /var/log/caf\xc3\xa9 \n\ta%0Ab%0D \nraw \n");
    EXPECT_EQ(S(ParamText(p, 1)), "/var/log/caf\xc3\xa9");
    EXPECT_EQ(S(ParamRaw(p, 1)), " /var/log/caf\xc3\xa9 ");
    EXPECT_EQ(S(ParamDecoded(p, 2)), "a\nb\r");
    EXPECT_EQ(S(ParamDecoded(p, 2, false)), "\ta\nb\r ");
    EXPECT_EQ(S(ParamRaw(p, 3)), "raw ");
    EXPECT_EQ(S(ParamText(p, 4)), "");   // past the end: empty
    EXPECT_EQ(S(ParamText(p, 99)), "");
}

TEST(Params, FlagsAndNumbers) {
    struct Case {
        std::string text;
        bool flag;
        int number;   // ParamNumber
        bool valid;   // ParamInt accepts it
        int checked;  // its value when valid
    };
    const Case cases[] = {
        {"1", true, 1, true, 1},       {" 1 ", true, 1, true, 1},  {"0", false, 0, true, 0},
        {"", false, 0, true, 0},       {"abc", false, 0, false, 0}, {"-5", false, -5, true, -5},
        {"1-2", false, 1, true, 1},    {"1.5", false, 1, false, 0}, {"99999999999", false, 2147483647, true, 2147483647},
        {"true", false, 0, false, 0},
    };
    for (const Case& c : cases) {
        VTRequest p = Params(c.text + "\n");
        EXPECT_EQ(ParamFlag(p, 1), c.flag) << c.text;
        EXPECT_EQ(ParamNumber(p, 1), c.number) << c.text;
        ZELReply reply;
        int out = 77;
        EXPECT_EQ(ParamInt(p, 1, out, reply), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(out, c.checked) << c.text;
            EXPECT_TRUE(reply.IsEmpty()) << c.text;
        } else {
            EXPECT_EQ(out, 77) << c.text;
            EXPECT_EQ(S(reply), "501\nWrong parameter") << c.text;
        }
    }
    VTRequest big = Params("9000000000\nx\n");
    ZELReply reply;
    long long v = 0;
    EXPECT_TRUE(ParamInt64(big, 1, v, reply));
    EXPECT_EQ(v, 9000000000LL);
    EXPECT_FALSE(ParamInt64(big, 2, v, reply));
    EXPECT_EQ(S(reply), "501\nWrong parameter");
}

TEST(ResultCodes, DigitsMeaningsAndReplies) {
    for (const TResultCodeInfo& info : kResultCodes) {
        EXPECT_STREQ(ResultDigits(info.code), info.digits);
        EXPECT_EQ(FindResultCode(info.digits), &info);
        ZELReply reply;
        reply.SetResult(info.code, "text");
        EXPECT_EQ(S(reply), std::string(info.digits) + "\ntext");
        EXPECT_EQ(S(reply.ResultCode()), info.digits);
    }
    EXPECT_EQ(FindResultCode("201"), nullptr);
    EXPECT_EQ(FindResultCode("20"), nullptr);
    ZELReply empty;
    EXPECT_EQ(S(empty.ResultCode()), "");
}

TEST(RequestSplit, CommandWordAndParameters) {
    struct Case {
        std::string text, word, params;
        bool endMark;
    };
    const Case cases[] = {
        {"GetInfo\r\n", "GetInfo", "", true},
        {" QUIT \r", "QUIT", "", true},
        {"TEST-FileExists\n/etc/hostname\n\r", "TEST-FileExists", "/etc/hostname\n\r", true},
        {"GetInfo\n", "GetInfo", "", false},
        {"\r\n", "", "", true},
    };
    for (const Case& c : cases) {
        VTRequest r = Params(c.text);
        EXPECT_EQ(r.HasEndMark(), c.endMark) << c.text;
        String word;
        VTRequest params;
        r.SplitCommand(word, params);
        EXPECT_EQ(S(word), c.word) << c.text;
        EXPECT_EQ(S(params), c.params) << c.text;
    }
}

}  // namespace
