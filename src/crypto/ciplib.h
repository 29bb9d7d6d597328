// SHA-1 digests (THash_SHA) and the CRC-32 used for file checksums (TCRC32).
#pragma once

#include <cstdint>
#include <memory>

namespace Botan {
class HashFunction;
}

// SHA-1 over Botan. The digest stays inside the object until it is reused
// or destroyed; Burn (also run by the destructor) wipes it.
class THash_SHA {
public:
    THash_SHA();
    ~THash_SHA();
    THash_SHA(const THash_SHA&) = delete;
    THash_SHA& operator=(const THash_SHA&) = delete;

    void Init();
    // Starts with Init when no computation is under way.
    void Update(const void* data, int length);
    // Ends the computation; stops the process (assertion "fInitialized")
    // when none is under way.
    void Final();
    // With data: Init, Update, Final. Without (nullptr): the digest of the
    // last completed computation, which must not be under way (assertion
    // "!fInitialized"). Points at the 20 digest bytes inside the object.
    const uint8_t* GetHash(const void* data, int length);
    int GetHashSize() const { return kSize; }
    void Burn();
    bool Initialized() const { return fInitialized_; }

    static constexpr int kSize = 20;

private:
    std::unique_ptr<Botan::HashFunction> hash_;
    bool fInitialized_ = false;
    uint8_t digest_[kSize] = {};
};

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
