#include "Backends/Simulated/SimulatedService.h"

#include "Backends/Simulated/SimulatedPeripheral.h"

namespace vexa {

std::shared_ptr<PlatformPeripheral> SimulatedService::peripheral() const { return peripheral_.lock(); }

std::vector<std::shared_ptr<PlatformCharacteristic>> SimulatedService::characteristics() const {
    std::lock_guard lock(mutex_);
    return discovered_;
}

std::shared_ptr<SimulatedCharacteristic> SimulatedService::objectFor(const std::shared_ptr<VirtualCharacteristic>& characteristic) {
    std::lock_guard lock(mutex_);
    auto& slot = objects_[characteristic.get()];
    if (!slot) slot = std::make_shared<SimulatedCharacteristic>(weak_from_this(), characteristic);
    return slot;
}

std::vector<std::shared_ptr<SimulatedCharacteristic>> SimulatedService::allObjects() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<SimulatedCharacteristic>> out;
    out.reserve(objects_.size());
    for (const auto& [key, object] : objects_) out.push_back(object);
    return out;
}

void SimulatedService::publishCharacteristics(std::vector<std::shared_ptr<PlatformCharacteristic>> list) {
    std::lock_guard lock(mutex_);
    discovered_ = std::move(list);
}

}  // namespace vexa
