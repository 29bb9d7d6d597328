#include "crypto/md5.h"

#include <cstring>
#include <exception>

#include <botan/hash.h>

MD5::MD5() = default;

MD5::~MD5() {
    if (hash) hash->clear();
}

void MD5Open(MD5* ctx) {
    if (ctx == nullptr) return;
    if (ctx->hash) {
        ctx->hash->clear();
        return;
    }
    try {
        ctx->hash = Botan::HashFunction::create_or_throw("MD5");
    } catch (const std::exception&) {
        ctx->hash.reset();
    }
}

void MD5Digest(MD5* ctx, const void* data, size_t length) {
    if (ctx == nullptr || data == nullptr || length == 0) return;
    if (!ctx->hash) MD5Open(ctx);
    if (ctx->hash) ctx->hash->update(static_cast<const uint8_t*>(data), length);
}

void MD5Close(MD5* ctx, unsigned char digest[16]) {
    if (ctx == nullptr) return;
    if (!ctx->hash) MD5Open(ctx);
    if (ctx->hash) {
        ctx->hash->final(digest);
        ctx->hash->clear();
        ctx->hash.reset();
    } else {
        std::memset(digest, 0, 16);
    }
}
