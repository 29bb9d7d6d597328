// Twofish block cipher (128-bit blocks, keys of 0 to 32 bytes).
//
// The cipher itself comes from Botan; this module keeps the agent's own
// interface: zero-padding of short keys, the start-up self-test and the
// fatal-error exit.
#pragma once

#include <cstdint>
#include <memory>

namespace Botan {
class BlockCipher;
}

using Twofish_Byte = uint8_t;

// One expanded key. Botan keeps the key schedule in memory that it wipes
// when the key is destroyed; the raw key bytes are not kept here.
struct Twofish_key {
    Twofish_key();
    ~Twofish_key();
    Twofish_key(Twofish_key&&) noexcept;
    Twofish_key& operator=(Twofish_key&&) noexcept;
    Twofish_key(const Twofish_key&) = delete;
    Twofish_key& operator=(const Twofish_key&) = delete;

    std::unique_ptr<Botan::BlockCipher> cipher;
    int keyBytes = 0;  // 16, 24 or 32 once prepared
};

// True once Twofish_initialise (or Twofish_initialise_quick) has built the
// cipher: keys may be prepared from then on, even while its checks run.
bool Twofish_initialised();

// True once Twofish_initialise or Twofish_initialise_quick has run all its
// checks and they passed.
bool Twofish_checked();

// Runs the platform checks and the known-answer self-tests; on the first
// failure the process ends through Twofish_fatal. Safe to call more than
// once and from several threads: the work is done only the first time.
void Twofish_initialise();

// The short form for a process that makes one exchange and ends (a query
// client): the platform checks, one known-answer triple per key size and
// the zero-padding of a 20-byte key (the size of the packet cipher's keys);
// not the iterated sequences nor every odd key size, which take some two
// hundred key schedules. Failures end the process as in Twofish_initialise.
// Does nothing once either has run; Twofish_initialise still runs its whole
// set when called afterwards. Thread-safe.
void Twofish_initialise_quick();

// Expands a key of 0 to 32 bytes: 0-16 bytes act as a 128-bit key, 17-24
// as 192-bit, 25-32 as 256-bit, the missing bytes being zero. Any other
// length, or a call before Twofish_initialise, ends the process. An xkey
// prepared before is prepared again in place (its cipher object is kept);
// nobody may use it meanwhile.
void Twofish_prepare_key(const Twofish_Byte key[], int key_len, Twofish_key* xkey);

// One 16-byte block; in and out may be the same buffer.
void Twofish_encrypt(const Twofish_key* xkey, const Twofish_Byte p[16], Twofish_Byte c[16]);
void Twofish_decrypt(const Twofish_key* xkey, const Twofish_Byte c[16], Twofish_Byte p[16]);

// The exit status of Twofish_fatal: the agent's exit code for a cipher
// failure (the daemon's exit-code table is held to it).
inline constexpr int kTwofishFatalExit = 3;
// Writes "\nTwofish fatal error: <msg>\nProcess terminated\n" to stderr and
// ends the process with exit code kTwofishFatalExit.
[[noreturn]] void Twofish_fatal(const char* msg);
