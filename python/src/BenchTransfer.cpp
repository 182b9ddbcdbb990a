// The C++ side of the transfer benchmark: the same whole-file write and read back that the Python
// benchmark runs, through the same public interface (manager, token, completion variants) over the
// same zero-latency simulated link, on a steady-clock RunLoop instead of the asyncio loop.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>

#include <time.h>

#include "Backends/Simulated/SimulatedBackend.h"
#include "Emulator/VirtualToken.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "Platform/MainQueue.h"
#include "Platform/RunLoop.h"
#include "VexaTokenKit/VexaToken.h"
#include "VexaTokenKit/VexaTokenEncryptContainer.h"
#include "VexaTokenKit/VexaTokenManager.h"
#include "python/src/AsyncioQueue.h"
#include "python/src/Bindings.h"

namespace vexa::python {
namespace {

using namespace std::chrono_literals;

constexpr char kName[] = "Bench Token";
constexpr char kPassword[] = "1234";

// CPU seconds of the calling thread: the session, the simulated stack and the virtual token all run
// on it, and other load on the machine does not count.
double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs the loop until the step started by `start` calls its completion; throws on a failure.
void step(RunLoop& loop, const std::function<void(std::function<void(const OptError&)>)>& start) {
    bool done = false;
    OptError failure;
    start([&](const OptError& error) {
        done = true;
        failure = error;
    });
    if (!loop.runUntil([&] { return done; }, 60s)) throw std::runtime_error("the benchmark's token did not answer");
    if (failure) throw std::runtime_error(failure->description());
}

// Writes `data` to `path` and reads it back, chunk by chunk, as the Python layer does.
Bytes transfer(RunLoop& loop, const std::shared_ptr<VexaToken>& token, const Bytes& data, size_t writeChunk, uint16_t readChunk) {
    uint8_t handle = 0;
    const auto open = [&](int mode) {
        step(loop, [&](auto done) { token->openFile("/bench.bin", mode, [&handle, done](uint8_t h, const OptError& e) { handle = h, done(e); }); });
    };
    open(1);
    for (size_t offset = 0; offset < data.size(); offset += writeChunk) {
        const ByteView chunk = ByteView(data).subspan(offset, std::min(writeChunk, data.size() - offset));
        step(loop, [&](auto done) { token->writeFile(handle, chunk, done); });
    }
    step(loop, [&](auto done) { token->closeFile(handle, done); });
    open(0);
    Bytes back;
    for (bool more = true; more;) {
        step(loop, [&](auto done) {
            token->readFile(handle, readChunk, [&, done](const std::optional<Bytes>& piece, const OptError& e) {
                more = piece && !piece->empty();
                if (more) back.insert(back.end(), piece->begin(), piece->end());
                done(e);
            });
        });
    }
    step(loop, [&](auto done) { token->closeFile(handle, done); });
    return back;
}

// CPU seconds of the best of `rounds` transfers of `size` bytes.
double benchTransfer(size_t size, size_t writeChunk, uint16_t readChunk, int rounds) {
    auto loop = std::make_shared<RunLoop>();
    setMainQueue(loop);
    double best = 0;
    {
        const auto radio = SimulatedRadio::create();
        VirtualTokenConfig config;
        config.name = kName;
        config.key = keyFromPassword(kPassword, kName);
        config.storageCapacity = 4 * size + 4096;
        const auto device = VirtualToken::create(radio, config);
        device->setRecordLimit(0);
        const auto manager = VexaTokenManager::create(LumoCentralManager::create(std::make_shared<SimulatedBackend>(radio), loop));
        manager->startScanning();
        loop->runUntil([&] { return !manager->tokens().empty(); }, 10s);
        manager->stopScanning();
        if (manager->tokens().empty()) throw std::runtime_error("the benchmark's token was not found");
        const auto token = manager->tokens().front();
        VexaTokenEncryptContainer::sharedInstance().setKey(*token, kPassword);
        step(*loop, [&](auto done) {
            manager->connectToToken(token, [done](VexaConnectOutcome outcome, const OptError& e) {
                done(outcome == VexaConnectOutcome::Connected ? e : OptError(Error{"bench", 1, "not connected"}));
            });
        });
        Bytes data(size);
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
        for (int round = 0; round < rounds; ++round) {
            const double start = threadCpuSeconds();
            const Bytes back = transfer(*loop, token, data, writeChunk, readChunk);
            const double seconds = threadCpuSeconds() - start;
            if (back != data) throw std::runtime_error("the file read back differs from the one written");
            best = round == 0 ? seconds : std::min(best, seconds);
        }
        manager->disconnectFromToken(token);
        loop->runUntil([&] { return !token->isConnected(); }, 5s);
        VexaTokenEncryptContainer::sharedInstance().resetKey(*token);
    }
    setMainQueue(AsyncioQueue::instance());
    return best;
}

}  // namespace

void bindBench(py::module_& m) {
    m.def(
        "bench_transfer_cpp",
        [](size_t size, size_t writeChunk, uint16_t readChunk, int rounds) {
            try {
                return benchTransfer(size, writeChunk, readChunk, rounds);
            } catch (...) {
                setMainQueue(AsyncioQueue::instance());
                throw;
            }
        },
        py::arg("size"), py::arg("write_chunk"), py::arg("read_chunk"), py::arg("rounds") = 3, py::call_guard<py::gil_scoped_release>(),
        "CPU seconds of the best C++ write-and-read-back of `size` bytes over the zero-latency simulated link (benchmark baseline).");
}

}  // namespace vexa::python
