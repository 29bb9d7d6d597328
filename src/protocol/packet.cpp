#include "protocol/packet.h"

#include <mutex>

#include "crypto/cfb8.h"
#include "foundation/fault.h"
#include "crypto/md5.h"

#include <botan/mem_ops.h>
#include <botan/secmem.h>

namespace {

// The single cached password key. Botan's secure allocator is touched
// before the cache is built, so that it outlives the cache at exit and the
// cached key can still be wiped and released into it.
struct TPasswordCache {
    TPasswordCache() { Botan::secure_vector<uint8_t> touch(1); }
    std::mutex mutex;
    std::shared_ptr<const TPasswordKey> entry;  // guarded by mutex
};

TPasswordCache& PasswordCache() {
    static TPasswordCache cache;
    return cache;
}

}  // namespace

String EncodePswd(const String& password) {
    if (password.IsEmpty()) return String();
    MD5 ctx;
    unsigned char digest[16];
    MD5Open(&ctx);
    MD5Digest(&ctx, password.Data(), static_cast<size_t>(password.Length()));
    MD5Close(&ctx, digest);
    return String(reinterpret_cast<const char*>(digest), 16);
}

String EncodeData(const String& text, const TCipherKey& key, int digits) {
    if (text.IsEmpty()) return String();
    String cipher;
    cipher.SetLength(text.Length());
    key.Encrypt(reinterpret_cast<const uint8_t*>(text.Data()), reinterpret_cast<uint8_t*>(cipher.Buffer()),
                static_cast<size_t>(text.Length()));
    if (digits == 0) return cipher;
    String out = EncodeLength(cipher, digits);
    out += cipher;
    return out;
}

String EncodeData(const String& text, const String& keyText, int digits) {
    if (text.IsEmpty()) return String();
    TCipherKey key(keyText.Data(), static_cast<size_t>(keyText.Length()));
    return EncodeData(text, key, digits);
}

String DecodeData(const String& data, const TCipherKey& key) {
    if (data.IsEmpty()) return String();
    String plain;
    plain.SetLength(data.Length());
    key.Decrypt(reinterpret_cast<const uint8_t*>(data.Data()), reinterpret_cast<uint8_t*>(plain.Buffer()),
                static_cast<size_t>(data.Length()));
    return plain;
}

String DecodeData(const String& data, const String& keyText) {
    if (data.IsEmpty()) return String();
    TCipherKey key(keyText.Data(), static_cast<size_t>(keyText.Length()));
    return DecodeData(data, key);
}

String EncodeLength(const String& text, int digits) {
    uint32_t len = static_cast<uint32_t>(text.Length());
    if (!(digits <= static_cast<int>(sizeof(len)))) {
        AssertFault("digits<=sizeof(len)");
    }
    char bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((len >> (8 * i)) & 0xFF);
    return digits > 0 ? String(bytes, digits) : String();
}

unsigned int DecodeLength(const char* bytes, int digits) {
    if (!(digits <= static_cast<int>(sizeof(int)))) {
        AssertFault("digits<=sizeof(int)");
    }
    if (bytes == nullptr || (digits != 1 && digits != 2 && digits != 4)) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    unsigned int v = 0;
    for (int i = digits - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::shared_ptr<const TCipherKey> PrepareCipherKey(const String& keyText) {
    // Each thread keeps the last key object it prepared and prepares the
    // next key in it once nobody else holds it (a session's request and
    // reply let it go at the end of the exchange): a session worker keeps
    // its cipher object, and its memory, from one request to the next. A
    // use count of 1 means no other owner exists anywhere, so no other
    // thread can be using it.
    thread_local std::shared_ptr<TCipherKey> spare;
    if (spare && spare.use_count() == 1) {
        spare->Rekey(keyText.Data(), static_cast<size_t>(keyText.Length()));
        return spare;
    }
    spare = std::make_shared<TCipherKey>(keyText.Data(), static_cast<size_t>(keyText.Length()));
    return spare;
}

TPasswordKey::~TPasswordKey() {
    Botan::secure_scrub_memory(password.Buffer(), static_cast<size_t>(password.Length()));
    Botan::secure_scrub_memory(proof.Buffer(), static_cast<size_t>(proof.Length()));
}

std::shared_ptr<const TPasswordKey> GetPasswordKey(const String& password) {
    TPasswordCache& cache = PasswordCache();
    {
        std::lock_guard<std::mutex> lock(cache.mutex);
        if (cache.entry && cache.entry->password == password) return cache.entry;
    }
    // Prepared outside the lock; two threads racing on a new password both
    // build it and the last one stays cached. Either result is correct.
    auto entry = std::make_shared<TPasswordKey>();
    entry->password = password;
    entry->proof = EncodePswd(password);
    // Its own object: it outlives the request (the thread's spare would not
    // be reused while the cache holds it anyway).
    entry->key = std::make_shared<const TCipherKey>(password.Data(), static_cast<size_t>(password.Length()));
    std::shared_ptr<const TPasswordKey> result = std::move(entry);
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.entry = result;
    return result;
}
