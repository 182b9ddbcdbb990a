#pragma once
// Shared set-up of the link-layer tests: a central manager over the fake platform, with the main
// RunLoop on a virtual clock as both the main queue and the platform's callback queue.
#include <gtest/gtest.h>

#include <any>
#include <memory>
#include <string>
#include <vector>

#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCharacteristic.h"
#include "LumoTokenSDK/LumoBluetooth/LumoPeripheral.h"
#include "LumoTokenSDK/LumoBluetooth/LumoService.h"
#include "Platform/NotificationCenter.h"
#include "tests/support/FakeBlePlatform.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::test {

inline const BleUUID kServiceUUID = BleUUID::fromString("a63928c5-f337-4181-9412-09b8a6d8826f");
inline const BleUUID kWriteUUID = BleUUID::fromString("563e2883-5c3a-41da-8e02-15640ae703e6");
inline const BleUUID kNotifyUUID = BleUUID::fromString("5609a734-12c2-49e9-9edd-6eba3fdedc92");

inline Error platformError(int64_t code, std::string message = "platform failure") {
    return Error{"FakePlatform", code, std::move(message)};
}

/// Records the peripheral notifications posted while it lives.
class NotificationLog {
public:
    struct Entry {
        std::string name;
        const void* object;
        OptError error;     // the "error" entry when it holds an Error
        bool nullMarker;    // the "error" entry holds the null marker
    };
    NotificationLog() {
        for (const char* name : {kLumoeripheralDidConnect, kLumoPeripheralDidDisconnect, kLumoCentralManagerDidUpdateState})
            NotificationCenter::defaultCenter().addObserver(this, name, nullptr, [this](const Notification& n) {
                Entry e{n.name, n.object.get(), std::nullopt, false};
                if (auto it = n.userInfo.find("error"); it != n.userInfo.end()) {
                    if (auto* err = std::any_cast<Error>(&it->second)) e.error = *err;
                    e.nullMarker = std::any_cast<NullMarker>(&it->second) != nullptr;
                }
                entries.push_back(std::move(e));
            });
    }
    ~NotificationLog() { NotificationCenter::defaultCenter().removeObserver(this); }
    NotificationLog(const NotificationLog&) = delete;
    NotificationLog& operator=(const NotificationLog&) = delete;

    size_t count(const std::string& name) const {
        size_t n = 0;
        for (const auto& e : entries) n += e.name == name ? 1 : 0;
        return n;
    }
    std::vector<Entry> entries;
};

class LinkTest : public ::testing::Test {
protected:
    /// A device with the token service and its write and notify characteristics.
    struct Device {
        std::shared_ptr<FakePeripheral> fake;
        std::shared_ptr<FakeService> service;
        std::shared_ptr<FakeCharacteristic> write;
        std::shared_ptr<FakeCharacteristic> notify;
        std::shared_ptr<LumoPeripheral> wrapper;
    };

    Device makeDevice(const std::string& id, std::optional<std::string> name = "Token") {
        Device d;
        d.fake = central->makePeripheral(id, std::move(name));
        d.service = d.fake->addService(kServiceUUID);
        d.write = d.service->addCharacteristic(kWriteUUID, kPropertyWrite);
        d.notify = d.service->addCharacteristic(kNotifyUUID, kPropertyNotify | kPropertyRead);
        return d;
    }

    /// makeDevice, wrapped, connected and its services discovered.
    Device deviceWithServices(const std::string& id) {
        Device d = makeDevice(id);
        d.wrapper = manager->wrapperByPeripheral(d.fake);
        d.wrapper->connectWithCompletion(nullptr);
        central->reportConnect(d.fake);
        run();
        d.wrapper->discoverServicesWithCompletion(nullptr);
        d.fake->answerDiscoverServices();
        run();
        return d;
    }

    /// deviceWithServices, and the characteristics of its service discovered too.
    Device connectedDevice(const std::string& id) {
        Device d = deviceWithServices(id);
        service(d)->discoverCharacteristicsWithCompletion(nullptr);
        d.fake->answerDiscoverCharacteristics(d.service);
        run();
        return d;
    }

    static std::shared_ptr<LumoService> service(const Device& d) { return d.wrapper->wrapperByService(d.service); }
    static std::shared_ptr<LumoCharacteristic> wrapperOf(const Device& d, const std::shared_ptr<FakeCharacteristic>& c) {
        auto s = service(d);
        return s ? s->wrapperByCharacteristic(c) : nullptr;
    }

    size_t run() { return main.runUntilIdle(); }

    VirtualMainLoop main;
    std::shared_ptr<FakeBleBackend> backend = std::make_shared<FakeBleBackend>();
    std::shared_ptr<LumoCentralManager> manager = LumoCentralManager::create(backend, main.loop);
    std::shared_ptr<FakeCentral> central = backend->central();
};

}  // namespace vexa::test
