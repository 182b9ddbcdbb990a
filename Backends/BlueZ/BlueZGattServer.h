#pragma once
// The peripheral role on BlueZ: one primary GATT service with a write characteristic (write with
// response) and a notify characteristic, exported as a GATT application through
// org.bluez.GattManager1 and advertised with its name and service UUID through
// org.bluez.LEAdvertisingManager1. Its D-Bus work runs on a DBusLoop of its own connection; the
// public operations may be called from any thread, and every event reaches the listener on the
// callback queue, in order.
//
// One central at a time: the central of the first accepted write keeps the service until BlueZ
// reports its link down (Device1.Connected of that central on the adapter); writes of another
// central meanwhile are refused with NotPermitted. Writes at a non-zero offset are refused with
// InvalidOffset: BlueZ joins the parts of a long write before it passes the value on.
#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IObject.h>
#include <sdbus-c++/IProxy.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Backends/BlueZ/BlueZObjectTable.h"
#include "Backends/BlueZ/BlueZOptions.h"
#include "Backends/BlueZ/DBusLoop.h"
#include "Platform/BlePlatform.h"

namespace vexa {

struct GattServerConfig {
    BlueZOptions options;  // the adapter to serve on (empty: the first one)
    std::string localName;
    BleUUID service;
    BleUUID writeCharacteristic;
    BleUUID notifyCharacteristic;
};

class BlueZGattServerListener {
public:
    virtual ~BlueZGattServerListener() = default;
    /// The application and the advertisement are registered on `adapter` (its object path).
    virtual void serverStarted(const std::string& adapter) { (void)adapter; }
    /// The server cannot go on: a registration was refused, BlueZ left the bus or withdrew the
    /// advertisement. Nothing else is reported afterwards.
    virtual void serverFailed(const Error& error) { (void)error; }
    /// A device's link on the adapter came up or went down.
    virtual void linkChanged(const std::string& address, bool connected) { (void)address, (void)connected; }
    /// A central began to use the service (its first accepted write) or stopped (its link went down).
    virtual void centralStarted(const std::string& address) { (void)address; }
    virtual void centralEnded(const std::string& address) { (void)address; }
    /// The current central wrote `value`; `mtu` is the link's ATT MTU when BlueZ said it, else 0.
    virtual void valueWritten(const Bytes& value, uint16_t mtu) { (void)value, (void)mtu; }
    /// A write of `address` was refused because another central holds the service.
    virtual void writeRefused(const std::string& address) { (void)address; }
    /// BlueZ switched the notifications on or off (a central wrote the CCCD, or left).
    virtual void notifyingChanged(bool on) { (void)on; }
};

class BlueZGattServer final {
public:
    /// Takes over `connection` (null: no bus; start() then fails) and exports nothing yet.
    static std::unique_ptr<BlueZGattServer> create(GattServerConfig config, std::unique_ptr<sdbus::IConnection> connection,
                                                   std::weak_ptr<BlueZGattServerListener> listener,
                                                   std::shared_ptr<DispatchQueue> callbackQueue);
    /// stop(0) if still running.
    ~BlueZGattServer();
    BlueZGattServer(const BlueZGattServer&) = delete;
    BlueZGattServer& operator=(const BlueZGattServer&) = delete;

    /// Exports the objects and registers them; serverStarted or serverFailed tells the outcome.
    void start();
    /// Sends `value` as a notification (dropped while notifications are off). BlueZ cuts a value
    /// longer than the link's MTU - 3, so the caller keeps within it.
    void notify(Bytes value);
    /// Drops the link of the current central, if there is one.
    void disconnectCentral();
    /// Disconnects the current central, unregisters the advertisement and the application (each
    /// call bounded by `bound`) and ends the loop; no event follows. Blocks; not on the loop.
    void stop(std::chrono::milliseconds bound = std::chrono::seconds(2));

    BlueZGattServer(GattServerConfig config, std::unique_ptr<sdbus::IConnection> connection,
                    std::weak_ptr<BlueZGattServerListener> listener, std::shared_ptr<DispatchQueue> callbackQueue);

private:
    template <class F>
    void deliver(F event);
    void fail(const Error& error);
    sdbus::IProxy& proxy(const std::string& path);
    void begin();
    void exportObjects();
    void objectsLoaded(const sdbus::Error* error, const bluez::ManagedObjects& objects);
    void registerObject(const char* interface, const char* method, const char* path, std::function<void()> then);
    /// The application first: BlueZ advertises what it serves.
    void registerAll();
    void onSignal(sdbus::Message& message);
    void deviceChanged(const std::string& path);
    void endCentral();
    void onWrite(sdbus::MethodCall call);
    void setNotifying(bool on);
    std::string addressOf(const std::string& devicePath) const;

    const GattServerConfig config_;
    const std::weak_ptr<BlueZGattServerListener> listener_;
    const std::shared_ptr<DispatchQueue> callbackQueue_;
    std::unique_ptr<DBusLoop> loop_;
    std::shared_ptr<std::atomic<bool>> open_ = std::make_shared<std::atomic<bool>>(true);  // false once stopped

    // Loop thread only.
    std::vector<sdbus::Slot> matches_;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
    std::unique_ptr<sdbus::IObject> root_, service_, writeCharacteristic_, notifyCharacteristic_, advertisement_;
    bluez::BlueZObjectTable table_;
    std::string adapter_;
    std::set<std::string> links_;          // devices connected on the adapter, by path
    std::optional<std::string> central_;   // device path of the current central ("" when BlueZ names none)
    bool applicationRegistered_ = false;
    bool advertisementRegistered_ = false;
    bool failed_ = false;
    bool stopping_ = false;
    bool notifying_ = false;
    Bytes value_;
};

}  // namespace vexa
