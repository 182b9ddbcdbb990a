#pragma once
// A remote device seen through BlueZ (an org.bluez.Device1 object): its connection state machine,
// service and characteristic discovery from BlueZ's object tree, and the routing of GATT requests
// to its characteristics. The PlatformPeripheral operations may be called from any thread; they
// hand their work to the central's D-Bus loop. The "loop side" members run on that loop only.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Backends/BlueZ/BlueZProperties.h"
#include "Platform/BlePlatform.h"

namespace sdbus {
class Error;
}

namespace vexa {

class BlueZCharacteristic;
class BlueZContext;
class BlueZService;

class BlueZPeripheral final : public PlatformPeripheral, public std::enable_shared_from_this<BlueZPeripheral> {
public:
    BlueZPeripheral(std::string path, std::string identifier, std::weak_ptr<BlueZContext> context);

    std::string identifier() const override { return identifier_; }
    std::optional<std::string> name() const override;
    PeripheralState state() const override { return state_.load(); }
    std::vector<std::shared_ptr<PlatformService>> services() const override;
    void setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) override;
    void discoverServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs) override;
    void discoverCharacteristics(const std::optional<std::vector<BleUUID>>& characteristicUUIDs,
                                 const std::shared_ptr<PlatformService>& service) override;
    void setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) override;
    void readValue(const std::shared_ptr<PlatformCharacteristic>& characteristic) override;
    void writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic, WriteType type) override;
    /// Without response: the ATT MTU - 3 (20 while the MTU is unknown). With response: 512, BlueZ
    /// turns a longer-than-MTU request into a long write.
    size_t maximumWriteValueLength(WriteType type) const override;
    /// Answers the last RSSI the device advertised (BlueZ has no RSSI reading on a connection).
    void readRSSI() override;

    const std::string& path() const { return path_; }
    std::shared_ptr<PlatformPeripheralDelegate> delegate() const;
    /// Callback-queue side: the result of a service discovery, set just before its callback.
    void setServices(std::vector<std::shared_ptr<PlatformService>> services);

    // ---- loop side, called by the central ----
    void connect(BlueZContext& ctx);
    void cancelConnection(BlueZContext& ctx);
    /// Device1 properties changed or were invalidated (the table already holds the new values).
    void deviceChanged(BlueZContext& ctx, const std::set<std::string>& keys);
    /// GATT objects of this device appeared; discoveries waiting for them look again.
    void gattObjectsAdded(BlueZContext& ctx);
    /// A GATT object of this device is gone: its waiting requests fail.
    void gattObjectRemoved(BlueZContext& ctx, const std::string& path);
    void characteristicValue(BlueZContext& ctx, const std::string& path, Bytes value);
    void mtuChanged(std::optional<uint16_t> mtu);
    /// The Device1 object or the whole of org.bluez went away.
    void deviceGone(BlueZContext& ctx);
    std::optional<int16_t> lastRssi() const { return lastRssi_; }

private:
    enum class Link { Idle, Connecting, Connected, Cancelling, Disconnecting };
    struct Discovery {
        uint64_t id = 0;
        std::optional<std::vector<BleUUID>> filter;
        std::shared_ptr<BlueZService> service;  // null: a service discovery
        bool graceStarted = false;
        bool graceOver = false;
        DelayedCall timer;
    };

    template <class F>
    void onLoop(F work);
    std::shared_ptr<BlueZCharacteristic> ownCharacteristic(const std::shared_ptr<PlatformCharacteristic>& characteristic) const;
    enum class Request { Notify, Read, Write };
    /// Answers a request that cannot be sent (no callback for a write without response).
    void failRequest(BlueZContext& ctx, const std::shared_ptr<PlatformCharacteristic>& characteristic, Request kind, const Error& error);
    void stopNotifications(BlueZContext& ctx);
    void refreshMtu(BlueZContext& ctx);

    void setState(PeripheralState state) { state_ = state; }
    void connectAnswered(BlueZContext& ctx, uint64_t episode, const sdbus::Error* error);
    void disconnectAnswered(BlueZContext& ctx, uint64_t episode);
    /// Ends the current link episode: fails waiting requests, then reports `how`.
    enum class Report { None, Disconnect, FailToConnect };
    void endLink(BlueZContext& ctx, Report how, OptError error);
    void callDisconnect(BlueZContext& ctx, uint64_t episode, bool answerExpected);

    void evaluateDiscoveries(BlueZContext& ctx);
    bool answerDiscovery(BlueZContext& ctx, Discovery& d);
    void startTimer(BlueZContext& ctx, Discovery& d, std::chrono::milliseconds delay);
    std::shared_ptr<BlueZService> serviceObject(const std::string& path, const bluez::GattServiceProps& props);
    std::shared_ptr<BlueZCharacteristic> characteristicObject(BlueZContext& ctx, const std::string& path,
                                                               const bluez::GattCharacteristicProps& props,
                                                               const std::shared_ptr<BlueZService>& service);

    const std::string path_;
    const std::string identifier_;
    const std::weak_ptr<BlueZContext> context_;
    std::atomic<PeripheralState> state_{PeripheralState::Disconnected};
    std::atomic<int> mtu_{0};
    mutable std::mutex mutex_;
    std::weak_ptr<PlatformPeripheralDelegate> delegate_;
    std::optional<std::string> name_;
    std::vector<std::shared_ptr<PlatformService>> services_;

    // Loop thread only.
    Link link_ = Link::Idle;
    uint64_t episode_ = 0;  // bumped when a link episode ends; older replies are ignored
    bool attemptCounted_ = false;
    std::optional<int16_t> lastRssi_;
    std::vector<Discovery> discoveries_;
    uint64_t nextDiscoveryId_ = 0;
    std::map<std::string, std::shared_ptr<BlueZService>> serviceObjects_;
    std::map<std::string, std::shared_ptr<BlueZCharacteristic>> characteristicObjects_;
};

}  // namespace vexa
