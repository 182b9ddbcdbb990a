// The simulated radio calling back on a serial queue thread while the main loop drives the model.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Backends/Simulated/SimulatedRadio.h"
#include "Platform/SerialQueue.h"
#include "tests/Backends/Simulated/RecordingDelegate.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::test {
namespace {

const BleUUID kService = BleUUID::fromString("a63928c5-f337-4181-9412-09b8a6d8826f");
const BleUUID kWrite = BleUUID::fromString("563e2883-5c3a-41da-8e02-15640ae703e6");
const BleUUID kNotify = BleUUID::fromString("5609a734-12c2-49e9-9edd-6eba3fdedc92");

TEST(SimulatedThreads, CallbacksOnASerialQueueSeeTheirOwnValuesWhileTheMainLoopRuns) {
    VirtualMainLoop main;
    auto queue = std::make_shared<SerialQueue>("org.vexatokenkit.test.central");
    auto radio = SimulatedRadio::create();
    auto device = VirtualPeripheral::create("Token");
    auto write = VirtualCharacteristic::create(kWrite, kPropertyWrite);
    auto notify = VirtualCharacteristic::create(kNotify, kPropertyNotify);
    // Each frame written is echoed back twice, so values pile up faster than the callbacks run.
    write->setWriteHandler([&](const Bytes& v, WriteType) {
        device->notify(notify, v);
        device->notify(notify, Bytes{uint8_t(v[0] ^ 0xFF)});
        return OptError{};
    });
    device->addService(VirtualService::create(kService, {write, notify}));
    device->setAdvertisedServices({kService});
    radio->addPeripheral(device);

    auto rec = std::make_shared<RecordingDelegate>(main.clock);
    std::atomic<bool> wrongThread{false};
    std::atomic<int> frames{0};
    constexpr int kFrames = 150;
    std::shared_ptr<PlatformPeripheral> peripheral;
    std::shared_ptr<PlatformCharacteristic> writeChar;
    std::mutex objectsMutex;
    rec->onEvent = [&](const Event& e) {
        wrongThread = wrongThread || !queue->isCurrent();
        // Getters from the callback thread while the main thread changes the model.
        if (e.peripheral) {
            (void)e.peripheral->name();
            (void)e.peripheral->state();
            for (auto& s : e.peripheral->services()) (void)s->characteristics().size();
        }
        if (e.kind == Ev::Write) {
            // The next frame is requested from the callback thread.
            std::lock_guard lock(objectsMutex);
            const int next = frames.fetch_add(1) + 1;
            if (next < kFrames) peripheral->writeValue(Bytes{uint8_t(next)}, writeChar, WriteType::WithResponse);
        }
    };
    auto central = radio->createCentral(rec, queue);  // calls back from now on
    auto pump = [&](Ev kind, size_t n) {
        while (rec->count(kind) < n) {
            main.runUntilIdle();
            std::this_thread::yield();
        }
    };

    central->scanForPeripherals(std::vector<BleUUID>{kService}, {});
    pump(Ev::Discover, 1);
    central->stopScan();
    auto p = rec->of(Ev::Discover)[0].peripheral;
    p->setDelegate(rec);
    central->connectPeripheral(p);
    pump(Ev::Connect, 1);
    p->discoverServices(std::nullopt);
    pump(Ev::Services, 1);
    p->discoverCharacteristics(std::nullopt, p->services().at(0));
    pump(Ev::Characteristics, 1);
    std::shared_ptr<PlatformCharacteristic> w, n;
    for (auto& c : p->services().at(0)->characteristics()) (c->uuid() == kWrite ? w : n) = c;
    p->setNotifyValue(true, n);
    pump(Ev::NotifyState, 1);
    {
        std::lock_guard lock(objectsMutex);
        peripheral = p;
        writeChar = w;
    }

    std::atomic<bool> stop{false};
    std::thread reader([&] {  // a third thread reading the platform objects
        while (!stop) {
            (void)n->value();
            (void)n->isNotifying();
            (void)p->services();
            (void)p->name();
        }
    });
    p->writeValue(Bytes{0}, w, WriteType::WithResponse);
    int renames = 0;
    while (rec->count(Ev::Value) < size_t(2 * kFrames)) {
        device->setName("Token " + std::to_string(++renames % 7));
        main.runUntilIdle();
        std::this_thread::yield();
    }
    stop = true;
    reader.join();
    ASSERT_TRUE(rec->waitFor(Ev::Write, kFrames));

    EXPECT_FALSE(wrongThread);
    auto values = rec->of(Ev::Value);
    ASSERT_EQ(values.size(), size_t(2 * kFrames));
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(values[2 * i].value, Bytes{uint8_t(i)}) << i;
        EXPECT_EQ(values[2 * i + 1].value, Bytes{uint8_t(i ^ 0xFF)}) << i;
    }
    for (auto& e : rec->of(Ev::Write)) EXPECT_FALSE(e.error);
    central->cancelPeripheralConnection(p);
    pump(Ev::Disconnect, 1);
    queue->sync([] {});  // let the callback thread finish before the objects go
    rec->onEvent = nullptr;
}

}  // namespace
}  // namespace vexa::test
