#include "crypto/sha1.h"
#include "foundation/fault.h"

#include <exception>

#include <botan/hash.h>
#include <botan/mem_ops.h>

namespace {

// Looked up by name once; every digest object is a copy of this one (the
// lookup costs more than hashing a session key).
const Botan::HashFunction& SHA1Prototype() {
    static const std::unique_ptr<Botan::HashFunction> prototype = [] {
        try {
            return Botan::HashFunction::create_or_throw("SHA-1");
        } catch (const std::exception&) {
            AssertFault("SHA-1 available");
        }
    }();
    return *prototype;
}

}  // namespace

THash_SHA::THash_SHA() { Init(); }

THash_SHA::~THash_SHA() { Burn(); }

void THash_SHA::Burn() {
    if (hash_) hash_->clear();
    Botan::secure_scrub_memory(digest_, sizeof(digest_));
    fInitialized_ = false;
}

void THash_SHA::Init() {
    Burn();
    if (!hash_) {
        hash_.reset(SHA1Prototype().clone());
    }
    fInitialized_ = true;
}

void THash_SHA::Update(const void* data, int length) {
    if (!fInitialized_) Init();
    if (data == nullptr || length <= 0) return;
    hash_->update(static_cast<const uint8_t*>(data), static_cast<size_t>(length));
}

void THash_SHA::Final() {
    if (!fInitialized_) AssertFault("fInitialized");
    hash_->final(digest_);  // also resets and clears Botan's state
    fInitialized_ = false;
}

const uint8_t* THash_SHA::GetHash(const void* data, int length) {
    if (data != nullptr) {
        Init();
        Update(data, length);
        Final();
    } else if (fInitialized_) {
        AssertFault("!fInitialized");
    }
    return digest_;
}
