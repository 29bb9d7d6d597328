#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "crypto/cfb8.h"
#include "protocol/packet.h"
#include "test_util.h"

namespace {

TEST(PacketTest, ConstantsDescribeTheLayout) {
    EXPECT_EQ(OFFSET_AUTH, 5);
    EXPECT_EQ(OFFSET_PSWD, 7);
    EXPECT_EQ(OFFSET_KEY, 9);
    EXPECT_EQ(OFFSET_REQUEST, 11);
    EXPECT_EQ(SIZELEN_MINIMUM, 14);
    EXPECT_EQ(kMaxRequestPacket, 16 * 1024 * 1024);
}

TEST(PacketTest, EncodeDataRoundTripsAnyBytes) {
    String all;
    for (int i = 0; i < 256; ++i) all.AddChar(static_cast<char>(i));
    const String keys[] = {String(), String("k\0ey", 4), "password"};
    for (const auto& key : keys) {
        String c = EncodeData(all, key, 0);
        EXPECT_EQ(c.Length(), all.Length());
        EXPECT_NE(c, all);
        EXPECT_EQ(DecodeData(c, key), all);
    }
    // Different keys, different ciphertexts; a zero byte in the key counts.
    EXPECT_NE(EncodeData(all, String("k\0ey", 4), 0), EncodeData(all, String("k\0ez", 4), 0));
}

TEST(PacketTest, EmptyTextsStayEmpty) {
    EXPECT_TRUE(EncodeData(String(), "key", 4).IsEmpty());
    EXPECT_TRUE(EncodeData(String(), "key", 0).IsEmpty());
    EXPECT_TRUE(DecodeData(String(), "key").IsEmpty());
    EXPECT_TRUE(EncodePswd(String()).IsEmpty());
}

TEST(PacketTest, LengthPrefix) {
    String text(std::string(300, 'z'));
    String c = EncodeData(text, "k", 4);
    ASSERT_EQ(c.Length(), 304);
    EXPECT_EQ(ToHex(c.Copy(1, 4)), "2c010000");
    EXPECT_EQ(ToHex(EncodeData(text, "k", 2).Copy(1, 2)), "2c01");
    EXPECT_EQ(c.Copy(5, 300), EncodeData(text, "k", 0));
}

TEST(PacketTest, LengthFieldsTable) {
    const struct {
        const char* bytes;
        int digits;
        unsigned value;
    } decode[] = {
        {"\x2c\x01\x00\x00", 4, 300},   {"\x2c\x01\x00\x00", 2, 300}, {"\x2c\x01\x00\x00", 1, 0x2c},
        {"\x2c\x01\x00\x00", 3, 0},     {"\x2c\x01\x00\x00", 0, 0},   {"\xff\xff\xff\xff", 4, 0xFFFFFFFFu},
        {"\xfe\xff\x00\x00", 2, 0xFFFE},
    };
    for (const auto& d : decode) EXPECT_EQ(DecodeLength(d.bytes, d.digits), d.value) << d.digits;
    String text(std::string(0x10203, 'a'));
    EXPECT_EQ(ToHex(EncodeLength(text, 4)), "03020100");
    EXPECT_EQ(ToHex(EncodeLength(text, 3)), "030201");
    EXPECT_EQ(ToHex(EncodeLength(text, 1)), "03");
    EXPECT_TRUE(EncodeLength(text, 0).IsEmpty());
}

TEST(PacketTest, PasswordProofIsRawMd5) {
    EXPECT_EQ(ToHex(EncodePswd("secret")), "5ebe2294ecd0e0f08eab7690d2a6ee69");
    EXPECT_EQ(EncodePswd(String("a\0b", 3)).Length(), 16);
    EXPECT_NE(EncodePswd(String("a\0b", 3)), EncodePswd("a"));
}

TEST(PacketTest, PasswordKeyIsPreparedOncePerValue) {
    auto a = GetPasswordKey("alpha");
    auto b = GetPasswordKey("alpha");
    EXPECT_EQ(a.get(), b.get());
    auto c = GetPasswordKey("beta");
    EXPECT_NE(a.get(), c.get());
    EXPECT_EQ(c->proof, EncodePswd("beta"));
    // An entry still held stays usable after the cache moved on.
    String plain = "text";
    EXPECT_EQ(EncodeData(plain, *a->key, 0), EncodeData(plain, "alpha", 0));
}

TEST(PacketTest, PasswordKeysFromManyThreads) {
    std::vector<std::thread> threads;
    std::vector<int> ok(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&ok, t] {
            bool good = true;
            for (int i = 0; i < 50; ++i) {
                String pw = (i + t) % 2 ? "one" : "two";
                auto k = GetPasswordKey(pw);
                good = good && k->password == pw && DecodeData(EncodeData("abc", *k->key, 0), pw) == String("abc");
            }
            ok[static_cast<size_t>(t)] = good;
        });
    }
    for (auto& th : threads) th.join();
    for (int v : ok) EXPECT_TRUE(v);
}

TEST(PacketDeathTest, LengthDigitsAboveFourStop) {
    EXPECT_DEATH(EncodeLength("abc", 5), "Assertion `digits<=sizeof\\(len\\)' failed");
    EXPECT_DEATH(DecodeLength("abcdefgh", 5), "Assertion `digits<=sizeof\\(int\\)' failed");
}

}  // namespace

// A thread prepares each key in the object it prepared last once nobody
// holds that any more; what it enciphers is what a fresh key gives, whatever
// the key before it was.
TEST(PrepareCipherKey, ReusesTheThreadsObjectOnlyWhenFree) {
    const uint8_t plain[] = "the reply text of a request";
    auto encipher = [&](const TCipherKey& key) {
        std::string out(sizeof plain, '\0');
        key.Encrypt(plain, reinterpret_cast<uint8_t*>(out.data()), sizeof plain);
        return out;
    };
    const char* const texts[] = {"first session key", "", "a second, longer session key of 40 bytes!"};
    const TCipherKey* last = nullptr;
    for (const char* text : texts) {
        auto key = PrepareCipherKey(String(text));
        if (last != nullptr) {
            EXPECT_EQ(key.get(), last) << text;  // the previous one was let go
        }
        TCipherKey fresh(text, strlen(text));
        EXPECT_EQ(encipher(*key), encipher(fresh)) << text;
        last = key.get();
    }
    auto held = PrepareCipherKey(String("held by a request"));
    auto other = PrepareCipherKey(String("and its neighbour"));
    EXPECT_NE(held.get(), other.get());
    TCipherKey fresh("held by a request", 17);
    EXPECT_EQ(encipher(*held), encipher(fresh));
}
