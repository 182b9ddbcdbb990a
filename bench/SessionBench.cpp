// The protocol session end to end: a LumoToken against a virtual token over the simulated
// Bluetooth LE stack, on a run loop with a virtual clock. Host CPU per command round trip (plain
// and AES-256), link efficiency of a file transfer under a link-timing model, what a session
// trace adds to a file transfer, and how the cost of one command holds up when thousands wait in
// the queue.
//
// Every figure is CPU time of this thread: it covers the session, the link layer, the simulated
// stack and the virtual token, which all run on the one loop.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/MainQueue.h"
#include "Tools/vexatoken/trace/TraceRecorder.h"
#include "bench/SessionRig.h"

namespace vexa::bench {
namespace {

using namespace std::chrono_literals;

std::optional<std::string> keyFor(bool encrypted) { return encrypted ? std::optional<std::string>(kSessionKey) : std::nullopt; }

// The set-up ended with the session ready and, with a key, the token encrypting.
bool connected(SessionRig& rig, bool encrypted, benchmark::State& state) {
    const auto expected = encrypted ? VirtualToken::Session::Encrypted : VirtualToken::Session::Open;
    if (rig.ready() && rig.device().session() == expected && rig.token().needEncryptFlag()) return true;
    state.SkipWithError("the session did not connect as asked");
    return false;
}

// ---- 1. One command round trip over an instant link ---------------------------------------------

constexpr uint8_t kBatteryLevel = 100;  // the virtual token's default

// One battery request, run until it is answered; false when it failed or got a wrong level.
bool batteryRoundTrip(SessionRig& rig) {
    bool answered = false;
    bool good = false;
    rig.token().getBatteryLevel([&](uint8_t level, const OptError& error) {
        answered = true;
        good = !error && level == kBatteryLevel;
    });
    rig.runUntil([&] { return answered; });
    return good;
}

void BM_SessionRoundTrip(benchmark::State& state, bool encrypted) {
    SessionRig rig(keyFor(encrypted));
    if (!connected(rig, encrypted, state)) return;
    int64_t failures = 0;
    for (auto _ : state) {
        if (!batteryRoundTrip(rig)) ++failures;
    }
    if (failures) state.SkipWithError("a battery request failed");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_SessionRoundTrip, plain, false);
BENCHMARK_CAPTURE(BM_SessionRoundTrip, encrypted, true);

// ---- 2. Link efficiency of a file transfer -------------------------------------------------------

constexpr Duration kFrameTime = 7500us;
constexpr size_t kTransferSize = 256 * 1024;

void BM_SessionLinkEfficiency(benchmark::State& state, bool encrypted) {
    LinkTiming timing;
    timing.writeWithResponse = kFrameTime;
    timing.notification = kFrameTime;
    SessionRig rig(keyFor(encrypted), timing);
    if (!connected(rig, encrypted, state)) return;
    const Bytes data = transferData(kTransferSize);

    Duration actual{};
    FrameCount frames;
    for (auto _ : state) {
        rig.countFrames();
        const Duration start = rig.now();
        auto transfer = std::make_shared<Transfer>(rig.token(), data);
        transfer->start();
        rig.runUntil([&] { return transfer->done(); });
        actual = rig.now() - start;
        frames = rig.frames();
        if (!transfer->done() || transfer->error()) {
            state.SkipWithError(transfer->error() ? transfer->error()->description().c_str() : "the transfer did not finish");
            return;
        }
        if (transfer->read() != data) {
            state.SkipWithError("the bytes read back differ from the bytes written");
            return;
        }
    }
    // Every frame occupies the link for one frame time, one after the other: the least the
    // protocol allows for these frames is their count times that.
    const Duration minimum = kFrameTime * static_cast<int64_t>(frames.written + frames.notified);
    const auto seconds = [](Duration d) { return std::chrono::duration<double>(d).count(); };
    state.counters["virtual_s"] = seconds(actual);
    state.counters["minimum_s"] = seconds(minimum);
    state.counters["min_over_actual"] = seconds(minimum) / seconds(actual);
    state.counters["idle_ms"] = seconds(actual - minimum) * 1e3;
    state.counters["frames_out"] = static_cast<double>(frames.written);
    state.counters["frames_in"] = static_cast<double>(frames.notified);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(2 * kTransferSize));
}
BENCHMARK_CAPTURE(BM_SessionLinkEfficiency, plain, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SessionLinkEfficiency, encrypted, true)->Unit(benchmark::kMillisecond);

// ---- 2b. Cost of a session trace ----------------------------------------------------------------

// The file transfer over an instant link with a key, untraced and traced (to `path`) in every
// iteration, alternating which goes first; the figure is host CPU per byte of each and their ratio.
void BM_SessionTraceCost(benchmark::State& state, bool toFile) {
    const std::string path = toFile ? (std::filesystem::temp_directory_path() / "vexa_bench_trace.btsnoop").string() : "/dev/null";
    SessionRig rig(keyFor(true));
    if (!connected(rig, true, state)) return;
    const Bytes data = transferData(kTransferSize);
    double offNs = 0;
    double onNs = 0;
    bool tracedFirst = false;
    for (auto _ : state) {
        for (int pass = 0; pass < 2; ++pass) {
            const bool traced = (pass == 0) == tracedFirst;
            std::string error;
            std::shared_ptr<trace::TraceRecorder> recorder;
            if (traced && !(recorder = trace::TraceRecorder::create(path, mainQueue(), error))) return state.SkipWithError(error.c_str());
            rig.token().setFrameObserver(recorder);
            const double start = threadCpuNs();
            auto transfer = std::make_shared<Transfer>(rig.token(), data);
            transfer->start();
            rig.runUntil([&] { return transfer->done(); });
            recorder.reset();  // its last records reach the file
            rig.token().setFrameObserver(nullptr);
            (traced ? onNs : offNs) += threadCpuNs() - start;
            if (transfer->error() || transfer->read() != data) return state.SkipWithError("the transfer failed");
        }
        tracedFirst = !tracedFirst;
    }
    const double bytes = static_cast<double>(state.iterations()) * 2 * kTransferSize;
    state.counters["off_ns_per_byte"] = offNs / bytes;
    state.counters["on_ns_per_byte"] = onNs / bytes;
    state.counters["on_over_off"] = onNs / offNs;
    state.SetBytesProcessed(static_cast<int64_t>(2 * bytes));
    if (toFile) std::filesystem::remove(path);
}
BENCHMARK_CAPTURE(BM_SessionTraceCost, dev_null, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SessionTraceCost, file, true)->Unit(benchmark::kMillisecond);

// ---- 3. Queue scaling -----------------------------------------------------------------------------

constexpr int kCommands = 10000;

// Issues kCommands battery requests one after the other, each once the previous one was answered.
// Returns the thread CPU time taken, in nanoseconds; counts failures.
double oneAtATime(SessionRig& rig, int64_t& failures) {
    const double start = threadCpuNs();
    for (int i = 0; i < kCommands; ++i) {
        if (!batteryRoundTrip(rig)) ++failures;
    }
    return threadCpuNs() - start;
}

// Issues kCommands battery requests at once, then runs the loop until all were answered.
double allQueued(SessionRig& rig, int64_t& failures) {
    const double start = threadCpuNs();
    int answered = 0;
    for (int i = 0; i < kCommands; ++i) {
        rig.token().getBatteryLevel([&](uint8_t level, const OptError& error) {
            ++answered;
            if (error || level != kBatteryLevel) ++failures;
        });
    }
    rig.runUntil([&] { return answered == kCommands; });
    failures += kCommands - answered;
    return threadCpuNs() - start;
}

// Both ways in every iteration, alternating which goes first, so that load on the machine
// touches both alike; the figure is queued time per command over one-at-a-time time per command.
void BM_SessionQueueScaling(benchmark::State& state) {
    SessionRig rig(std::nullopt);
    if (!connected(rig, false, state)) return;
    double singleNs = 0;
    double queuedNs = 0;
    int64_t failures = 0;
    bool queuedFirst = false;
    for (auto _ : state) {
        for (int pass = 0; pass < 2; ++pass) {
            if ((pass == 0) == queuedFirst)
                queuedNs += allQueued(rig, failures);
            else
                singleNs += oneAtATime(rig, failures);
        }
        queuedFirst = !queuedFirst;
    }
    if (failures) state.SkipWithError("a battery request failed");
    const double commands = static_cast<double>(state.iterations()) * kCommands;
    state.counters["single_ns_per_cmd"] = singleNs / commands;
    state.counters["queued_ns_per_cmd"] = queuedNs / commands;
    state.counters["queued_over_single"] = queuedNs / singleNs;
    state.SetItemsProcessed(static_cast<int64_t>(2 * commands));
}
BENCHMARK(BM_SessionQueueScaling)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vexa::bench
