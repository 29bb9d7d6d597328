#include "crypto/twofish.h"
#include "crypto/cfb8.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

class TwofishTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Twofish_initialise(); }
};

struct KnownAnswer {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Known-answer values of the Twofish authors (ECB), one per key size, plus
// the first entries of their variable-text table.
const KnownAnswer kKnownAnswers[] = {
    {"00000000000000000000000000000000", "00000000000000000000000000000000", "9f589f5cf6122c32b6bfec2f2ae8c35a"},
    {"0123456789abcdeffedcba98765432100011223344556677", "00000000000000000000000000000000",
     "cfd1d2e5a9be9cdf501f13b892bd2248"},
    {"0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff", "00000000000000000000000000000000",
     "37527be0052334b89f0cfccae87cfa20"},
    {"00000000000000000000000000000000", "9f589f5cf6122c32b6bfec2f2ae8c35a", "d491db16e7b1c39e86cb086b789f5419"},
};

// Prepares the answer's key in xkey and enciphers its plain text; true
// when that gives its cipher text.
bool EnciphersAsKnown(const KnownAnswer& kat, Twofish_key& xkey) {
    auto key = Hex(kat.key);
    auto p = Hex(kat.plain);
    auto c = Hex(kat.cipher);
    Twofish_prepare_key(key.data(), static_cast<int>(key.size()), &xkey);
    uint8_t out[16];
    Twofish_encrypt(&xkey, p.data(), out);
    return std::memcmp(out, c.data(), 16) == 0;
}

TEST_F(TwofishTest, InitialiseIsIdempotentAndSetsFlag) {
    Twofish_initialise();
    EXPECT_TRUE(Twofish_initialised());
    EXPECT_TRUE(Twofish_checked());
    Twofish_initialise_quick();  // nothing left to do
    EXPECT_TRUE(Twofish_checked());
}

TEST_F(TwofishTest, KnownAnswersEncipherAndDecipher) {
    for (const auto& kat : kKnownAnswers) {
        SCOPED_TRACE(kat.key);
        Twofish_key xkey;
        EXPECT_TRUE(EnciphersAsKnown(kat, xkey));
        auto p = Hex(kat.plain);
        auto c = Hex(kat.cipher);
        uint8_t out[16];
        std::memcpy(out, c.data(), 16);
        Twofish_decrypt(&xkey, out, out);  // in place
        EXPECT_EQ(0, std::memcmp(out, p.data(), 16));
    }
}

TEST_F(TwofishTest, ShortKeysArePaddedWithZeros) {
    // Each length maps to the next standard size, missing bytes zero.
    const struct {
        int len;
        int padded;
    } cases[] = {{0, 16}, {1, 16}, {16, 16}, {17, 24}, {20, 24}, {24, 24}, {25, 32}, {31, 32}, {32, 32}};
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(0xA0 + i);
    const uint8_t block[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.len);
        uint8_t padded[32] = {};
        std::memcpy(padded, key, static_cast<size_t>(c.len));
        Twofish_key a, b;
        Twofish_prepare_key(key, c.len, &a);
        Twofish_prepare_key(padded, c.padded, &b);
        EXPECT_EQ(a.keyBytes, c.padded);
        uint8_t ca[16], cb[16];
        Twofish_encrypt(&a, block, ca);
        Twofish_encrypt(&b, block, cb);
        EXPECT_EQ(0, std::memcmp(ca, cb, 16));
    }
}

TEST_F(TwofishTest, DifferentKeysGiveDifferentCiphertexts) {
    uint8_t k1[20] = {}, k2[20] = {};
    k2[19] = 1;  // a difference in the last byte of a 20-byte key must count
    Twofish_key a, b;
    Twofish_prepare_key(k1, 20, &a);
    Twofish_prepare_key(k2, 20, &b);
    uint8_t block[16] = {}, ca[16], cb[16];
    Twofish_encrypt(&a, block, ca);
    Twofish_encrypt(&b, block, cb);
    EXPECT_NE(0, std::memcmp(ca, cb, 16));
}

using TwofishDeathTest = TwofishTest;

TEST_F(TwofishDeathTest, IllegalKeyLengthsEndTheProcess) {
    uint8_t key[40] = {};
    for (int len : {33, 40, -1}) {
        Twofish_key xkey;
        EXPECT_EXIT(Twofish_prepare_key(key, len, &xkey), ::testing::ExitedWithCode(3),
                    "\nTwofish fatal error: Twofish_prepare_key: illegal key length\nProcess terminated\n");
    }
}

TEST_F(TwofishDeathTest, FatalWritesMessageAndExitsWithThree) {
    EXPECT_EXIT(Twofish_fatal("boom"), ::testing::ExitedWithCode(3),
                "^\nTwofish fatal error: boom\nProcess terminated\n$");
}

// Runs in a fresh process (threadsafe style re-executes the program) in
// which nothing has initialised the cipher.
TEST(TwofishUninitialisedDeathTest, PrepareBeforeInitialiseEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    uint8_t key[16] = {};
    EXPECT_EXIT(
        {
            Twofish_key xkey;
            Twofish_prepare_key(key, 16, &xkey);
        },
        ::testing::ExitedWithCode(3), "Twofish implementation was not initialised\\.");
}

// The short self-check of a query client, meant for a fresh process: it
// makes the cipher usable on its own, and the packet cipher built after it
// gives back what it enciphered. Ends the process: 0 when all holds.
[[noreturn]] void QuickCheckAlone() {
    const bool before = Twofish_initialised() || Twofish_checked();
    Twofish_initialise_quick();
    Twofish_initialise_quick();
    bool ok = !before && Twofish_initialised() && Twofish_checked();
    Twofish_key xkey;
    ok = ok && EnciphersAsKnown(kKnownAnswers[1], xkey);  // a 192-bit key, as the packet cipher uses
    const char text[] = "GetInfo\n\r";
    uint8_t enc[sizeof text], dec[sizeof text];
    TCipherKey packetKey("password", 8);
    packetKey.Encrypt(reinterpret_cast<const uint8_t*>(text), enc, sizeof text);
    packetKey.Decrypt(enc, dec, sizeof text);
    ok = ok && std::memcmp(text, dec, sizeof text) == 0 && std::memcmp(text, enc, sizeof text) != 0;
    std::fputs(ok ? "quick check ok" : "quick check failed", stderr);
    std::exit(ok ? 0 : 1);
}

TEST(TwofishQuickDeathTest, QuickCheckAloneMakesTheCipherUsable) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(QuickCheckAlone(), ::testing::ExitedWithCode(0), "quick check ok");
}

}  // namespace
