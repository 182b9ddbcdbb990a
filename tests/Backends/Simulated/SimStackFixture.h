#pragma once
// A radio, one central on the virtual main loop, and a token-like device to drive it with.
#include <gtest/gtest.h>

#include <vector>

#include "Backends/Simulated/SimulatedErrors.h"
#include "Backends/Simulated/SimulatedRadio.h"
#include "Platform/Clock.h"
#include "tests/support/PlatformRecorder.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::test {

using namespace std::chrono_literals;

inline const BleUUID kServiceUUID = BleUUID::fromString("a63928c5-f337-4181-9412-09b8a6d8826f");
inline const BleUUID kWriteUUID = BleUUID::fromString("563e2883-5c3a-41da-8e02-15640ae703e6");
inline const BleUUID kNotifyUUID = BleUUID::fromString("5609a734-12c2-49e9-9edd-6eba3fdedc92");
inline const BleUUID kInfoUUID = BleUUID::fromString("180a");

/// A device with the token service (write + notify characteristics) and a readable info service.
struct TestDevice {
    std::shared_ptr<VirtualPeripheral> device;
    std::shared_ptr<VirtualCharacteristic> write, notify, info;
    std::vector<Bytes> received;  // writes the device got, in order

    explicit TestDevice(std::optional<std::string> name = "Token") {
        device = VirtualPeripheral::create(std::move(name));
        write = VirtualCharacteristic::create(kWriteUUID, kPropertyWrite | kPropertyWriteWithoutResponse);
        notify = VirtualCharacteristic::create(kNotifyUUID, kPropertyNotify);
        info = VirtualCharacteristic::create(BleUUID::fromString("2a29"), kPropertyRead);
        info->setValue(bytesOf("Vexa"));
        write->setWriteHandler([this](const Bytes& v, WriteType) {
            received.push_back(v);
            return OptError{};
        });
        device->addService(VirtualService::create(kServiceUUID, {write, notify}));
        device->addService(VirtualService::create(kInfoUUID, {info}));
        device->setAdvertisedServices({kServiceUUID});
    }
};

/// The platform objects of a connected, discovered and subscribed TestDevice.
struct Gatt {
    std::shared_ptr<PlatformPeripheral> peripheral;
    std::shared_ptr<PlatformService> service;
    std::shared_ptr<PlatformCharacteristic> write, notify;
};

class SimStackTest : public ::testing::Test {
protected:
    VirtualMainLoop main;
    std::shared_ptr<SimulatedRadio> radio = SimulatedRadio::create();
    std::shared_ptr<PlatformRecorder> rec = std::make_shared<PlatformRecorder>(main.loop);
    std::shared_ptr<PlatformCentral> central = radio->createCentral(rec, main.loop);

    void run() { main.runUntilIdle(); }
    bool runUntilCount(Ev kind, size_t n, Duration timeout = 60s) {
        return main.runUntil([&] { return rec->count(kind) >= n; }, timeout);
    }

    /// Scans until `device` is heard and returns its platform object.
    std::shared_ptr<PlatformPeripheral> find(const std::shared_ptr<VirtualPeripheral>& device) {
        central->scanForPeripherals(std::nullopt, {});
        std::shared_ptr<PlatformPeripheral> found;
        main.runUntil([&] {
            for (auto& e : rec->of(Ev::Discover))
                if (e.peripheral->identifier() == device->identifier()) found = e.peripheral;
            return found != nullptr;
        });
        central->stopScan();
        run();
        return found;
    }

    std::shared_ptr<PlatformPeripheral> connect(const std::shared_ptr<VirtualPeripheral>& device) {
        auto p = find(device);
        p->setDelegate(rec);
        const size_t before = rec->count(Ev::Connect);
        central->connectPeripheral(p);
        EXPECT_TRUE(runUntilCount(Ev::Connect, before + 1));
        return p;
    }

    /// Connects, discovers the token service and subscribes to its notify characteristic.
    Gatt open(const std::shared_ptr<VirtualPeripheral>& device) {
        Gatt g;
        g.peripheral = connect(device);
        g.peripheral->discoverServices(std::vector<BleUUID>{kServiceUUID});
        EXPECT_TRUE(runUntilCount(Ev::Services, 1));
        g.service = g.peripheral->services().at(0);
        g.peripheral->discoverCharacteristics(std::nullopt, g.service);
        EXPECT_TRUE(runUntilCount(Ev::Characteristics, 1));
        for (auto& c : g.service->characteristics()) (c->uuid() == kWriteUUID ? g.write : g.notify) = c;
        g.peripheral->setNotifyValue(true, g.notify);
        EXPECT_TRUE(runUntilCount(Ev::NotifyState, 1));
        rec->clear();
        return g;
    }
};

/// SimStackTest with one TestDevice `t` on the air.
class SimDeviceTest : public SimStackTest {
protected:
    SimDeviceTest() { radio->addPeripheral(t.device); }
    TestDevice t;
};

inline Error testError(int64_t code) { return Error{"test", code, "injected"}; }

}  // namespace vexa::test
