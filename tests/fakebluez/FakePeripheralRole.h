#pragma once
// The fake org.bluez as a peripheral: a second adapter, hci1, with GattManager1 and
// LEAdvertisingManager1, looped back to hci0. An advertisement registered on hci1 shows up in
// hci0's discovery as a device whose GATT table mirrors the registered application; a write of an
// hci0 client calls the application's WriteValue (with the device, mtu and link options bluetoothd
// passes); the application's Value changes reach hci0's clients as notifications, cut to MTU - 3
// as bluetoothd cuts them; the link shows on hci1 as the central's Device1, whose Disconnect drops
// it. bluetoothd calls StartNotify when the central writes the CCCD; here it comes with the link.
// Loop thread only.
#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Backends/BlueZ/BlueZProperties.h"
#include "tests/fakebluez/FakeDevice.h"

namespace vexa::test {

struct FakePeripheralState {
    bool application = false;    // an application is registered
    bool advertisement = false;  // an advertisement is registered
    std::string localName;
};

class FakePeripheralRole {
public:
    static constexpr const char* kAdapterPath = "/org/bluez/hci1";
    static constexpr const char* kAddress = "00:1A:7D:DA:71:14";         // hci1, as hci0 sees it
    static constexpr const char* kCentralAddress = "00:1A:7D:DA:71:13";  // hci0, as hci1 sees it

    /// `addDevice` puts the looped-back device on hci0, `removeDevice` takes it away.
    FakePeripheralRole(FakeEnvironment& env, std::function<FakeDevice*(FakeDeviceConfig)> addDevice,
                       std::function<void(const std::string&)> removeDevice, uint16_t mtu);
    ~FakePeripheralRole();

    /// Publishes the adapter.
    void publish();
    /// The service exits: objects and registrations vanish silently.
    void shutdown();
    /// A D-Bus client left: its registrations end.
    void clientGone(const std::string& sender);
    FakePeripheralState state() const;

private:
    class Loopback;
    struct Registration {
        std::string sender;
        std::string path;
        std::unique_ptr<sdbus::IProxy> proxy;  // kept while its call is pending
    };

    sdbus::IConnection& connection() const { return *env_.loop->connection(); }
    sdbus::IProxy& appProxy(const std::string& path);
    void onRegisterApplication(sdbus::MethodCall call);
    void applicationRead(const sdbus::MethodCall& call, const bluez::ManagedObjects& objects);
    void onRegisterAdvertisement(sdbus::MethodCall call);
    void unregister(sdbus::MethodCall call, std::optional<Registration>& registration);
    void withdrawAdvertisement();
    void withdrawApplication();
    void onAppSignal(sdbus::Message& message);
    void linkUp(FakeDeviceLink& link);
    void linkDown();
    void callNotifyCharacteristics(const char* method);

    FakeEnvironment& env_;
    std::function<FakeDevice*(FakeDeviceConfig)> addDevice_;
    std::function<void(const std::string&)> removeDevice_;
    const uint16_t mtu_;
    std::shared_ptr<Loopback> model_;
    std::unique_ptr<sdbus::IObject> adapter_;
    std::unique_ptr<sdbus::IObject> central_;  // hci0's Device1 on hci1
    std::optional<Registration> application_;
    std::optional<Registration> advertisement_;
    std::vector<FakeServiceConfig> services_;
    std::map<std::string, std::string> characteristicPaths_;  // by UUID
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> appProxies_;
    sdbus::Slot valueWatch_;
    std::string localName_;
    FakeDevice* device_ = nullptr;
    FakeDeviceLink* link_ = nullptr;
};

}  // namespace vexa::test
