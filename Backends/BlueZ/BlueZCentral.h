#pragma once
// The Bluetooth LE central on BlueZ: follows org.bluez's object tree over its own D-Bus connection,
// derives the central state from the adapter, runs discovery sessions for scans, and hands
// device and GATT events to its peripherals. All D-Bus work and all state below the "loop thread"
// line run on one DBusLoop; the PlatformCentral operations may be called from any thread and
// every callback goes to the callback queue.
#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IProxy.h>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Backends/BlueZ/BlueZContext.h"
#include "Backends/BlueZ/BlueZObjectTable.h"
#include "Backends/BlueZ/BlueZOptions.h"
#include "Backends/BlueZ/DBusLoop.h"
#include "Platform/BlePlatform.h"

namespace vexa {

class BlueZPeripheral;

class BlueZCentral final : public PlatformCentral, public BlueZContext, public std::enable_shared_from_this<BlueZCentral> {
public:
    /// Takes over `connection` (null: no bus, the state stays Unsupported) and starts following org.bluez.
    static std::shared_ptr<BlueZCentral> create(BlueZOptions options, std::unique_ptr<sdbus::IConnection> connection,
                                                std::weak_ptr<PlatformCentralDelegate> delegate, std::shared_ptr<DispatchQueue> callbackQueue);
    /// Stops the loop thread; must not be the last reference released on that thread (it never is:
    /// the loop holds no strong reference to the central).
    ~BlueZCentral() override;

    // PlatformCentral
    /// Unknown until org.bluez has been asked; Unsupported without a bus, without org.bluez on it
    /// or without an adapter; Unauthorized when the adapter is blocked (rfkill); else PoweredOn/Off.
    ManagerState state() const override { return state_.load(); }
    void scanForPeripherals(const std::optional<std::vector<BleUUID>>& serviceUUIDs, const ScanOptions& options) override;
    void stopScan() override;
    void connectPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral) override;
    void cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>& peripheral) override;
    /// Identifiers are device addresses ("AA:BB:CC:DD:EE:FF", any case).
    std::vector<std::shared_ptr<PlatformPeripheral>> retrievePeripheralsWithIdentifiers(const std::vector<std::string>& identifiers) override;
    /// Devices BlueZ reports connected (by any client) whose UUIDs hold one of `serviceUUIDs`.
    std::vector<std::shared_ptr<PlatformPeripheral>> retrieveConnectedPeripheralsWithServices(const std::vector<BleUUID>& serviceUUIDs) override;

    // BlueZContext (loop thread)
    DBusLoop& loop() override { return *loop_; }
    sdbus::IProxy& proxy(const std::string& path) override;
    const bluez::BlueZObjectTable& objects() const override { return table_; }
    const BlueZOptions& options() const override { return options_; }
    void deliver(Task task) override;
    void deliverToCentral(std::function<void(const std::shared_ptr<PlatformCentral>&, PlatformCentralDelegate&)> call) override;
    void connectionAttemptStarted() override;
    void connectionAttemptEnded() override;

    BlueZCentral(BlueZOptions options, std::unique_ptr<sdbus::IConnection> connection, std::weak_ptr<PlatformCentralDelegate> delegate,
                 std::shared_ptr<DispatchQueue> callbackQueue);

private:
    struct ScanRecord {
        uint64_t freshSession = 0;     // scan session in which the device last reported an RSSI
        uint64_t reportedSession = 0;  // scan session in which it was last reported
    };

    void start();
    void onSignal(sdbus::Message& message);
    void ownerChanged(const std::string& oldOwner, const std::string& newOwner);
    void ownerLost();
    void loadObjects();
    void objectsLoaded(uint64_t generation, const sdbus::Error* error, const bluez::ManagedObjects& objects);
    void interfacesAdded(const std::string& path, const bluez::InterfaceMap& interfaces);
    void interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces);
    void propertiesChanged(const std::string& path, const std::string& interface, const bluez::PropertyMap& changed,
                           const std::vector<std::string>& invalidated);
    void deviceUpdated(const std::string& path, const std::set<std::string>& keys);
    void considerAdvertisement(const std::string& path, const std::set<std::string>& keys);
    void updateState();
    void reconcileDiscovery();
    void startDiscovery(uint64_t epoch, uint64_t filterGeneration);
    bool isOurs(const std::string& devicePath) const;
    std::shared_ptr<BlueZPeripheral> peripheralFor(const std::string& devicePath);
    std::shared_ptr<BlueZPeripheral> ownPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral) const;
    std::optional<std::string> deviceOfGattObject(const std::string& path) const;

    const BlueZOptions options_;
    const std::weak_ptr<PlatformCentralDelegate> delegate_;
    const std::shared_ptr<DispatchQueue> callbackQueue_;
    std::atomic<ManagerState> state_{ManagerState::Unknown};
    std::unique_ptr<DBusLoop> loop_;

    // Loop thread only.
    std::vector<sdbus::Slot> matches_;
    std::unique_ptr<sdbus::IProxy> busProxy_;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
    bluez::BlueZObjectTable table_;
    std::map<std::string, std::shared_ptr<BlueZPeripheral>> peripherals_;  // by device path, for the central's life
    std::map<std::string, ScanRecord> scanRecords_;
    bool ownerKnown_ = false;
    std::string owner_;
    bool objectsLoaded_ = false;
    uint64_t loadGeneration_ = 0;
    std::string adapterPath_;

    bool scanWanted_ = false;
    std::optional<std::vector<BleUUID>> scanFilter_;
    bool allowDuplicates_ = false;
    uint64_t scanSession_ = 0;
    uint64_t filterGeneration_ = 0;  // bumped by every scan start; a running discovery restarts
    uint64_t appliedFilter_ = 0;
    std::optional<uint64_t> refusedFilter_;  // StartDiscovery refused for this generation: wait for a change
    bool discoveryActive_ = false;
    bool discoveryCallPending_ = false;
    uint64_t discoveryEpoch_ = 0;  // bumped when org.bluez goes; replies of an older epoch are ignored
    int attemptsPending_ = 0;
};

}  // namespace vexa
