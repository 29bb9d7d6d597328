// Packets and ciphertexts made by an independent implementation of the
// wire format must be reproduced byte for byte and read back.
#include <gtest/gtest.h>

#include "crypto/crc32.h"
#include "mini_json.h"
#include "protocol/client.h"
#include "protocol/packet.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "test_util.h"

namespace {

class WireVectors : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        loaded_ = JsonReader::ParseFile(std::string(ZEL_TEST_DATA_DIR) + "/wire.json", root_);
    }
    void SetUp() override { ASSERT_TRUE(loaded_) << "cannot read wire.json"; }

    static const JsonValue& Section(const char* name) { return root_[name]; }

    static inline JsonValue root_;
    static inline bool loaded_ = false;
};

TEST_F(WireVectors, Ciphertexts) {
    const auto& list = Section("cipher");
    ASSERT_EQ(list.kind, JsonValue::Arr);
    ASSERT_FALSE(list.arr.empty());
    for (const auto& v : list.arr) {
        String key = FromHex(v["key_text"].str);
        String plain = FromHex(v["plain"].str);
        SCOPED_TRACE(v["key_text"].str);
        EXPECT_EQ(ToHex(EncodeData(plain, key, 0)), v["encoded"].str);
        EXPECT_EQ(DecodeData(FromHex(v["encoded"].str), key), plain);
        // With a length prefix: the same ciphertext after the 4-byte length.
        String prefixed = EncodeData(plain, key, 4);
        EXPECT_EQ(prefixed.Length(), plain.Length() + 4);
        EXPECT_EQ(DecodeLength(prefixed.Data(), 4), static_cast<unsigned>(plain.Length()));
        EXPECT_EQ(ToHex(prefixed.Copy(5, plain.Length())), v["encoded"].str);
    }
}

TEST_F(WireVectors, RequestPackets) {
    const auto& list = Section("requests");
    ASSERT_FALSE(list.arr.empty());
    for (const auto& v : list.arr) {
        String password = Bytes(v["password"].str);
        String sessionKey = FromHex(v["session_key"].str);
        String text = FromHex(v["request_text"].str);
        SCOPED_TRACE(v["request_text"].str);
        EXPECT_EQ(ToHex(BuildRequestPacket(password, sessionKey, text)), v["packet"].str);

        VTRequest req;
        req = FromHex(v["packet"].str);
        ASSERT_TRUE(req.WholePacket());
        ASSERT_TRUE(req.ParseInitRequest(password, in_addr{}));
        EXPECT_EQ(ToHex(req), v["request_text"].str);
        EXPECT_EQ(req.GetSessionKey(), sessionKey);
    }
}

TEST_F(WireVectors, RequestTextsFromCommandAndParameters) {
    // The third vector is TEST-FileExists with /etc/passwd, five empty
    // parameters and 0.
    TStrList params;
    params.Add("/etc/passwd");
    for (int i = 0; i < 5; ++i) params.Add("");
    params.Add("0");
    EXPECT_EQ(ToHex(BuildRequestText("TEST-FileExists", params)), Section("requests").arr.at(2)["request_text"].str);
    EXPECT_EQ(ToHex(BuildRequestText("GetInfo", TStrList())), Section("requests").arr.at(0)["request_text"].str);
}

TEST_F(WireVectors, ReplyPackets) {
    const auto& list = Section("replies");
    ASSERT_FALSE(list.arr.empty());
    for (const auto& v : list.arr) {
        String key = FromHex(v["session_key"].str);
        String text = FromHex(v["reply_text"].str);
        SCOPED_TRACE(v["reply_text"].str);
        ASSERT_GT(text.Length(), 0);
        ASSERT_EQ(text[text.Length()], '\r');

        ZELReply reply;
        reply.InitPacket(nullptr, key);
        reply = text.Copy(1, text.Length() - 1);  // FinalizePacket adds the end mark
        reply.FinalizePacket();
        EXPECT_EQ(ToHex(reply), v["packet"].str);

        String packet = FromHex(v["packet"].str);
        EXPECT_TRUE(ReplyPacketComplete(packet));
        String decoded, err;
        ASSERT_TRUE(DecodeReplyPacket(packet, key, decoded, err)) << err.Data();
        EXPECT_EQ(decoded, text);
    }
}

TEST_F(WireVectors, PasswordProofAndCrc) {
    const auto& proof = Section("md5_proof");
    EXPECT_EQ(ToHex(EncodePswd(Bytes(proof["password"].str))), proof["proof"].str);
    const auto& crc = Section("crc_no_final_inversion");
    char hex[9];
    TCRC32 c;
    std::snprintf(hex, sizeof(hex), "%08x", c.GetBlockCRC("abc", 3));
    EXPECT_EQ(hex, crc["abc"].str);
    std::snprintf(hex, sizeof(hex), "%08x", c.GetBlockCRC("", 0));
    EXPECT_EQ(hex, crc["empty"].str);
}

}  // namespace
