#include "Backends/BlueZ/BlueZService.h"

#include "Backends/BlueZ/BlueZPeripheral.h"

namespace vexa {

BlueZService::BlueZService(std::string path, BleUUID uuid, bool primary, std::weak_ptr<BlueZPeripheral> peripheral)
    : path_(std::move(path)), uuid_(std::move(uuid)), primary_(primary), peripheral_(std::move(peripheral)) {}

std::shared_ptr<PlatformPeripheral> BlueZService::peripheral() const { return peripheral_.lock(); }

std::vector<std::shared_ptr<PlatformCharacteristic>> BlueZService::characteristics() const {
    std::lock_guard lock(mutex_);
    return characteristics_;
}

void BlueZService::setCharacteristics(std::vector<std::shared_ptr<PlatformCharacteristic>> characteristics) {
    std::lock_guard lock(mutex_);
    characteristics_ = std::move(characteristics);
}

}  // namespace vexa
