#include "crypto/ciplib.h"
#include "crypto/fault.h"

#include <exception>

#include <botan/hash.h>
#include <botan/mem_ops.h>

namespace {

[[noreturn]] void AssertFault(const char* expr, const char* function) {
    zel_assert_fault(expr, "ciplib.cpp", __LINE__, function);
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
        try {
            hash_ = Botan::HashFunction::create_or_throw("SHA-1");
        } catch (const std::exception&) {
            AssertFault("SHA-1 available", "THash_SHA::Init");
        }
    }
    fInitialized_ = true;
}

void THash_SHA::Update(const void* data, int length) {
    if (!fInitialized_) Init();
    if (data == nullptr || length <= 0) return;
    hash_->update(static_cast<const uint8_t*>(data), static_cast<size_t>(length));
}

void THash_SHA::Final() {
    if (!fInitialized_) AssertFault("fInitialized", "THash_SHA::Final");
    hash_->final(digest_);  // also resets and clears Botan's state
    fInitialized_ = false;
}

const uint8_t* THash_SHA::GetHash(const void* data, int length) {
    if (data != nullptr) {
        Init();
        Update(data, length);
        Final();
    } else if (fInitialized_) {
        AssertFault("!fInitialized", "THash_SHA::GetHash");
    }
    return digest_;
}
