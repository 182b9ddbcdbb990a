#pragma once
// Platform central on a SimulatedRadio (see SimulatedRadio.h for its behaviour).
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "Backends/Simulated/SimulatedPeripheral.h"
#include "Backends/Simulated/SimulatedRadio.h"
#include "Platform/BlePlatform.h"

namespace vexa {

class SimulatedCentral final : public PlatformCentral, public std::enable_shared_from_this<SimulatedCentral> {
public:
    SimulatedCentral(std::shared_ptr<SimulatedRadio> radio, std::weak_ptr<PlatformCentralDelegate> delegate,
                     std::shared_ptr<DispatchQueue> callbackQueue);

    ManagerState state() const override { return radio_->state(); }
    void scanForPeripherals(const std::optional<std::vector<BleUUID>>& serviceUUIDs, const ScanOptions& options) override;
    void stopScan() override;
    void connectPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral) override;
    void cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>& peripheral) override;
    std::vector<std::shared_ptr<PlatformPeripheral>> retrievePeripheralsWithIdentifiers(const std::vector<std::string>& identifiers) override;
    std::vector<std::shared_ptr<PlatformPeripheral>> retrieveConnectedPeripheralsWithServices(const std::vector<BleUUID>& serviceUUIDs) override;

    // ---- Used by the stack ----
    const std::shared_ptr<SimulatedRadio>& radio() const { return radio_; }
    const std::shared_ptr<DispatchQueue>& callbackQueue() const { return callbackQueue_; }
    std::shared_ptr<PlatformCentralDelegate> delegate() const { return delegate_.lock(); }
    /// The one platform object for a device, made on first use. Thread-safe.
    std::shared_ptr<SimulatedPeripheral> peripheralFor(const std::shared_ptr<VirtualPeripheral>& device);
    /// The platform object for a device if one was made, else null. Thread-safe.
    std::shared_ptr<SimulatedPeripheral> existingPeripheral(const VirtualPeripheral* device) const;
    /// Main queue: posts the state callback; leaving powered-on stops the scan and ends connections.
    void radioStateChanged(ManagerState state);
    /// Main queue: a device's advertising changed; a scan hears it now if it should.
    void advertisingChanged(const std::shared_ptr<VirtualPeripheral>& device);
    /// Posts centralManagerDidUpdateState.
    void postStateUpdate();
    bool isScanning() const { return scanning_; }

private:
    std::shared_ptr<SimulatedPeripheral> own(const std::shared_ptr<PlatformPeripheral>& peripheral) const;
    void startScan(std::optional<std::vector<BleUUID>> filter, ScanOptions options);
    void endScan();
    void advertise(const std::shared_ptr<VirtualPeripheral>& device, uint64_t scanId);
    bool matchesFilter(const VirtualPeripheral& device) const;

    const std::shared_ptr<SimulatedRadio> radio_;
    const std::weak_ptr<PlatformCentralDelegate> delegate_;
    const std::shared_ptr<DispatchQueue> callbackQueue_;

    mutable std::mutex mutex_;  // guards peripherals_, ordered_
    std::map<const VirtualPeripheral*, std::shared_ptr<SimulatedPeripheral>> peripherals_;
    std::vector<std::shared_ptr<SimulatedPeripheral>> ordered_;  // in the order first seen

    // Scan state, main queue only.
    bool scanning_ = false;
    uint64_t scanId_ = 0;
    std::optional<std::vector<BleUUID>> filter_;
    ScanOptions options_;
    std::set<const VirtualPeripheral*> heard_;
    std::map<const VirtualPeripheral*, DelayedCall> adTimers_;
};

}  // namespace vexa
