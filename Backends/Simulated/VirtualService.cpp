#include "Backends/Simulated/VirtualService.h"

namespace vexa {

std::shared_ptr<VirtualService> VirtualService::create(BleUUID uuid, std::vector<std::shared_ptr<VirtualCharacteristic>> characteristics,
                                                       bool primary) {
    return std::make_shared<VirtualService>(std::move(uuid), std::move(characteristics), primary);
}

void VirtualService::addCharacteristic(std::shared_ptr<VirtualCharacteristic> characteristic) {
    if (characteristic) characteristics_.push_back(std::move(characteristic));
}

std::shared_ptr<VirtualCharacteristic> VirtualService::characteristic(const BleUUID& uuid) const {
    for (const auto& c : characteristics_)
        if (c->uuid() == uuid) return c;
    return nullptr;
}

}  // namespace vexa
