// MD5 digests (RFC 1321) for the password proof and uploaded images.
#pragma once

#include <cstddef>
#include <memory>

namespace Botan {
class HashFunction;
}

// One MD5 computation: MD5Open, any number of MD5Digest, MD5Close.
// MD5Close wipes and releases the state; the context is then empty until
// MD5Open is called again.
struct MD5 {
    MD5();
    ~MD5();
    MD5(const MD5&) = delete;
    MD5& operator=(const MD5&) = delete;
    bool IsOpen() const { return static_cast<bool>(hash); }

    std::unique_ptr<Botan::HashFunction> hash;
};

void MD5Open(MD5* ctx);
// Adds data. On a context that is not open it opens it first.
void MD5Digest(MD5* ctx, const void* data, size_t length);
// Writes the 16-byte digest and empties the context.
void MD5Close(MD5* ctx, unsigned char digest[16]);
