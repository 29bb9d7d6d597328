// Request packet layout and the cipher, proof and length helpers shared by
// requests, replies and the start-up cipher check.
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/qdstring.h"

class TCipherKey;

// Positions count from 1 and point at the first byte of each fixed field
// as it lies when the variable blocks before it are empty.
constexpr int OFFSET_PACKET = 1;
constexpr int SIZELEN_AUTH = 2;
constexpr int SIZELEN_PSWD = 2;
constexpr int SIZELEN_KEY = 2;
constexpr int SIZELEN_REQUEST = 4;
constexpr int OFFSET_AUTH = OFFSET_PACKET + 4;
constexpr int OFFSET_PSWD = OFFSET_AUTH + SIZELEN_AUTH;
constexpr int OFFSET_KEY = OFFSET_PSWD + SIZELEN_PSWD;
constexpr int OFFSET_REQUEST = OFFSET_KEY + SIZELEN_KEY;
constexpr int SIZELEN_MINIMUM = SIZELEN_PSWD + 4 + SIZELEN_KEY + SIZELEN_REQUEST + SIZELEN_AUTH;

// The two signature bytes after the packet length.
constexpr uint8_t kPacketSignature1 = 0x03;
constexpr uint8_t kPacketSignature2 = 0x12;

// The largest request packet accepted, length field included. A packet
// that declares more is refused as soon as its length field has arrived.
constexpr int64_t kMaxRequestPacket = 16 * 1024 * 1024;

// Empty for an empty password, else the 16 raw bytes of its MD5 digest.
String EncodePswd(const String& password);

// The text enciphered (Twofish CFB-8) under the key text, preceded by
// EncodeLength(ciphertext, digits) when digits is not 0. Empty text gives
// an empty result, without length prefix.
String EncodeData(const String& text, const String& keyText, int digits);
String EncodeData(const String& text, const TCipherKey& key, int digits);
// The data deciphered under the key text; no length prefix expected.
String DecodeData(const String& data, const String& keyText);
String DecodeData(const String& data, const TCipherKey& key);

// The text's length, little-endian, first `digits` bytes of 4. digits > 4
// stops the process (assertion "digits<=sizeof(len)").
String EncodeLength(const String& text, int digits);
// digits 1, 2, 4: unsigned little-endian value; 0 and 3 give 0; > 4 stops
// the process (assertion "digits<=sizeof(int)").
unsigned int DecodeLength(const char* bytes, int digits);

// A prepared key for a key text (SHA-1, Twofish schedule, initial register).
// The object is the calling thread's: prepared again in place by its next
// call once every holder has let it go. Thread-safe.
std::shared_ptr<const TCipherKey> PrepareCipherKey(const String& keyText);

// The prepared key and proof of a password, computed once per password
// value and shared by every request that uses the same password.
struct TPasswordKey {
    ~TPasswordKey();  // wipes the password and proof bytes
    String password;
    String proof;  // EncodePswd(password)
    std::shared_ptr<const TCipherKey> key;
};
std::shared_ptr<const TPasswordKey> GetPasswordKey(const String& password);
