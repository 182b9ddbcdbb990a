#include "LumoTokenSDK/LumoBluetooth/LumoService.h"

#include <algorithm>

#include "LumoTokenSDK/LumoBluetooth/UUIDString.h"

namespace vexa {

LumoService::LumoService(std::shared_ptr<PlatformService> service) : cbService_(std::move(service)) {}

std::string LumoService::UUIDString() const { return representativeString(cbService_->uuid()); }

void LumoService::discoverCharacteristicsWithCompletion(LumoCharacteristicsCallback completion) {
    discoverCharacteristicsWithUUIDs(std::nullopt, std::move(completion));
}

void LumoService::discoverCharacteristicsWithUUIDs(const std::optional<std::vector<BleUUID>>& uuids,
                                                   LumoCharacteristicsCallback completion) {
    discoverCharBlock_ = std::move(completion);
    discoveringCharacteristics_ = true;
    if (auto peripheral = cbService_->peripheral()) peripheral->discoverCharacteristics(uuids, cbService_);
}

std::shared_ptr<LumoCharacteristic> LumoService::wrapperByCharacteristic(
    const std::shared_ptr<PlatformCharacteristic>& characteristic) const {
    if (!characteristics_ || !characteristic) return nullptr;
    for (const auto& wrapper : *characteristics_)
        if (wrapper->cbCharacteristic() == characteristic) return wrapper;
    return nullptr;
}

void LumoService::updateCharacteristicWrappers() {
    LumoCharacteristicList list;
    for (auto& characteristic : cbService_->characteristics())
        list.push_back(std::make_shared<LumoCharacteristic>(std::move(characteristic)));
    setCharacteristics(std::move(list));
}

void LumoService::setCharacteristics(std::optional<LumoCharacteristicList> list) {
    if (characteristics_) {
        for (const auto& old : *characteristics_)
            if (!list || std::find(list->begin(), list->end(), old) == list->end()) old->retire();
    }
    characteristics_ = std::move(list);
}

void LumoService::retireCharacteristics() {
    if (!characteristics_) return;
    for (const auto& wrapper : *characteristics_) wrapper->retire();
}

void LumoService::handleDiscoveredCharacteristics(const std::vector<std::shared_ptr<PlatformCharacteristic>>&,
                                                  const OptError& error) {
    discoveringCharacteristics_ = false;
    updateCharacteristicWrappers();
    // Take the completion out before calling it, so a discovery it starts keeps its own completion.
    auto completion = std::move(discoverCharBlock_);
    discoverCharBlock_ = nullptr;
    if (completion) completion(characteristics_, error);
}

}  // namespace vexa
