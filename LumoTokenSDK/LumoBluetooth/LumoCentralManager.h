#pragma once
// The library's single Bluetooth LE central: owns the platform central and the queue it calls back
// on, reports readiness, scans with stop rules (count, interval, explicit) and keeps the list of
// peripheral wrappers seen since the last scan start. It is the platform central's delegate: every
// callback moves to the main queue at once, and connection, failure and disconnection reports go
// to the peripheral's wrapper. Everything but sharedInstance() is to be called on the main queue.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LumoTokenSDK/LumoBluetooth/LumoCallbacks.h"
#include "LumoTokenSDK/LumoBluetooth/LumoPeripheral.h"
#include "Platform/BlePlatform.h"
#include "Platform/DispatchQueue.h"

namespace vexa {

/// Posted on the main queue after every platform state update, with the central manager as object
/// (shared_ptr<LumoCentralManager> as shared_ptr<void>) and no userInfo. Read the new state through
/// isCentralReady() / centralNotReadyReason().
inline constexpr char kLumoCentralManagerDidUpdateState[] = "LumoCentralManagerDidUpdateState";
/// Label of the serial queue the manager makes when it is given none.
inline constexpr char kLumoCentralQueueLabel[] = "org.vexatokenkit.LumoCentralQueue";

class LumoCentralManager : public PlatformCentralDelegate, public std::enable_shared_from_this<LumoCentralManager> {
public:
    /// The process-wide instance, made on first use (under a lock) over bleBackend() and
    /// bleCallbackQueue(); with no backend chosen, over a built-in central that is Unsupported.
    static std::shared_ptr<LumoCentralManager> sharedInstance();
    /// A manager over `backend` (tests). A null `centralQueue` makes a SerialQueue labelled
    /// kLumoCentralQueueLabel.
    static std::shared_ptr<LumoCentralManager> create(std::shared_ptr<BleBackend> backend,
                                                      std::shared_ptr<DispatchQueue> centralQueue = nullptr);
    ~LumoCentralManager() override;
    LumoCentralManager(const LumoCentralManager&) = delete;
    LumoCentralManager& operator=(const LumoCentralManager&) = delete;

    const std::shared_ptr<PlatformCentral>& manager() const { return manager_; }
    const std::shared_ptr<DispatchQueue>& centralQueue() const { return centralQueue_; }
    /// Wrappers in the order first seen since the last scan start.
    const LumoPeripheralList& scannedPeripherals() const { return scannedPeripherals_; }
    /// True from a scan start until stopScanForPeripherals.
    bool isScanning() const { return scanning_; }
    /// A running scan stops by itself once this many wrappers are listed; the default never stops it.
    uint64_t peripheralsCountToStop() const { return peripheralsCountToStop_; }
    void setPeripheralsCountToStop(uint64_t count) { peripheralsCountToStop_ = count; }
    /// Called once when a scan stops, with peripherals().
    const LumoPeripheralsCallback& scanBlock() const { return scanBlock_; }
    void setScanBlock(LumoPeripheralsCallback block) { scanBlock_ = std::move(block); }
    /// Called with a snapshot of scannedPeripherals() each time a wrapper joins the list.
    const LumoPeripheralsCallback& peripheralBlock() const { return peripheralBlock_; }
    void setPeripheralBlock(LumoPeripheralsCallback block) { peripheralBlock_ = std::move(block); }

    /// The platform central is powered on, read live.
    bool isCentralReady() const;
    /// Same as stateMessage().
    std::optional<std::string> centralNotReadyReason() const;
    /// Why the central is not ready; nothing when ready, resetting or in an unknown state.
    std::optional<std::string> stateMessage() const;
    /// A new list of scannedPeripherals() sorted by RSSI, strongest first; ties keep discovery order.
    LumoPeripheralList peripherals() const;

    /// Empties the list, marks scanning and starts the platform scan. Leaves the callbacks and a
    /// pending timed stop as they are. Passed to the platform whatever its state.
    void scanForPeripheralsWithServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs, const ScanOptions& options = {});
    /// The same, after storing `peripherals` as peripheralBlock.
    void scanForPeripheralsWithServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs, const ScanOptions& options,
                                        LumoPeripheralsCallback peripherals);
    /// All peripherals, duplicates allowed.
    void scanForPeripherals();
    /// Stores `completion` as scanBlock, starts the scan, and replaces any pending timed stop with
    /// one after `seconds` on the main queue.
    void scanForPeripheralsByInterval(unsigned seconds, const std::optional<std::vector<BleUUID>>& serviceUUIDs,
                                      const ScanOptions& options, LumoPeripheralsCallback completion);
    /// All peripherals, duplicates allowed, for `seconds`.
    void scanForPeripheralsByInterval(unsigned seconds, LumoPeripheralsCallback completion);
    /// Ends the scan: stops the platform scan, cancels the timed stop, clears scanBlock and
    /// peripheralBlock, then calls the former scanBlock (if any) with peripherals().
    void stopScanForPeripherals();

    LumoPeripheralList retrievePeripheralsWithIdentifiers(const std::vector<std::string>& identifiers);
    LumoPeripheralList retrieveConnectedPeripheralsWithServices(const std::vector<BleUUID>& serviceUUIDs);

    /// The listed wrapper of that very platform peripheral; else the wrapper someone still holds
    /// (it re-joins the list); else a new one (it joins the list). Joining calls peripheralBlock.
    /// So there is one wrapper per platform peripheral while anyone holds it.
    std::shared_ptr<LumoPeripheral> wrapperByPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral);
    /// One wrapperByPeripheral per element, in order.
    LumoPeripheralList wrappersByPeripherals(const std::vector<std::shared_ptr<PlatformPeripheral>>& peripherals);

    // Platform delegate: called on centralQueue(); each hops to the main queue (runs in place when
    // centralQueue() is the main queue).
    void centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>& central) override;
    void centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                             const std::shared_ptr<PlatformPeripheral>& peripheral,
                                             const AdvertisementData& advertisementData, int64_t rssi) override;
    void centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                            const std::shared_ptr<PlatformPeripheral>& peripheral) override;
    void centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                  const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                  const OptError& error) override;
    void centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                               const std::shared_ptr<PlatformPeripheral>& peripheral,
                                               const OptError& error) override;

private:
    LumoCentralManager() = default;
    void init(const std::shared_ptr<BleBackend>& backend, std::shared_ptr<DispatchQueue> centralQueue);
    // Runs `work` on the main queue with this manager, unless the manager is gone by then.
    void onMain(std::function<void(LumoCentralManager&)> work);
    void handleDiscovery(const std::shared_ptr<PlatformPeripheral>& peripheral, AdvertisementData data, int64_t rssi);
    void cancelTimedStops();
    void joinList(const std::shared_ptr<LumoPeripheral>& wrapper);

    std::shared_ptr<DispatchQueue> centralQueue_;
    std::shared_ptr<PlatformCentral> manager_;
    LumoPeripheralList scannedPeripherals_;
    // Every wrapper made here that is still alive, by its platform peripheral.
    std::map<const PlatformPeripheral*, std::weak_ptr<LumoPeripheral>> liveWrappers_;
    bool scanning_ = false;
    uint64_t peripheralsCountToStop_ = UINT64_MAX;
    LumoPeripheralsCallback scanBlock_;
    LumoPeripheralsCallback peripheralBlock_;
    std::vector<DelayedCall> timedStops_;
};

}  // namespace vexa
