#pragma once
// A fake org.bluez service on a given bus, for tests: the object manager on "/", adapter hci0
// with per-client discovery sessions and filters, and fake devices (FakeDevice) with pluggable
// device models. Hooks make it misbehave as bluetoothd can: refused or delayed connections, late
// GATT objects, links dropped by the remote side, a service restart.
//
// Every method may be called from any thread but the fake's own; each runs on the fake's loop
// and returns once done (signals sent). Devices are named by address.
#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/fakebluez/FakeDevice.h"
#include "tests/fakebluez/FakeDeviceConfig.h"
#include "tests/fakebluez/FakeEnvironment.h"
#include "tests/fakebluez/FakePeripheralRole.h"

namespace vexa::test {

struct DiscoveryFilterCall {
    std::string sender;
    std::set<std::string> keys;
    std::vector<std::string> uuids;
    std::string transport;
};

class FakeBluez {
public:
    explicit FakeBluez(std::string busAddress);
    ~FakeBluez();
    FakeBluez(const FakeBluez&) = delete;
    FakeBluez& operator=(const FakeBluez&) = delete;

    /// Joins the bus, publishes the adapter and the known devices, then takes the name org.bluez.
    bool start();
    /// Leaves the bus as an exiting bluetoothd would: objects and pending calls vanish; devices
    /// that were ever connected are kept for the next start, the others are forgotten.
    void stop();
    bool restart();
    bool running() const { return loop_ != nullptr; }

    // Adapter.
    void setPowered(bool powered);
    /// "on", "off", "off-blocked" (rfkill), ...; Powered follows.
    void setPowerState(const std::string& state);
    void removeAdapter();
    void addAdapter();

    // Devices.
    /// A device in range: discovered (object created, RSSI signalled) while a discovery runs.
    void addDevice(FakeDeviceConfig config);
    /// A device BlueZ already knows (cached from earlier), not in range: its object exists now.
    void addCachedDevice(FakeDeviceConfig config);
    /// One advertisement of the device, with this RSSI (or its configured one).
    void advertise(const std::string& address, std::optional<int16_t> rssi = std::nullopt);
    void removeDevice(const std::string& address);
    /// The remote side closes the link.
    void dropLink(const std::string& address);
    void setMtu(const std::string& address, uint16_t mtu);
    /// A notification from the device (dropped unless a client switched notifications on).
    void notify(const std::string& address, const std::string& uuid, Bytes value);
    /// The next StartNotify on that characteristic sends `value` before it answers.
    void setEarlyNotification(const std::string& address, const std::string& uuid, Bytes value);

    // Peripheral role.
    /// Adds hci1, which serves GATT applications and advertisements looped back to hci0 over a
    /// link of this MTU (see FakePeripheralRole.h). Kept across restarts.
    void enablePeripheralRole(uint16_t mtu = 247);
    /// An application or an advertisement is registered on hci1.
    bool peripheralRegistered() const;

    // Behaviour switches and observations.
    void setApplyDiscoveryFilter(bool apply);  // false: every device is reported, whatever the filters
    /// Changes the devices' behaviour switches (FakeEnvironment.h) on the fake's loop.
    void behave(const std::function<void(FakeBehaviour&)>& change);
    void releaseWrites();
    /// A copy of what the devices logged: calls, writes, InProgress answers.
    FakeLog log() const;
    std::vector<DiscoveryFilterCall> discoveryFilters() const;
    size_t discoverySessions() const;
    bool discovering() const;
    bool isConnected(const std::string& address) const;
    bool isNotifying(const std::string& address, const std::string& uuid) const;

private:
    template <class F>
    auto onLoop(F work) const -> decltype(work());
    void post(Task task);
    FakeDevice* device(const std::string& address) const;
    void publishAdapter();
    void emitAdapter(const std::vector<std::string>& names);
    void onStartDiscovery(sdbus::MethodCall call);
    void onStopDiscovery(sdbus::MethodCall call);
    void onSetDiscoveryFilter(sdbus::MethodCall call);
    void endDiscovery();
    void discover(FakeDevice& device, std::optional<int16_t> rssi);
    bool passesFilters(const FakeDevice& device) const;
    void clientGone(const std::string& name);

    const std::string busAddress_;
    mutable std::mutex postMutex_;  // guards loop_ for post() from other threads
    std::unique_ptr<DBusLoop> loop_;

    // Loop thread (or the caller while stopped).
    FakeEnvironment env_;
    std::unique_ptr<sdbus::IObject> adapter_;
    sdbus::Slot clientWatch_;
    bool powered_ = true;
    std::string powerState_ = "on";
    bool discovering_ = false;
    bool applyFilters_ = true;
    std::set<std::string> sessions_;                          // clients with a discovery session
    std::map<std::string, std::vector<std::string>> filters_;  // UUID filter per client
    std::vector<DiscoveryFilterCall> filterCalls_;
    std::map<std::string, std::unique_ptr<FakeDevice>> devices_;
    std::shared_ptr<FakePeripheralRole> peripheral_;
};

}  // namespace vexa::test
