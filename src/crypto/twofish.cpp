#include "crypto/twofish.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>

#include <botan/block_cipher.h>
#include <botan/mem_ops.h>
#include <botan/secmem.h>

#include "crypto/byteorder.h"

namespace {

std::atomic<bool> g_initialised{false};
std::atomic<bool> g_checked{false};
std::once_flag g_initOnce;
std::once_flag g_quickOnce;

std::unique_ptr<Botan::BlockCipher> CreateTwofish() {
    try {
        return Botan::BlockCipher::create_or_throw("Twofish");
    } catch (const std::exception& e) {
        std::string msg = std::string("Twofish cipher not available: ") + e.what();
        Twofish_fatal(msg.c_str());
    }
}

// A fresh, unkeyed cipher object. Looking the algorithm up by name costs
// more than the key schedule of a session key, so it is done once and the
// keyless prototype is copied (clone is const and thread-safe).
std::unique_ptr<Botan::BlockCipher> MakeTwofish() {
    static const std::unique_ptr<Botan::BlockCipher> prototype = CreateTwofish();
    return std::unique_ptr<Botan::BlockCipher>(prototype->clone());
}

// The byte-order helpers must behave as the cipher code assumes.
void test_platform() {
    using namespace zelbytes;
    const uint8_t sample[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE};
    const uint32_t expected[] = {0x78563412u, 0x9A785634u, 0xBC9A7856u, 0xDEBC9A78u};
    for (int i = 0; i < 4; ++i) {
        if (Get32(sample + i) != expected[i]) Twofish_fatal("Twofish code: GET32 not implemented properly");
    }
    uint32_t x = 0x78563412u;
    uint8_t buf[4];
    Put32(3u * x, buf);
    if (Get32(buf) != 0x69029C36u) Twofish_fatal("Twofish code: PUT32 not implemented properly");
    for (unsigned n = 1; n < 32; ++n) {
        uint32_t r = (x >> n) | (x << (32 - n));
        uint32_t l = (x << n) | (x >> (32 - n));
        if (Ror32(x, n) != r || Rol32(x, n) != l) Twofish_fatal("Twofish ROL or ROR not properly defined.");
    }
    if (Bswap32(x) != 0x12345678u) Twofish_fatal("BSWAP not properly defined.");
    if (SelectByte(x, 0) != 0x12 || SelectByte(x, 1) != 0x34 || SelectByte(x, 2) != 0x56 ||
        SelectByte(x, 3) != 0x78) {
        Twofish_fatal("Twofish code: SELECT_BYTE not implemented properly");
    }
}

// One known-answer triple: prepare the key once, encipher twice, decipher.
void test_vector(const uint8_t* key, int keyLen, const uint8_t* p, const uint8_t* c) {
    Twofish_key xkey;
    uint8_t tmp[16];
    Twofish_prepare_key(key, keyLen, &xkey);
    for (int i = 0; i < 2; ++i) {
        Twofish_encrypt(&xkey, p, tmp);
        if (std::memcmp(c, tmp, 16) != 0) Twofish_fatal("Twofish encryption failure");
        Twofish_decrypt(&xkey, c, tmp);
        if (std::memcmp(p, tmp, 16) != 0) Twofish_fatal("Twofish decryption failure");
    }
}

// The Twofish authors' ECB known-answer values for the three key sizes.
void test_vectors() {
    static const uint8_t k128[16] = {0};
    static const uint8_t p128[16] = {0};
    static const uint8_t c128[16] = {0x9F, 0x58, 0x9F, 0x5C, 0xF6, 0x12, 0x2C, 0x32,
                                     0xB6, 0xBF, 0xEC, 0x2F, 0x2A, 0xE8, 0xC3, 0x5A};
    static const uint8_t k192[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98,
                                     0x76, 0x54, 0x32, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    static const uint8_t p192[16] = {0};
    static const uint8_t c192[16] = {0xCF, 0xD1, 0xD2, 0xE5, 0xA9, 0xBE, 0x9C, 0xDF,
                                     0x50, 0x1F, 0x13, 0xB8, 0x92, 0xBD, 0x22, 0x48};
    static const uint8_t k256[32] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA,
                                     0x98, 0x76, 0x54, 0x32, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                                     0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    static const uint8_t p256[16] = {0};
    static const uint8_t c256[16] = {0x37, 0x52, 0x7B, 0xE0, 0x05, 0x23, 0x34, 0xB8,
                                     0x9F, 0x0C, 0xFC, 0xCA, 0xE8, 0x7C, 0xFA, 0x20};
    test_vector(k128, 16, p128, c128);
    test_vector(k192, 24, p192, c192);
    test_vector(k256, 32, p256, c256);
}

// The iterated ECB test of the Twofish authors: each ciphertext becomes
// the next plaintext, the previous two blocks the next key.
void test_sequence(int keyLen, const uint8_t* finalValue) {
    uint8_t buf[(50 + 3) * 16];
    uint8_t tmp[16];
    std::memset(buf, 0, sizeof(buf));
    uint8_t* p = &buf[50 * 16];
    for (int i = 1; i < 50; ++i) {
        Twofish_key xkey;
        Twofish_prepare_key(p + 16, keyLen, &xkey);
        Twofish_encrypt(&xkey, p, p - 16);
        Twofish_decrypt(&xkey, p - 16, tmp);
        if (std::memcmp(tmp, p, 16) != 0) Twofish_fatal("Twofish decryption failure in sequence");
        p -= 16;
    }
    if (std::memcmp(p, finalValue, 16) != 0) Twofish_fatal("Twofish encryption failure in sequence");
}

void test_sequences() {
    static const uint8_t r128[16] = {0x5D, 0x9D, 0x4E, 0xEF, 0xFA, 0x91, 0x51, 0x57,
                                     0x55, 0x24, 0xF1, 0x15, 0x81, 0x5A, 0x12, 0xE0};
    static const uint8_t r192[16] = {0xE7, 0x54, 0x49, 0x21, 0x2B, 0xEE, 0xF9, 0xF4,
                                     0xA3, 0x90, 0xBD, 0x86, 0x0A, 0x64, 0x09, 0x41};
    static const uint8_t r256[16] = {0x37, 0xFE, 0x26, 0xFF, 0x1C, 0xF6, 0x61, 0x75,
                                     0xF5, 0xDD, 0xF4, 0xC3, 0x3B, 0x97, 0xA2, 0x05};
    test_sequence(16, r128);
    test_sequence(24, r192);
    test_sequence(32, r256);
}

// Two expanded keys are equal when they have the same size and encipher a
// set of probe blocks alike.
bool SameExpansion(const Twofish_key& a, const Twofish_key& b, const uint8_t* probes, int count) {
    if (a.keyBytes != b.keyBytes) return false;
    for (int i = 0; i < count; ++i) {
        uint8_t ca[16], cb[16];
        Twofish_encrypt(&a, probes + 16 * i, ca);
        Twofish_encrypt(&b, probes + 16 * i, cb);
        if (std::memcmp(ca, cb, 16) != 0) return false;
    }
    return true;
}

// A key of n bytes must expand like the same bytes zero-padded to 16, 24
// or 32.
void test_odd_sized_keys() {
    uint8_t buf[32];
    std::memset(buf, 0, sizeof(buf));
    {
        Twofish_key xkey;
        Twofish_prepare_key(buf, 16, &xkey);
        Twofish_encrypt(&xkey, buf, buf);
        Twofish_encrypt(&xkey, buf, buf + 16);
    }
    uint8_t probes[3 * 16];
    std::memset(probes, 0, 16);
    std::memcpy(probes + 16, buf, 32);
    for (int i = 31; i >= 0; --i) {
        buf[i] = 0;
        Twofish_key a, b;
        Twofish_prepare_key(buf, i, &a);
        Twofish_prepare_key(buf, i <= 16 ? 16 : (i <= 24 ? 24 : 32), &b);
        if (!SameExpansion(a, b, probes, 3)) Twofish_fatal("Odd sized keys do not expand properly");
    }
    Botan::secure_scrub_memory(buf, sizeof(buf));
}

// A 20-byte key must expand like the same bytes zero-padded to 24.
void test_twenty_byte_key() {
    static const uint8_t key[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98,
                                    0x76, 0x54, 0x32, 0x10, 0x00, 0x11, 0x22, 0x33, 0, 0, 0, 0};
    static const uint8_t probes[2 * 16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                           1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Twofish_key a, b;
    Twofish_prepare_key(key, 20, &a);
    Twofish_prepare_key(key, 24, &b);
    if (!SameExpansion(a, b, probes, 2)) Twofish_fatal("Odd sized keys do not expand properly");
}

void InitialiseOnce() {
    test_platform();
    MakeTwofish();  // the cipher must be available before anything else
    g_initialised.store(true, std::memory_order_release);
    test_vectors();
    test_sequences();
    test_odd_sized_keys();
    g_checked.store(true, std::memory_order_release);
}

void InitialiseQuickOnce() {
    test_platform();
    MakeTwofish();
    g_initialised.store(true, std::memory_order_release);
    test_vectors();
    test_twenty_byte_key();
    g_checked.store(true, std::memory_order_release);
}

void CheckKey(const Twofish_key* xkey) {
    if (xkey == nullptr || !xkey->cipher) Twofish_fatal("Twofish key was not prepared.");
}

}  // namespace

Twofish_key::Twofish_key() = default;
Twofish_key::~Twofish_key() = default;
Twofish_key::Twofish_key(Twofish_key&&) noexcept = default;
Twofish_key& Twofish_key::operator=(Twofish_key&&) noexcept = default;

bool Twofish_initialised() { return g_initialised.load(std::memory_order_acquire); }

bool Twofish_checked() { return g_checked.load(std::memory_order_acquire); }

void Twofish_initialise() { std::call_once(g_initOnce, InitialiseOnce); }

void Twofish_initialise_quick() {
    if (Twofish_checked()) return;
    std::call_once(g_quickOnce, InitialiseQuickOnce);
}

void Twofish_prepare_key(const Twofish_Byte key[], int key_len, Twofish_key* xkey) {
    if (!Twofish_initialised()) Twofish_fatal("Twofish implementation was not initialised.");
    if (key_len < 0 || key_len > 32 || xkey == nullptr || (key == nullptr && key_len > 0)) {
        Twofish_fatal("Twofish_prepare_key: illegal key length");
    }
    const int size = key_len <= 16 ? 16 : (key_len <= 24 ? 24 : 32);
    Botan::secure_vector<uint8_t> padded(static_cast<size_t>(size), 0);  // wiped when freed
    if (key_len > 0) std::memcpy(padded.data(), key, static_cast<size_t>(key_len));
    // A key prepared before keeps its cipher object: the schedule is
    // written over in the memory it already has.
    if (!xkey->cipher) xkey->cipher = MakeTwofish();
    try {
        xkey->cipher->set_key(padded);
    } catch (const std::exception& e) {
        std::string msg = std::string("Twofish key schedule failed: ") + e.what();
        Twofish_fatal(msg.c_str());
    }
    xkey->keyBytes = size;
}

void Twofish_encrypt(const Twofish_key* xkey, const Twofish_Byte p[16], Twofish_Byte c[16]) {
    CheckKey(xkey);
    xkey->cipher->encrypt(p, c);
}

void Twofish_decrypt(const Twofish_key* xkey, const Twofish_Byte c[16], Twofish_Byte p[16]) {
    CheckKey(xkey);
    xkey->cipher->decrypt(c, p);
}

void Twofish_fatal(const char* msg) {
    std::fprintf(stderr, "\nTwofish fatal error: %s\nProcess terminated\n", msg != nullptr ? msg : "");
    std::fflush(stderr);
    std::exit(kTwofishFatalExit);
}
