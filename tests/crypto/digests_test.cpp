#include "crypto/crc32.h"
#include "crypto/sha1.h"
#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string ToHex(const uint8_t* p, size_t n) {
    std::string out;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof(b), "%02x", p[i]);
        out += b;
    }
    return out;
}

// FIPS 180-1 examples.
TEST(ShaTest, StandardDigests) {
    const struct {
        std::string text;
        const char* digest;
    } cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    };
    for (const auto& c : cases) {
        THash_SHA sha;
        EXPECT_EQ(sha.GetHashSize(), 20);
        EXPECT_EQ(ToHex(sha.GetHash(c.text.data(), static_cast<int>(c.text.size())), 20), c.digest) << c.text;
        // Without data: the last completed digest again.
        EXPECT_EQ(ToHex(sha.GetHash(nullptr, 0), 20), c.digest);
    }
}

TEST(ShaTest, PiecewiseUpdateMatchesOneShotAndStartsItself) {
    std::string text(1000, 'a');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7);
    THash_SHA one, pieces;
    std::string whole = ToHex(one.GetHash(text.data(), static_cast<int>(text.size())), 20);
    pieces.Final();        // completes the constructor's computation
    pieces.Update(text.data(), 1);   // starts a new one by itself
    pieces.Update(text.data() + 1, 0);
    pieces.Update(text.data() + 1, 63);
    pieces.Update(text.data() + 64, static_cast<int>(text.size()) - 64);
    pieces.Final();
    EXPECT_EQ(ToHex(pieces.GetHash(nullptr, 0), 20), whole);
}

TEST(ShaTest, BurnWipesDigest) {
    THash_SHA sha;
    const uint8_t* d = sha.GetHash("abc", 3);
    sha.Burn();
    EXPECT_EQ(ToHex(d, 20), std::string(40, '0'));
}

TEST(ShaDeathTest, MisuseStopsWithAssertionText) {
    EXPECT_DEATH(
        {
            THash_SHA sha;
            sha.Final();
            sha.Final();
        },
        "Assertion `fInitialized' failed");
    EXPECT_DEATH(
        {
            THash_SHA sha;  // the constructor leaves a computation under way
            sha.GetHash(nullptr, 0);
        },
        "Assertion `!fInitialized' failed");
}

TEST(Crc32Test, RegisterWithoutFinalInversion) {
    TCRC32 crc;
    EXPECT_EQ(crc.GetCRC(), 0xFFFFFFFFu);
    EXPECT_EQ(crc.GetBlockCRC("abc", 3), 0xCADBBE3Du);
    EXPECT_EQ(crc.GetBlockCRC("abc", -1), 0xCADBBE3Du);  // NUL-terminated
    EXPECT_EQ(crc.GetBlockCRC("", 0), 0xFFFFFFFFu);
    EXPECT_EQ(crc.GetBlockCRC(nullptr, 10), 0xFFFFFFFFu);
    // The standard check value of "123456789" is 0xCBF43926.
    EXPECT_EQ(crc.GetBlockCRC("123456789", 9), ~0xCBF43926u);
}

TEST(Crc32Test, HighBytesAndPiecewiseUpdates) {
    std::vector<uint8_t> data(4096);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x80 + (i * 31) % 128);
    TCRC32 whole;
    uint32_t expected = whole.GetBlockCRC(data.data(), static_cast<int64_t>(data.size()));

    TCRC32 bytes;  // one byte at a time through the single-byte form
    for (uint8_t b : data) bytes.UpdateCRC(b);
    EXPECT_EQ(bytes.GetCRC(), expected);

    TCRC32 chunks;
    chunks.InitCRC();
    chunks.UpdateCRC(data.data(), 1000);
    chunks.UpdateCRC(data.data() + 1000, 0);
    chunks.UpdateCRC(data.data() + 1000, static_cast<int64_t>(data.size()) - 1000);
    EXPECT_EQ(chunks.GetCRC(), expected);

    // A single byte 0xFF indexes the table as 255: ~CRC32("\xff") = ~0xFF000000.
    uint8_t ff = 0xFF;
    EXPECT_EQ(TCRC32().GetBlockCRC(&ff, 1), ~0xFF000000u);
}

// RFC 1321 test suite.
TEST(Md5Test, StandardDigestsAndWipe) {
    const struct {
        std::string text;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) {
        MD5 ctx;
        unsigned char out[16];
        MD5Open(&ctx);
        EXPECT_TRUE(ctx.IsOpen());
        // Two pieces, to use the update step more than once.
        size_t half = c.text.size() / 2;
        MD5Digest(&ctx, c.text.data(), half);
        MD5Digest(&ctx, c.text.data() + half, c.text.size() - half);
        MD5Close(&ctx, out);
        EXPECT_EQ(ToHex(out, 16), c.digest) << c.text;
        EXPECT_FALSE(ctx.IsOpen());  // state wiped and released
    }
}

}  // namespace
