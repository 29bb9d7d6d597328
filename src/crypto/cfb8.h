// Twofish in 8-bit cipher feedback (CFB-8, NIST SP 800-38A) keyed by the
// SHA-1 digest of a key text: the packet cipher of the agent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/twofish.h"

// A prepared key: the Twofish schedule of SHA-1(key text) (20 bytes, used
// as a 192-bit key ending in four zero bytes) and the initial register,
// sixteen 0xFF bytes enciphered once. Immutable once built (Rekey aside);
// Encrypt and Decrypt are const and may run on many threads at once.
class TCipherKey {
public:
    // Runs Twofish_initialise first unless the cipher has been checked
    // already (by it or by Twofish_initialise_quick).
    TCipherKey(const void* keyText, size_t length);
    ~TCipherKey();
    TCipherKey(const TCipherKey&) = delete;
    TCipherKey& operator=(const TCipherKey&) = delete;

    // Prepares the object for another key text, in the memory it has. Only
    // while nobody else uses the object (not const: the caller owns it alone).
    void Rekey(const void* keyText, size_t length);

    // n bytes from in to out; in and out may be the same buffer.
    void Encrypt(const uint8_t* in, uint8_t* out, size_t n) const;
    void Decrypt(const uint8_t* in, uint8_t* out, size_t n) const;

private:
    Twofish_key key_;
    uint8_t iv_[16];
};
