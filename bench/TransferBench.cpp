// Large and parallel file transfers end to end (a LumoToken against a virtual token over the
// simulated Bluetooth LE stack, on a run loop with a virtual clock):
// - the memory a 16 MiB write adds to the process at its peak, over the size written;
// - host CPU per byte of a 16 MiB encrypted write and of its read-back over an instant link,
//   against the floor of AES-256-ECB encryption plus decryption plus one memcpy of the same bytes;
// - 16 tokens transferring at once from one central under a link-timing model, against one alone.
// CPU figures are CPU time of this thread, which runs the session, the link layer, the simulated
// stack and the virtual token alike.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "VexaTokenKit/VexaCrypto.h"
#include "bench/SessionRig.h"

namespace vexa::bench {
namespace {

using namespace std::chrono_literals;

constexpr size_t kLargeSize = 16 * 1024 * 1024;

bool runTransfer(SessionRig& rig, const std::shared_ptr<Transfer>& transfer, benchmark::State& state) {
    transfer->start();
    rig.runUntil([&] { return transfer->done(); });
    if (!transfer->done() || transfer->error()) {
        state.SkipWithError(transfer->error() ? transfer->error()->description().c_str() : "the transfer did not finish");
        return false;
    }
    return true;
}

// ---- 1. Peak memory of a large write ---------------------------------------------------------------

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"), or -1.
double statusBytes(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::strtod(line.c_str() + field.size() + 1, nullptr) * 1024.0;
    }
    return -1;
}

// Restarts the peak resident size (VmHWM) at the current one.
bool resetPeakResident() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

// The resident memory the process gains at its peak while writing kLargeSize bytes, over that
// size. The token's file is created at full size beforehand and written over in place, so the
// token's own storage adds nothing: the growth is the library's (and the simulated link's
// transient) work. Run it in a process of its own, first: memory freed by earlier benchmarks
// would hide growth, and glibc raises its mmap threshold after freeing a large block (set
// GLIBC_TUNABLES=glibc.malloc.mmap_threshold=33554432 to measure that state directly).
void BM_LargeWritePeakMemory(benchmark::State& state) {
    SessionRig rig(RigOptions{kSessionKey, {}, 1, 2 * kLargeSize});
    if (!rig.ready()) return state.SkipWithError("the session did not connect");
    const Bytes data = transferData(kLargeSize);
    if (!rig.device().device().storage(0).writeFile(Transfer::kPath, data, 0)) return state.SkipWithError("no room for the file");
    double ratio = 0;
    for (auto _ : state) {
        const double before = statusBytes("VmRSS");
        if (before < 0 || !resetPeakResident()) return state.SkipWithError("no /proc/self/status or clear_refs");
        auto transfer = std::make_shared<Transfer>(rig.token(), data, false, VirtualTokenFileSystem::kOpenReadWrite);
        if (!runTransfer(rig, transfer, state)) return;
        ratio = (statusBytes("VmHWM") - before) / static_cast<double>(kLargeSize);
    }
    state.counters["peak_growth_over_size"] = ratio;
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    state.SetLabel(tunables ? tunables : "glibc defaults");
}
BENCHMARK(BM_LargeWritePeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- 2. Host CPU per byte against the cipher floor ---------------------------------------------------

// Thread CPU time of AES-256-ECB encryption and decryption of `data` and one memcpy of it.
double floorNs(const Bytes& data) {
    Bytes cipher(data.size());
    Bytes plain(data.size());
    Bytes copy(data.size());
    const Aes256Key key = aes256KeyFromString(kSessionKey);
    EVP_CIPHER_CTX* enc = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* dec = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(enc, EVP_aes_256_ecb(), nullptr, key.data(), nullptr);
    EVP_DecryptInit_ex(dec, EVP_aes_256_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(enc, 0);
    EVP_CIPHER_CTX_set_padding(dec, 0);
    const double start = threadCpuNs();
    int n = 0;
    EVP_EncryptUpdate(enc, cipher.data(), &n, data.data(), static_cast<int>(data.size()));
    EVP_DecryptUpdate(dec, plain.data(), &n, cipher.data(), static_cast<int>(cipher.size()));
    std::memcpy(copy.data(), plain.data(), copy.size());
    benchmark::DoNotOptimize(copy.data());
    const double spent = threadCpuNs() - start;
    EVP_CIPHER_CTX_free(enc);
    EVP_CIPHER_CTX_free(dec);
    if (copy != data) std::abort();
    return spent;
}

// The write goes over a file created at full size beforehand, and the read-back into a buffer
// touched beforehand, so that first touches of fresh pages (the kernel's work) stay out of it.
// Each figure is the least of the iterations, which keeps other load on the machine out of it.
void BM_LargeTransferCost(benchmark::State& state) {
    SessionRig rig(RigOptions{kSessionKey, {}, 1, 2 * kLargeSize});
    if (!rig.ready()) return state.SkipWithError("the session did not connect");
    const Bytes data = transferData(kLargeSize);
    if (!rig.device().device().storage(0).writeFile(Transfer::kPath, data, 0)) return state.SkipWithError("no room for the file");
    double writeNs = 1e30;
    double readNs = 1e30;
    double floor = 1e30;
    for (auto _ : state) {
        auto transfer = std::make_shared<Transfer>(rig.token(), data, true, VirtualTokenFileSystem::kOpenReadWrite);
        if (!runTransfer(rig, transfer, state)) return;
        if (transfer->read() != data) return state.SkipWithError("the bytes read back differ from the bytes written");
        writeNs = std::min(writeNs, transfer->writeCpuNs());
        readNs = std::min(readNs, transfer->readCpuNs());
        floor = std::min(floor, floorNs(data));
    }
    const double bytes = kLargeSize;
    state.counters["write_ns_per_byte"] = writeNs / bytes;
    state.counters["read_ns_per_byte"] = readNs / bytes;
    state.counters["floor_ns_per_byte"] = floor / bytes;
    state.counters["write_over_floor"] = writeNs / floor;
    state.counters["read_over_floor"] = readNs / floor;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(2 * kLargeSize));
}
BENCHMARK(BM_LargeTransferCost)->Iterations(5)->Unit(benchmark::kMillisecond);

// ---- 3. Many tokens at once ---------------------------------------------------------------------------

constexpr size_t kTokenCount = 16;
constexpr size_t kTokenTransferSize = 256 * 1024;
constexpr Duration kFrameTime = 7500us;

struct Run {
    Duration virtualTime{};
    double cpuNs = 0;
};

// `count` tokens on one central, each writing and reading back the data, all started at once.
bool transferAll(size_t count, const Bytes& data, Run& run, benchmark::State& state) {
    LinkTiming timing;
    timing.writeWithResponse = kFrameTime;
    timing.notification = kFrameTime;
    SessionRig rig(RigOptions{kSessionKey, timing, count});
    if (!rig.ready()) {
        state.SkipWithError("the sessions did not connect");
        return false;
    }
    // As above, each token's file exists at full size and is written over in place, so that the
    // kernel's first touches of the tokens' storage stay out of the host CPU figure.
    std::vector<std::shared_ptr<Transfer>> transfers;
    for (size_t i = 0; i < count; ++i) {
        if (!rig.device(i).device().storage(0).writeFile(Transfer::kPath, data, 0)) {
            state.SkipWithError("no room for the file");
            return false;
        }
        transfers.push_back(std::make_shared<Transfer>(rig.token(i), data, true, VirtualTokenFileSystem::kOpenReadWrite));
    }
    const Duration start = rig.now();
    const double cpuStart = threadCpuNs();
    for (const auto& transfer : transfers) transfer->start();
    // Checked after every task: the check moves past the finished transfers once, so that its own
    // cost does not grow with the number of tokens.
    size_t finished = 0;
    rig.runUntil([&] {
        while (finished < transfers.size() && transfers[finished]->done()) ++finished;
        return finished == transfers.size();
    });
    run.cpuNs = threadCpuNs() - cpuStart;
    run.virtualTime = rig.now() - start;
    for (const auto& transfer : transfers) {
        if (!transfer->done() || transfer->error() || transfer->read() != data) {
            state.SkipWithError("a transfer failed");
            return false;
        }
    }
    return true;
}

// Each figure is the least of the iterations, which keeps other load on the machine out of it.
void BM_ManyTokens(benchmark::State& state) {
    const Bytes data = transferData(kTokenTransferSize);
    Run one{Duration::max(), 1e30};
    Run many{Duration::max(), 1e30};
    for (auto _ : state) {
        Run single;
        Run all;
        if (!transferAll(1, data, single, state) || !transferAll(kTokenCount, data, all, state)) return;
        one = {std::min(one.virtualTime, single.virtualTime), std::min(one.cpuNs, single.cpuNs)};
        many = {std::min(many.virtualTime, all.virtualTime), std::min(many.cpuNs, all.cpuNs)};
    }
    const auto seconds = [](Duration d) { return std::chrono::duration<double>(d).count(); };
    state.counters["tokens"] = kTokenCount;
    state.counters["one_virtual_s"] = seconds(one.virtualTime);
    state.counters["all_virtual_s"] = seconds(many.virtualTime);
    state.counters["virtual_over_one"] = seconds(many.virtualTime) / seconds(one.virtualTime);
    state.counters["one_cpu_ms"] = one.cpuNs / 1e6;
    state.counters["all_cpu_ms"] = many.cpuNs / 1e6;
    // 1.0 when host CPU grows linearly with the number of tokens.
    state.counters["cpu_over_linear"] = many.cpuNs / (one.cpuNs * kTokenCount);
}
BENCHMARK(BM_ManyTokens)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vexa::bench
