#include "crypto/cfb8.h"

#include <cstring>

#include <botan/block_cipher.h>
#include <botan/mem_ops.h>

#include "crypto/sha1.h"

namespace {

constexpr size_t kBlock = 16;
// Bytes handled per pass; the feedback window slides over a local buffer
// so that no per-byte shifting is needed.
constexpr size_t kChunk = 256;
constexpr size_t kBatch = 64;  // registers enciphered together when deciphering

}  // namespace

TCipherKey::TCipherKey(const void* keyText, size_t length) { Rekey(keyText, length); }

void TCipherKey::Rekey(const void* keyText, size_t length) {
    if (!Twofish_checked()) Twofish_initialise();
    THash_SHA sha;
    static const uint8_t kNothing = 0;
    const uint8_t* digest = sha.GetHash(length > 0 ? keyText : &kNothing, static_cast<int>(length));
    Twofish_prepare_key(digest, THash_SHA::kSize, &key_);
    sha.Burn();
    std::memset(iv_, 0xFF, sizeof(iv_));
    Twofish_encrypt(&key_, iv_, iv_);
}

TCipherKey::~TCipherKey() { Botan::secure_scrub_memory(iv_, sizeof(iv_)); }

// Enciphering feeds back each output byte, so the blocks follow one another.
// The register for byte i is the 16 bytes before it in window (the initial
// register followed by the ciphertext).
void TCipherKey::Encrypt(const uint8_t* in, uint8_t* out, size_t n) const {
    const Botan::BlockCipher& bc = *key_.cipher;
    uint8_t window[kBlock + kChunk];
    uint8_t ks[kBlock];
    std::memcpy(window, iv_, kBlock);
    size_t done = 0;
    while (done < n) {
        size_t m = n - done < kChunk ? n - done : kChunk;
        for (size_t j = 0; j < m; ++j) {
            bc.encrypt_n(window + j, ks, 1);
            uint8_t c = static_cast<uint8_t>(in[done + j] ^ ks[0]);
            window[kBlock + j] = c;
            out[done + j] = c;
        }
        std::memmove(window, window + m, kBlock);
        done += m;
    }
    Botan::secure_scrub_memory(ks, sizeof(ks));
    Botan::secure_scrub_memory(window, sizeof(window));
}

// Deciphering feeds back the input, so every register is known in advance
// and a batch of them is enciphered in one call.
void TCipherKey::Decrypt(const uint8_t* in, uint8_t* out, size_t n) const {
    const Botan::BlockCipher& bc = *key_.cipher;
    uint8_t window[kBlock + kBatch];
    uint8_t regs[kBatch * kBlock];
    uint8_t ks[kBatch * kBlock];
    std::memcpy(window, iv_, kBlock);
    size_t done = 0;
    while (done < n) {
        size_t m = n - done < kBatch ? n - done : kBatch;
        std::memcpy(window + kBlock, in + done, m);
        for (size_t j = 0; j < m; ++j) std::memcpy(regs + j * kBlock, window + j, kBlock);
        bc.encrypt_n(regs, ks, m);
        for (size_t j = 0; j < m; ++j) out[done + j] = static_cast<uint8_t>(window[kBlock + j] ^ ks[j * kBlock]);
        std::memmove(window, window + m, kBlock);
        done += m;
    }
    // The registers are ciphertext; only the key stream and the initial
    // register are worth wiping.
    Botan::secure_scrub_memory(ks, sizeof(ks));
    Botan::secure_scrub_memory(window, sizeof(window));
}
