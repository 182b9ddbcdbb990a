// The link layer over the simulated stack whose callbacks come from a serial queue's thread, while
// the test thread runs the main queue and changes the model and a third thread reads the platform
// objects; also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "Backends/Simulated/SimulatedBackend.h"
#include "Backends/Simulated/SimulatedRadio.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCharacteristic.h"
#include "LumoTokenSDK/LumoBluetooth/LumoPeripheral.h"
#include "LumoTokenSDK/LumoBluetooth/LumoService.h"
#include "Platform/SerialQueue.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;

const BleUUID kService = BleUUID::fromString("a63928c5-f337-4181-9412-09b8a6d8826f");
const BleUUID kWrite = BleUUID::fromString("563e2883-5c3a-41da-8e02-15640ae703e6");
const BleUUID kNotify = BleUUID::fromString("5609a734-12c2-49e9-9edd-6eba3fdedc92");

TEST(LinkThreads, BackendThreadCallbacksReachTheWrappersOnTheMainQueueEachWithItsOwnValue) {
    VirtualMainLoop main;
    auto radio = SimulatedRadio::create();
    auto device = VirtualPeripheral::create("Token");
    auto write = VirtualCharacteristic::create(kWrite, kPropertyWrite);
    auto notify = VirtualCharacteristic::create(kNotify, kPropertyNotify);
    // Each write is echoed twice, so values pile up faster than the callbacks run.
    write->setWriteHandler([&](const Bytes& v, WriteType) {
        device->notify(notify, v);
        device->notify(notify, Bytes{uint8_t(v[0] ^ 0xFF)});
        return OptError{};
    });
    device->addService(VirtualService::create(kService, {write, notify}));
    radio->addPeripheral(device);
    auto other = VirtualPeripheral::create("Other");  // advertises all along
    other->setAdvertisingInterval(1ms);
    radio->addPeripheral(other);

    auto queue = std::make_shared<SerialQueue>("org.vexatokenkit.test.platform");
    auto manager = LumoCentralManager::create(std::make_shared<SimulatedBackend>(radio), queue);
    const auto mainThread = std::this_thread::get_id();
    bool wrongThread = false;
    auto onMain = [&] { wrongThread = wrongThread || std::this_thread::get_id() != mainThread; };
    int renames = 0;
    auto pump = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 1'000'000 && !done(); ++i) {
            device->setName("Token " + std::to_string(++renames % 7));  // the model changes meanwhile
            main.runFor(1ms);
            std::this_thread::yield();
        }
        return done();
    };

    manager->scanForPeripheralsWithServices(std::nullopt, ScanOptions{.allowDuplicates = true});
    ASSERT_TRUE(pump([&] { return manager->scannedPeripherals().size() == 2u; }));
    auto token = manager->retrievePeripheralsWithIdentifiers({device->identifier()}).at(0);
    constexpr int kFrames = 150;
    int written = 0;
    std::vector<Bytes> echoes;
    std::shared_ptr<LumoCharacteristic> n;
    token->connectWithCompletion([&](const OptError& e) {
        onMain();
        ASSERT_FALSE(e);
        token->discoverServicesWithCompletion([&](const std::optional<LumoServiceList>& services, const OptError&) {
            onMain();
            ASSERT_TRUE(services && services->size() == 1u);
            auto s = (*services)[0];
            s->discoverCharacteristicsWithCompletion([&, s](const std::optional<LumoCharacteristicList>& list, const OptError&) {
                onMain();
                ASSERT_TRUE(list && list->size() == 2u);
                auto w = (*list)[0];
                n = (*list)[1];
                n->setNotifyValue(
                    true,
                    [&, w](const OptError& err) {
                        onMain();
                        ASSERT_FALSE(err);
                        for (int i = 0; i < kFrames; ++i)
                            w->writeValue(Bytes{uint8_t(i)}, [&](const OptError& we) { onMain(), written += !we; });
                    },
                    [&](const std::optional<Bytes>& value, const OptError&) { onMain(), echoes.push_back(value.value_or(Bytes{})); });
            });
        });
    });
    ASSERT_TRUE(pump([&] { return n != nullptr; }));
    std::atomic<bool> stop{false};
    std::thread reader([&, p = token->cbPeripheral(), c = n->cbCharacteristic()] {
        while (!stop) (void)c->value(), (void)c->isNotifying(), (void)p->services(), (void)p->name(), (void)p->state();
    });
    const bool done = pump([&] { return written == kFrames && echoes.size() == 2u * kFrames; });
    stop = true;
    reader.join();
    manager->stopScanForPeripherals();
    token->disconnectWithCompletion(nullptr);
    queue->sync([] {});  // the backend thread is done before the objects go
    main.runUntilIdle();

    ASSERT_TRUE(done);
    EXPECT_FALSE(wrongThread);
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(echoes[2 * i], Bytes{uint8_t(i)}) << i;
        EXPECT_EQ(echoes[2 * i + 1], Bytes{uint8_t(i ^ 0xFF)}) << i;
    }
}

// Two threads ask for the shared central at once; 0 when both got the one instance.
int sharedInstanceFromTwoThreads() {
    const auto queue = std::make_shared<SerialQueue>("org.vexatokenkit.test.shared");
    setBleBackend(std::make_shared<SimulatedBackend>(), queue);
    std::atomic<bool> go{false};
    std::shared_ptr<LumoCentralManager> a, b;
    auto ask = [&](std::shared_ptr<LumoCentralManager>& out) {
        while (!go) std::this_thread::yield();
        out = LumoCentralManager::sharedInstance();
    };
    std::thread t1(ask, std::ref(a)), t2(ask, std::ref(b));
    go = true;
    t1.join();
    t2.join();
    queue->sync([] {});  // the backend thread's state report is delivered before the process exits
    return a && a == b && a->manager() == b->manager() ? 0 : 1;
}

TEST(LinkThreads, SharedInstanceFromTwoThreadsIsOneInstance) {
    // The shared central lives for the whole process, so this runs in a child process of its own.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(sharedInstanceFromTwoThreads()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vexa::test
