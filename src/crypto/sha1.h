// SHA-1 digests (THash_SHA), over Botan: the session keys of the protocol
// and the self-upgrade digests. Each object is used by one thread at a time.
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

    static constexpr int kSize = 20;

private:
    std::unique_ptr<Botan::HashFunction> hash_;
    bool fInitialized_ = false;
    uint8_t digest_[kSize] = {};
};
