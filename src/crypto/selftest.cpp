#include "crypto/selftest.h"

#include <cstring>

#include "crypto/cfb8.h"
#include "crypto/sha1.h"
#include "crypto/twofish.h"

namespace {

constexpr char kKeyText[] = "plain selftest";

bool BlockRoundTrip(String& err) {
    THash_SHA sha;
    const uint8_t* digest = sha.GetHash(kKeyText, static_cast<int>(std::strlen(kKeyText)));
    Twofish_key key;
    Twofish_prepare_key(digest, sha.GetHashSize(), &key);
    const uint8_t plain[16] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '1', '2', '3', '4', '5', 0};
    uint8_t enciphered[16], deciphered[16];
    Twofish_encrypt(&key, plain, enciphered);
    Twofish_decrypt(&key, enciphered, deciphered);
    if (std::memcmp(plain, deciphered, sizeof plain) == 0) return true;
    err = "a Twofish block does not decipher to the original";
    return false;
}

bool PacketRoundTrip(String& err) {
    const char text[] = "123456789012345";
    const size_t n = sizeof text - 1;
    TCipherKey key(kKeyText, std::strlen(kKeyText));
    uint8_t enciphered[n], deciphered[n];
    key.Encrypt(reinterpret_cast<const uint8_t*>(text), enciphered, n);
    key.Decrypt(enciphered, deciphered, n);
    if (std::memcmp(text, deciphered, n) == 0) return true;
    err = "the packet cipher does not decipher to the original";
    return false;
}

}  // namespace

bool CipherSelfTest(TCipherCheck check, String& err) {
    Twofish_initialise();
    switch (check) {
    case TCipherCheck::Block:
        return BlockRoundTrip(err);
    case TCipherCheck::Packet:
        return PacketRoundTrip(err);
    }
    err = "unknown cipher check";
    return false;
}

bool CipherSelfTest(String& err) {
    for (TCipherCheck check : {TCipherCheck::Block, TCipherCheck::Packet})
        if (!CipherSelfTest(check, err)) return false;
    return true;
}
