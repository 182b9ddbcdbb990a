// Throughput of the byte paths every command goes through: checksum, package codec, frames and
// the AES-256 pass, against a plain memcpy of the same size as the floor.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>

#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "LumoTokenSDK/LumoToken/protocol/CRC8.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "VexaTokenKit/VexaCrypto.h"

namespace vexa {
namespace {

// A file-write piece: 2,048 data bytes plus handle and count make a 2,051-byte payload, a
// 2,055-byte package, 2,064 bytes once padded for AES.
constexpr size_t kPayload = 2051;
constexpr size_t kPackage = kPayload + LumoTokenCommand::kPackageOverhead;
constexpr size_t kPadded = (kPackage + 15) / 16 * 16;
constexpr char kKey[] = "0123456789ABCDEF0123456789ABCDEF";

Bytes filled(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + 7);
    return b;
}

void BM_CRC8(benchmark::State& state) {
    const Bytes data = filled(kPackage);
    for (auto _ : state) benchmark::DoNotOptimize(CRC8(data));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPackage));
}
BENCHMARK(BM_CRC8);

void BM_BuildAndParsePackage(benchmark::State& state) {
    const Bytes payload = filled(kPayload);
    size_t parsed = 0;
    for (auto _ : state) {
        const Bytes package = LumoTokenCommand::buildPackage(0x42, payload);
        LumoTokenCommand::parseCommand(
            package, [&](uint8_t, Bytes p) { parsed += p.size(); }, [](const Error&) { std::abort(); });
        benchmark::DoNotOptimize(parsed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPackage));
}
BENCHMARK(BM_BuildAndParsePackage);

void BM_SplitAndJoinFrames(benchmark::State& state) {
    const Bytes package = LumoTokenCommand::buildPackage(0x42, filled(kPayload));
    BleSocketFormat format;
    size_t joined = 0;
    for (auto _ : state) {
        for (const Bytes& frame : format.pack2Frames(package))
            format.addFrameWithCompletion(frame, [&](const std::optional<Bytes>& p, const OptError&) {
                if (p) joined += p->size();
            });
        benchmark::DoNotOptimize(joined);
    }
    if (joined != static_cast<size_t>(state.iterations()) * kPackage) state.SkipWithError("frames did not join back");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPackage));
}
BENCHMARK(BM_SplitAndJoinFrames);

void BM_AES256EncryptWithKey(benchmark::State& state) {
    const Bytes data = filled(kPadded);
    for (auto _ : state) {
        auto cipher = AES256EncryptWithKey(data, kKey);
        benchmark::DoNotOptimize(cipher->data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPadded));
}
BENCHMARK(BM_AES256EncryptWithKey);

// The cipher alone: one context set up once, then only EVP_EncryptUpdate into a ready buffer.
void BM_AES256RawEvp(benchmark::State& state) {
    const Bytes data = filled(kPadded);
    Bytes out(kPadded);
    const Aes256Key key = aes256KeyFromString(kKey);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (auto _ : state) {
        int written = 0;
        EVP_EncryptUpdate(ctx, out.data(), &written, data.data(), static_cast<int>(data.size()));
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPadded));
}
BENCHMARK(BM_AES256RawEvp);

void BM_Memcpy(benchmark::State& state) {
    const Bytes data = filled(kPadded);
    Bytes out(kPadded);
    for (auto _ : state) {
        std::memcpy(out.data(), data.data(), kPadded);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPadded));
}
BENCHMARK(BM_Memcpy);

}  // namespace
}  // namespace vexa
