// Byte-order helpers of the cipher code: 32-bit words are read from and
// written to bytes least significant byte first, whatever the host order.
#pragma once

#include <cstdint>

namespace zelbytes {

inline uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void Put32(uint32_t v, uint8_t* p) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Rotations for counts 1..31.
inline uint32_t Rol32(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Ror32(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t Bswap32(uint32_t x) { return __builtin_bswap32(x); }

// Byte b (0 = bits 0-7 ... 3 = bits 24-31) of x.
inline uint8_t SelectByte(uint32_t x, unsigned b) { return static_cast<uint8_t>(x >> (8 * b)); }

}  // namespace zelbytes
