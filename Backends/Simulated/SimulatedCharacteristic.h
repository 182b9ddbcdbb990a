#pragma once
// Platform side of a characteristic of a simulated peripheral, as a central sees it.
#include <atomic>
#include <memory>
#include <mutex>

#include "Backends/Simulated/VirtualCharacteristic.h"
#include "Platform/BlePlatform.h"

namespace vexa {

class SimulatedService;

class SimulatedCharacteristic final : public PlatformCharacteristic {
public:
    SimulatedCharacteristic(std::weak_ptr<SimulatedService> service, std::shared_ptr<VirtualCharacteristic> device)
        : service_(std::move(service)), device_(std::move(device)) {}

    BleUUID uuid() const override { return device_->uuid(); }
    uint32_t properties() const override { return device_->properties(); }
    std::shared_ptr<PlatformService> service() const override;
    Bytes value() const override;
    void copyValue(Bytes& into) const override;
    bool isNotifying() const override { return notifying_.load(); }

    // ---- Used by the stack ----
    const std::shared_ptr<VirtualCharacteristic>& device() const { return device_; }
    std::shared_ptr<SimulatedService> owner() const { return service_.lock(); }
    /// Makes `value` the current value and returns the one it replaces.
    Bytes publishValue(Bytes value);
    void setNotifying(bool on) { notifying_.store(on); }

private:
    std::weak_ptr<SimulatedService> service_;
    std::shared_ptr<VirtualCharacteristic> device_;
    mutable std::mutex mutex_;
    Bytes value_;
    std::atomic<bool> notifying_{false};
};

}  // namespace vexa
