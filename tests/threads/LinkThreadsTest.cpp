// The link layer with the platform calling back from its own thread while the test thread runs
// the main queue; also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "Platform/MainQueue.h"
#include "Platform/RunLoop.h"
#include "Platform/SerialQueue.h"
#include "tests/support/FakeBlePlatform.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;

const BleUUID kService = BleUUID::fromString("a63928c5-f337-4181-9412-09b8a6d8826f");
const BleUUID kWrite = BleUUID::fromString("563e2883-5c3a-41da-8e02-15640ae703e6");
const BleUUID kNotify = BleUUID::fromString("5609a734-12c2-49e9-9edd-6eba3fdedc92");

// Installs a steady-clock RunLoop as the main queue, driven by the test thread.
struct SteadyMainLoop {
    SteadyMainLoop() { setMainQueue(loop); }
    ~SteadyMainLoop() {
        loop->runUntilIdle();
        setMainQueue(nullptr);
    }
    std::shared_ptr<RunLoop> loop = std::make_shared<RunLoop>();
};

TEST(LinkThreads, PlatformCallbacksFromTheirOwnThreadReachTheWrappersOnTheMainQueue) {
    SteadyMainLoop main;
    auto platformQueue = std::make_shared<SerialQueue>("org.vexatokenkit.test.platform");
    auto backend = std::make_shared<FakeBleBackend>();
    auto manager = LumoCentralManager::create(backend, platformQueue);
    auto central = backend->central();
    const auto mainThread = std::this_thread::get_id();

    auto device = central->makePeripheral("TOKEN", "Token");
    auto service = device->addService(kService);
    auto writeChar = service->addCharacteristic(kWrite, kPropertyWrite);
    auto notifyChar = service->addCharacteristic(kNotify, kPropertyNotify);
    central->autoConnect = true;
    device->autoAnswerDiscovery = true;
    device->autoAnswerNotify = true;
    device->autoAnswerWrites = true;
    // The device echoes every write, with its first byte inverted, as a notification.
    device->onWrite = [&](const FakeWrite& w) {
        Bytes echo = w.data;
        echo[0] = static_cast<uint8_t>(~echo[0]);
        device->notify(notifyChar, echo);
    };

    constexpr int kWrites = 200;
    std::atomic<bool> wrongThread{false};
    auto onMain = [&] {
        if (std::this_thread::get_id() != mainThread) wrongThread = true;
    };
    int written = 0;
    std::vector<Bytes> echoes;
    bool ready = false;

    // Meanwhile another thread advertises a second device many times.
    auto other = central->makePeripheral("OTHER");
    manager->scanForPeripherals();
    std::thread advertiser([&] {
        for (int i = 0; i < 300; ++i) central->advertise(other, {}, -40 - (i % 20));
    });

    auto wrapper = manager->wrapperByPeripheral(device);
    wrapper->connectWithCompletion([&](const OptError& e) {
        onMain();
        ASSERT_FALSE(e);
        wrapper->discoverServicesWithCompletion([&](const std::optional<LumoServiceList>& services, const OptError&) {
            onMain();
            ASSERT_TRUE(services && services->size() == 1u);
            auto s = (*services)[0];
            s->discoverCharacteristicsWithCompletion([&, s](const std::optional<LumoCharacteristicList>& list, const OptError&) {
                onMain();
                ASSERT_TRUE(list && list->size() == 2u);
                auto w = s->wrapperByCharacteristic(writeChar);
                auto n = s->wrapperByCharacteristic(notifyChar);
                n->setNotifyValue(
                    true,
                    [&, w](const OptError& err) {
                        onMain();
                        ASSERT_FALSE(err);
                        for (int i = 0; i < kWrites; ++i)
                            w->writeValue(Bytes{static_cast<uint8_t>(i), 0x5A}, [&](const OptError& we) {
                                onMain();
                                if (!we) ++written;
                            });
                        ready = true;
                    },
                    [&](const std::optional<Bytes>& value, const OptError&) {
                        onMain();
                        echoes.push_back(value.value_or(Bytes{}));
                    });
            });
        });
    });

    const bool done = main.loop->runUntil([&] { return written == kWrites && echoes.size() == size_t(kWrites); }, 30s);
    advertiser.join();
    main.loop->runUntil([&] { return manager->scannedPeripherals().size() == 2u; }, 30s);
    platformQueue->sync([] {});  // everything the platform posted is on the main queue now
    main.loop->runUntilIdle();

    ASSERT_TRUE(done);
    EXPECT_TRUE(ready);
    EXPECT_FALSE(wrongThread.load());
    ASSERT_EQ(echoes.size(), size_t(kWrites));
    for (int i = 0; i < kWrites; ++i) EXPECT_EQ(echoes[i], (Bytes{static_cast<uint8_t>(~i), 0x5A})) << i;
    ASSERT_EQ(manager->scannedPeripherals().size(), 2u);
    EXPECT_LT(manager->scannedPeripherals()[1]->RSSI(), -39);
    EXPECT_GT(manager->scannedPeripherals()[1]->RSSI(), -60);
}

// Two threads ask for the shared central at once; 0 when both got the one instance.
int sharedInstanceFromTwoThreads() {
    auto backend = std::make_shared<FakeBleBackend>();
    setBleBackend(backend, std::make_shared<SerialQueue>("org.vexatokenkit.test.shared"));
    std::atomic<bool> go{false};
    std::shared_ptr<LumoCentralManager> a, b;
    std::thread t1([&] {
        while (!go) std::this_thread::yield();
        a = LumoCentralManager::sharedInstance();
    });
    std::thread t2([&] {
        while (!go) std::this_thread::yield();
        b = LumoCentralManager::sharedInstance();
    });
    go = true;
    t1.join();
    t2.join();
    return a && a == b && backend->centralsCreated() == 1 && a->manager() == backend->central() ? 0 : 1;
}

TEST(LinkThreads, SharedInstanceFromTwoThreadsIsOneInstance) {
    // The shared central lives for the whole process, so this runs in a child process of its own.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(sharedInstanceFromTwoThreads()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vexa::test
