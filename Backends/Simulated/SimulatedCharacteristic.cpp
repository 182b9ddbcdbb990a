#include "Backends/Simulated/SimulatedCharacteristic.h"

#include "Backends/Simulated/SimulatedService.h"

namespace vexa {

std::shared_ptr<PlatformService> SimulatedCharacteristic::service() const { return service_.lock(); }

Bytes SimulatedCharacteristic::value() const {
    std::lock_guard lock(mutex_);
    return value_;
}

void SimulatedCharacteristic::copyValue(Bytes& into) const {
    std::lock_guard lock(mutex_);
    into.assign(value_.begin(), value_.end());
}

Bytes SimulatedCharacteristic::publishValue(Bytes value) {
    std::lock_guard lock(mutex_);
    value_.swap(value);
    return value;
}

}  // namespace vexa
