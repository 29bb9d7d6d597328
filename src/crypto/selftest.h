// The cipher checks the agent runs at start-up, before it accepts any
// connection: the Twofish block cipher and the packet cipher (CFB-8) must
// each give back what they enciphered under a fixed key.
#pragma once

#include "foundation/qdstring.h"

// The checks, in the order the agent runs them.
enum class TCipherCheck {
    Block,   // one Twofish block under the SHA-1 digest of a fixed key text
    Packet,  // a text through the packet cipher (TCipherKey) and back
};

// Runs one check (initialising Twofish first if nobody has). Returns true
// when the round trip gives the original back; false with the reason in
// err. Nothing is printed; safe to call from any thread.
bool CipherSelfTest(TCipherCheck check, String& err);

// Runs every check in order and stops at the first failure.
bool CipherSelfTest(String& err);
