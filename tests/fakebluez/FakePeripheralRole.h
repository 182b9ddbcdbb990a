#pragma once
// The fake org.bluez as a peripheral: adapter hci1 with GattManager1 and LEAdvertisingManager1,
// looped back to hci0. A registered advertisement shows up in hci0's discovery as a device whose
// GATT table mirrors the registered application (this class is that device's model): hci0's writes
// call the application's WriteValue with bluetoothd's device, mtu and link options; its Value
// changes reach hci0's clients as notifications cut to MTU - 3; hci1 shows the link as the
// central's Device1 (known to hci1 from the start), whose Disconnect drops it. bluetoothd calls StartNotify when the central
// writes the CCCD; here it comes with the link. Loop thread only.
#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Backends/BlueZ/BlueZProperties.h"
#include "tests/fakebluez/FakeDevice.h"

namespace vexa::test {

class FakeBluez;

class FakePeripheralRole final : public FakeDeviceModel, public std::enable_shared_from_this<FakePeripheralRole> {
public:
    static constexpr const char* kAddress = "00:1A:7D:DA:71:14";  // hci1, as hci0 sees it

    /// The looped-back device is one of `bluez`'s (on hci0).
    FakePeripheralRole(FakeEnvironment& env, FakeBluez& bluez, uint16_t mtu);
    void publish();
    /// The service exits: objects and registrations vanish silently.
    void shutdown();
    bool registered() const { return application_ || advertisement_; }

    void connected(FakeDeviceLink& link) override;
    void disconnected() override;
    void written(const std::string& uuid, const Bytes& value, FakeDeviceLink& link) override;

private:
    sdbus::IProxy& proxy(const std::string& sender, const std::string& path);
    void onRegister(sdbus::MethodCall call, bool application);
    void applicationRead(const sdbus::MethodCall& call, const bluez::ManagedObjects& objects);
    void advertisementRead(const sdbus::MethodCall& call, bluez::PropertyMap properties);
    void withdraw(bool application);
    void onValue(sdbus::Message& message);
    void callNotifying(const char* method);

    FakeEnvironment& env_;
    FakeBluez& bluez_;
    const uint16_t mtu_;
    std::unique_ptr<sdbus::IObject> adapter_, central_;  // central_: hci0's Device1 on hci1
    std::optional<std::string> application_, advertisement_;  // the registering clients
    std::vector<FakeServiceConfig> services_;
    std::map<std::string, std::string> paths_;  // the application's characteristics by UUID
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
    sdbus::Slot valueWatch_;
    FakeDeviceLink* link_ = nullptr;
};

}  // namespace vexa::test
