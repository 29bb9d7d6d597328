// Packet cipher, key preparation, checksum and whole-exchange costs.
#include <benchmark/benchmark.h>

#include <botan/block_cipher.h>
#include <botan/cipher_mode.h>
#include <botan/hash.h>
#include <botan/version.h>

#include <string>
#include <vector>

#include "crypto/cfb8.h"
#include "crypto/crc32.h"
#include "protocol/client.h"
#include "protocol/packet.h"
#include "protocol/reply.h"
#include "protocol/request.h"

namespace {

String Sample(int n) {
    String s;
    s.SetLength(n);
    for (int i = 0; i < n; ++i) s.Buffer()[i] = static_cast<char>(i * 131 + (i >> 7));
    return s;
}

void BM_EncodeData(benchmark::State& state) {
    String text = Sample(static_cast<int>(state.range(0)));
    String key = "0123456789abcdef";
    for (auto _ : state) benchmark::DoNotOptimize(EncodeData(text, key, 4));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncodeData)->Arg(64)->Arg(4096)->Arg(1 << 20);

void BM_DecodeData(benchmark::State& state) {
    String key = "0123456789abcdef";
    String data = EncodeData(Sample(static_cast<int>(state.range(0))), key, 0);
    for (auto _ : state) benchmark::DoNotOptimize(DecodeData(data, key));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DecodeData)->Arg(64)->Arg(4096)->Arg(1 << 20);

// Botan's own CFB-8 over Twofish with the same key and initial register:
// the reference for the packet cipher.
void BM_BotanCfb8(benchmark::State& state) {
    auto sha = Botan::HashFunction::create_or_throw("SHA-1");
    auto digest = sha->process(std::string("0123456789abcdef"));
    Botan::secure_vector<uint8_t> key(24, 0);
    std::copy(digest.begin(), digest.end(), key.begin());
    auto tf = Botan::BlockCipher::create_or_throw("Twofish");
    tf->set_key(key);
    std::vector<uint8_t> iv(16, 0xFF);
    tf->encrypt(iv);
#if BOTAN_VERSION_MAJOR >= 3
    auto mode = Botan::Cipher_Mode::create_or_throw("Twofish/CFB(8)", Botan::Cipher_Dir::Encryption);
#else
    auto mode = Botan::Cipher_Mode::create_or_throw("Twofish/CFB(8)", Botan::ENCRYPTION);
#endif
    mode->set_key(key);
    String text = Sample(static_cast<int>(state.range(0)));
    Botan::secure_vector<uint8_t> buf;
    for (auto _ : state) {
        buf.assign(text.Data(), text.Data() + text.Length());
        mode->start(iv);
        mode->finish(buf);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BotanCfb8)->Arg(64)->Arg(4096)->Arg(1 << 20);

// SHA-1 of the key text, Twofish key schedule, initial register.
void BM_KeyPreparation(benchmark::State& state) {
    const char text[] = "0123456789abcdef";
    for (auto _ : state) {
        TCipherKey key(text, sizeof(text) - 1);
        benchmark::DoNotOptimize(&key);
    }
}
BENCHMARK(BM_KeyPreparation);

// The same through PrepareCipherKey, as a session worker prepares one key
// per request: the thread's object is prepared again in place.
void BM_PrepareCipherKey(benchmark::State& state) {
    const String text("0123456789abcdef");
    for (auto _ : state) {
        auto key = PrepareCipherKey(text);
        benchmark::DoNotOptimize(key.get());
    }
}
BENCHMARK(BM_PrepareCipherKey);

void BM_Crc32_64MiB(benchmark::State& state) {
    std::vector<uint8_t> data(64u << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    TCRC32 crc;
    for (auto _ : state) benchmark::DoNotOptimize(crc.GetBlockCRC(data.data(), static_cast<int64_t>(data.size())));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Crc32_64MiB)->Unit(benchmark::kMillisecond);

// The agent's side of one GetInfo exchange: parse and decipher the request
// packet, then build and encipher a reply of about 600 bytes.
void GetInfoExchange(benchmark::State& state, bool samePassword) {
    const String session = "a1b2c3d4e5f6a7b8";
    String packet = BuildRequestPacket("monitor-password", session, "GetInfo\n\r");
    std::vector<String> passwords;
    for (int i = 0; i < 64; ++i) passwords.push_back(String(("pw-" + std::to_string(i)).c_str()));
    std::vector<String> packets;
    for (const auto& pw : passwords) packets.push_back(BuildRequestPacket(pw, session, "GetInfo\n\r"));
    size_t replyBytes = 0;
    size_t n = 0;
    for (auto _ : state) {
        VTRequest req;
        const String& pw = samePassword ? String("monitor-password") : passwords[n % passwords.size()];
        req = samePassword ? packet : packets[n % packets.size()];
        ++n;
        if (!req.ParseInitRequest(pw, in_addr{})) state.SkipWithError("request refused");
        ZELReply reply;
        reply.InitPacket(nullptr, req);
        reply.SetResult("200");
        reply.AddStringParam("zel agent 0.1.0 (Linux x86_64) build 2024-03-05");
        for (int i = 0; i < 14; ++i) reply.AddVarParams("setting-%02d=%s", i, "some configured value here");
        reply.AddIntParam(123456789LL);
        reply.AddRealParam(0.25);
        reply.AddTimeParam(static_cast<time_t>(1709622489));
        reply.FinalizePacket();
        replyBytes = static_cast<size_t>(reply.Length());
        benchmark::DoNotOptimize(reply.Data());
    }
    state.counters["reply_bytes"] = static_cast<double>(replyBytes);
}

void BM_GetInfoExchange(benchmark::State& state) { GetInfoExchange(state, true); }
BENCHMARK(BM_GetInfoExchange)->Unit(benchmark::kMicrosecond);

// Worst case: every request under a password not seen just before.
void BM_GetInfoExchangeNewPassword(benchmark::State& state) { GetInfoExchange(state, false); }
BENCHMARK(BM_GetInfoExchangeNewPassword)->Unit(benchmark::kMicrosecond);

}  // namespace
