#pragma once
// Platform side of a service of a simulated peripheral, as a central sees it.
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Backends/Simulated/SimulatedCharacteristic.h"
#include "Backends/Simulated/VirtualService.h"
#include "Platform/BlePlatform.h"

namespace vexa {

class SimulatedPeripheral;

class SimulatedService final : public PlatformService, public std::enable_shared_from_this<SimulatedService> {
public:
    SimulatedService(std::weak_ptr<SimulatedPeripheral> peripheral, std::shared_ptr<VirtualService> device)
        : peripheral_(std::move(peripheral)), device_(std::move(device)) {}

    BleUUID uuid() const override { return device_->uuid(); }
    bool isPrimary() const override { return device_->isPrimary(); }
    std::shared_ptr<PlatformPeripheral> peripheral() const override;
    std::vector<std::shared_ptr<PlatformCharacteristic>> characteristics() const override;

    // ---- Used by the stack (main queue unless noted) ----
    const std::shared_ptr<VirtualService>& device() const { return device_; }
    std::shared_ptr<SimulatedPeripheral> owner() const { return peripheral_.lock(); }
    /// The one platform object for a device characteristic of this service, made on first use.
    std::shared_ptr<SimulatedCharacteristic> objectFor(const std::shared_ptr<VirtualCharacteristic>& characteristic);
    /// Every platform characteristic made so far.
    std::vector<std::shared_ptr<SimulatedCharacteristic>> allObjects() const;
    /// Replaces the discovered list (thread-safe).
    void publishCharacteristics(std::vector<std::shared_ptr<PlatformCharacteristic>> list);

private:
    std::weak_ptr<SimulatedPeripheral> peripheral_;
    std::shared_ptr<VirtualService> device_;
    std::map<const VirtualCharacteristic*, std::shared_ptr<SimulatedCharacteristic>> objects_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<PlatformCharacteristic>> discovered_;
};

}  // namespace vexa
