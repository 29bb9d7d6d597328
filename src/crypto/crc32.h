// The CRC-32 of file checksums (TCRC32), over ISA-L. Each object is used by
// one thread at a time; objects are cheap to create.
#pragma once

#include <cstdint>

// The reflected CRC-32 (polynomial 0xEDB88320) without the final
// inversion: GetCRC returns the running register, so "abc" gives
// 0xCADBBE3D and no data 0xFFFFFFFF. Computed with ISA-L.
class TCRC32 {
public:
    TCRC32() = default;
    void InitCRC() { crc_ = 0xFFFFFFFFu; }
    void UpdateCRC(uint8_t byte);
    // length -1: data is NUL-terminated text. Null data changes nothing.
    void UpdateCRC(const void* data, int64_t length);
    uint32_t GetCRC() const { return crc_; }
    uint32_t GetBlockCRC(const void* data, int64_t length);

private:
    uint32_t crc_ = 0xFFFFFFFFu;
};
