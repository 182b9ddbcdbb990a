#pragma once
// One fake BlueZ device: the org.bluez.Device1 object and, once connected, its GATT service and
// characteristic objects, behaving as bluetoothd's do (Connect answers before services resolve,
// one outstanding write per characteristic, notifications as PropertiesChanged, per-client
// notify sessions, ServicesResolved=false then Connected=false on disconnect). Loop thread only.
#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/fakebluez/FakeDeviceConfig.h"
#include "tests/fakebluez/FakeEnvironment.h"

namespace vexa::test {

class FakeDevice {
public:
    FakeDevice(FakeEnvironment& env, FakeDeviceConfig config);
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    const std::string& address() const { return config_.address; }
    const std::string& path() const { return path_; }
    const FakeDeviceConfig& config() const { return config_; }
    bool published() const { return device_ != nullptr; }
    /// Kept across a service restart (it was connected once, like a non-temporary device).
    bool persistent() const { return persistent_; }
    void setPersistent() { persistent_ = true; }
    bool connected() const { return connected_; }

    bool inRange = true;           // advertises while a discovery runs
    bool seenInDiscovery = false;  // gave an RSSI in the current discovery

    /// Creates the Device1 object and announces it.
    void publish();
    /// Removes every object, announced (RemoveDevice, out of range for good).
    void unpublish();
    /// The service exits: objects and pending calls vanish silently, the link is down.
    void shutdown();
    /// One advertisement: publishes the device or signals its RSSI.
    void advertise(std::optional<int16_t> rssi);
    /// Discovery ended: RSSI is invalidated.
    void invalidateRssi();
    /// The remote side (or the adapter) closes the link.
    void dropLink();
    void setMtu(uint16_t mtu);
    void notify(const std::string& uuid, Bytes value);
    /// The next StartNotify on `uuid` sends `value` before answering.
    void setEarlyNotification(const std::string& uuid, Bytes value);
    void releaseWrites();
    /// A D-Bus client left: its notify sessions end.
    void clientGone(const std::string& sender);
    bool isNotifying(const std::string& uuid) const;

private:
    struct PendingWrite {
        sdbus::MethodCall call;
        Bytes value;
        bool held = false;
    };
    struct Characteristic {
        std::string path;
        std::string uuid;
        std::vector<std::string> flags;
        std::unique_ptr<sdbus::IObject> object;
        Bytes value;
        std::set<std::string> sessions;
        std::map<std::string, sdbus::MethodCall> pendingStarts;
        std::optional<PendingWrite> write;
        bool hasFlag(const char* flag) const;
        bool notifying() const { return !sessions.empty() || !pendingStarts.empty(); }
    };
    struct Service {
        std::string path;
        std::string uuid;
        std::unique_ptr<sdbus::IObject> object;
    };
    class Link;

    sdbus::IConnection& connection() const { return *env_.loop->connection(); }
    template <class F>
    void later(std::chrono::milliseconds delay, F task);
    void onConnect(sdbus::MethodCall call);
    void onDisconnect(sdbus::MethodCall call);
    void establish();
    void resolve();
    void linkDown();
    /// The service objects now; their characteristics now, or one every `characteristicsDelay`.
    void publishGatt(std::chrono::milliseconds characteristicsDelay = {});
    void addCharacteristic(const std::string& path, const FakeCharacteristicConfig& config);
    void unpublishGatt(bool announce);
    void emitDevice(const std::vector<std::string>& names);
    Characteristic* characteristic(const std::string& uuid) const;
    void addCharacteristicObject(Characteristic& c);
    void onWriteValue(Characteristic& c, sdbus::MethodCall call);
    void completeWrite(const std::string& uuid);
    /// A written value reaches the device (its model), and the drop-after-writes switch counts it.
    void delivered(const std::string& uuid, const Bytes& value);
    void onStartNotify(Characteristic& c, sdbus::MethodCall call);
    void onStopNotify(Characteristic& c, sdbus::MethodCall call);
    void setNotifying(Characteristic& c, bool wasNotifying);

    FakeEnvironment& env_;
    FakeDeviceConfig config_;
    std::string path_;
    std::shared_ptr<int> life_ = std::make_shared<int>(0);  // timers and the model's link check it
    std::shared_ptr<Link> link_;
    std::unique_ptr<sdbus::IObject> device_;
    std::vector<std::unique_ptr<Service>> services_;
    std::vector<std::unique_ptr<Characteristic>> characteristics_;
    std::optional<sdbus::MethodCall> pendingConnect_;
    bool connected_ = false;
    bool servicesResolved_ = false;
    bool persistent_ = false;
    int16_t rssi_;
    std::optional<uint16_t> mtu_;
    std::map<std::string, Bytes> earlyValues_;  // by characteristic UUID
    uint64_t linkEpoch_ = 0;  // bumped at every link change; stale timers do nothing
};

}  // namespace vexa::test
