#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "protocol/client.h"
#include "protocol/packet.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "test_util.h"

namespace {

const String kKey = "session";

// Deciphers a finalised reply, checking its length field.
String Plain(const ZELReply& reply, const String& key = kKey) {
    String text, err;
    EXPECT_TRUE(DecodeReplyPacket(reply, key, text, err)) << err.Data();
    return text;
}

TEST(ReplyTest, ResultAndIntegerPacket) {
    ZELReply r;
    r.InitPacket(nullptr, kKey);
    r.SetResult("200");
    r.AddIntParam(5);
    r.FinalizePacket();
    ASSERT_EQ(r.Length(), 11);
    EXPECT_EQ(ToHex(r.Copy(1, 4)), "07000000");
    EXPECT_EQ(Plain(r), String("200\n5\n\r"));
}

TEST(ReplyTest, CodeIntegerAndBoolean) {
    ZELReply r;
    r.InitPacket("200", kKey);
    r.AddIntParam(5);
    r.AddBoolParam(7);
    r.FinalizePacket();
    EXPECT_EQ(Plain(r), String("200\n5\n1\n\r"));
}

TEST(ReplyTest, MessageAppendedAfterResult) {
    ZELReply r;
    r.InitPacket(nullptr, kKey);
    r.SetResult("300");
    r += "Cannot do it";
    r.FinalizePacket();
    EXPECT_EQ(Plain(r), String("300\nCannot do it\n\r"));
}

TEST(ReplyTest, EmptyReplyIsLoneEndMark) {
    ZELReply r;
    r.InitPacket(nullptr, kKey);
    r.FinalizePacket();
    EXPECT_EQ(r.Length(), 5);
    EXPECT_EQ(Plain(r), String("\r"));
}

TEST(ReplyTest, SetResultReplacesAfterFinalize) {
    // The upgrade exchange sends a second reply with the same object.
    ZELReply r;
    r.InitPacket("200", kKey);
    r.FinalizePacket();
    r.SetResult("301");
    r.AddStringParam("again");
    r.FinalizePacket();
    EXPECT_EQ(Plain(r), String("301\nagain\n\r"));
    r.SetResult(nullptr);
    EXPECT_TRUE(r.IsEmpty());
}

TEST(ReplyTest, UsesRequestsPreparedSessionKey) {
    VTRequest req;
    req = BuildRequestPacket("pw", "the key", "GetInfo\n\r");
    ASSERT_TRUE(req.ParseInitRequest("pw", in_addr{}));
    ZELReply r;
    r.InitPacket(nullptr, req);
    r.SetResult("200");
    r.FinalizePacket();
    EXPECT_EQ(r, EncodeData("200\n\r", "the key", 4));
    EXPECT_EQ(Plain(r, "the key"), String("200\n\r"));
}

// One value added to an empty reply, and the line it becomes.
struct EncodingCase {
    const char* name;
    void (*add)(ZELReply&);
    std::string line;
};

TEST(ReplyTest, ValueEncodings) {
    const EncodingCase cases[] = {
        {"int", [](ZELReply& r) { r.AddIntParam(-17); }, "-17"},
        {"int64 small", [](ZELReply& r) { r.AddIntParam(42LL); }, "    42"},
        {"int64 five", [](ZELReply& r) { r.AddIntParam(5LL); }, "     5"},
        {"int64 wide", [](ZELReply& r) { r.AddIntParam(1234567LL); }, "1234567"},
        {"int64 min", [](ZELReply& r) { r.AddIntParam(LLONG_MIN); }, "-9223372036854775808"},
        {"real half", [](ZELReply& r) { r.AddRealParam(0.5); }, "0.5000"},
        {"real", [](ZELReply& r) { r.AddRealParam(12.25); }, "12.2500"},
        {"real huge cut to 34", [](ZELReply& r) { r.AddRealParam(1e40); },
         std::string("10000000000000000303786028427003666890752.0000").substr(0, 34)},
        {"bool zero", [](ZELReply& r) { r.AddBoolParam(0); }, "0"},
        {"bool negative", [](ZELReply& r) { r.AddBoolParam(-1); }, "1"},
        {"string", [](ZELReply& r) { r.AddStringParam("a\nb"); }, "a\nb"},
        {"string encoded", [](ZELReply& r) { r.AddStringParam("a\r\nb", true); }, "a%0D%0Ab"},
        {"String with zero byte", [](ZELReply& r) { r.AddStringParam(String("x\0y", 3)); }, std::string("x\0y", 3)},
        {"null text", [](ZELReply& r) { r.AddStringParam(static_cast<const char*>(nullptr)); }, ""},
        {"var params", [](ZELReply& r) { r.AddVarParams("%s=%d", "n", 3); }, "n=3"},
        {"time tm",
         [](ZELReply& r) {
             struct tm t {};
             t.tm_mday = 5;
             t.tm_mon = 2;
             t.tm_year = 124;
             t.tm_hour = 7;
             t.tm_min = 8;
             t.tm_sec = 9;
             r.AddTimeParam(t);
         },
         "05032024070809"},
    };
    for (const auto& c : cases) {
        ZELReply r;
        r.InitPacket("200", kKey);
        c.add(r);
        EXPECT_EQ(r.Std(), "200\n" + c.line + "\n") << c.name;
    }
}

TEST(ReplyTest, LocalTimeStamp) {
    setenv("TZ", "UTC", 1);
    tzset();
    ZELReply r;
    r.AddTimeParam(static_cast<time_t>(1709622489));  // 2024-03-05 07:08:09 UTC
    EXPECT_EQ(r, String("05032024070809\n"));
}

TEST(ReplyTest, SeparatorOnlyWhenNeeded) {
    ZELReply r;
    r.CommandSeparatorCheck();
    EXPECT_TRUE(r.IsEmpty());
    r = "abc";
    r.CommandSeparatorCheck();
    r.CommandSeparatorCheck();
    EXPECT_EQ(r, String("abc\n"));
}

TEST(ReplyTest, VarParamsBufferLimit) {
    const struct {
        size_t len;
        size_t kept;  // 0: nothing added
    } cases[] = {{2047, 2047}, {2048, 2047}, {2049, 0}, {5000, 0}};
    for (const auto& c : cases) {
        std::string s(c.len, 'v');
        ZELReply r;
        r.AddVarParams("%s", s.c_str());
        std::string expected = c.kept == 0 ? "" : std::string(c.kept, 'v') + "\n";
        EXPECT_EQ(r.Std(), expected) << c.len;
    }
}

TEST(ReplyPacketTest, CompletenessAndErrors) {
    ZELReply r;
    r.InitPacket("200", kKey);
    r.FinalizePacket();
    String packet = r;
    for (int n = 0; n < packet.Length(); ++n) EXPECT_FALSE(ReplyPacketComplete(packet.Copy(1, n))) << n;
    EXPECT_TRUE(ReplyPacketComplete(packet));
    EXPECT_EQ(ReplyPacketSize(packet), packet.Length());

    String text, err;
    EXPECT_FALSE(DecodeReplyPacket(packet.Copy(1, 3), kKey, text, err));
    EXPECT_FALSE(err.IsEmpty());
    EXPECT_FALSE(DecodeReplyPacket(packet.Copy(1, packet.Length() - 1), kKey, text, err));
    EXPECT_FALSE(DecodeReplyPacket(packet + "x", kKey, text, err));
    ASSERT_TRUE(DecodeReplyPacket(packet, kKey, text, err));
    EXPECT_EQ(text, String("200\n\r"));
}

}  // namespace
