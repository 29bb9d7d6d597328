#include "crypto/cfb8.h"

#include <gtest/gtest.h>

#include <botan/block_cipher.h>
#include <botan/cipher_mode.h>
#include <botan/hash.h>
#include <botan/version.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Sample(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return b;
}

// The same cipher assembled from Botan's own parts: key = SHA-1(text)
// padded to 24 bytes, IV = E(sixteen 0xFF), standard CFB with 8-bit
// feedback.
Bytes ReferenceCfb8(const std::string& keyText, const Bytes& in, bool encrypt) {
    auto sha = Botan::HashFunction::create_or_throw("SHA-1");
    auto digest = sha->process(keyText);
    Botan::secure_vector<uint8_t> key(24, 0);
    std::copy(digest.begin(), digest.end(), key.begin());
    auto tf = Botan::BlockCipher::create_or_throw("Twofish");
    tf->set_key(key);
    Bytes iv(16, 0xFF);
    tf->encrypt(iv);
#if BOTAN_VERSION_MAJOR >= 3
    auto dir = encrypt ? Botan::Cipher_Dir::Encryption : Botan::Cipher_Dir::Decryption;
#else
    auto dir = encrypt ? Botan::ENCRYPTION : Botan::DECRYPTION;
#endif
    auto mode = Botan::Cipher_Mode::create_or_throw("Twofish/CFB(8)", dir);
    mode->set_key(key);
    mode->start(iv);
    Botan::secure_vector<uint8_t> buf(in.begin(), in.end());
    mode->finish(buf);
    return Bytes(buf.begin(), buf.end());
}

TEST(Cfb8Test, MatchesReferenceModeAcrossChunkBoundaries) {
    const std::string keys[] = {"", "secret", std::string("k\0y", 3), std::string(100, 'x')};
    const size_t sizes[] = {1, 15, 16, 17, 63, 64, 65, 255, 256, 257, 1000, 4097};
    for (const auto& keyText : keys) {
        TCipherKey key(keyText.data(), keyText.size());
        for (size_t n : sizes) {
            SCOPED_TRACE(testing::Message() << "key length " << keyText.size() << ", size " << n);
            Bytes plain = Sample(n, static_cast<unsigned>(keyText.size()));
            Bytes cipher(n), back(n);
            key.Encrypt(plain.data(), cipher.data(), n);
            EXPECT_EQ(cipher, ReferenceCfb8(keyText, plain, true));
            key.Decrypt(cipher.data(), back.data(), n);
            EXPECT_EQ(back, plain);
        }
    }
}

TEST(Cfb8Test, InPlaceBothWays) {
    TCipherKey key("in place", 8);
    Bytes plain = Sample(700, 3);
    Bytes expected(plain.size());
    key.Encrypt(plain.data(), expected.data(), plain.size());
    Bytes buf = plain;
    key.Encrypt(buf.data(), buf.data(), buf.size());
    EXPECT_EQ(buf, expected);
    key.Decrypt(buf.data(), buf.data(), buf.size());
    EXPECT_EQ(buf, plain);
}

TEST(Cfb8Test, OneKeySharedByManyThreads) {
    TCipherKey key("shared", 6);
    Bytes plain = Sample(5000, 9);
    Bytes expected(plain.size());
    key.Encrypt(plain.data(), expected.data(), plain.size());
    std::vector<int> ok(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            bool good = true;
            for (int round = 0; round < 20; ++round) {
                Bytes c(plain.size()), p(plain.size());
                key.Encrypt(plain.data(), c.data(), c.size());
                key.Decrypt(c.data(), p.data(), p.size());
                good = good && c == expected && p == plain;
            }
            ok[static_cast<size_t>(t)] = good;
        });
    }
    for (auto& th : threads) th.join();
    for (int v : ok) EXPECT_TRUE(v);
}

}  // namespace
