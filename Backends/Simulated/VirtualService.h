#pragma once
// One service of a virtual peripheral's GATT table.
#include <memory>
#include <vector>

#include "Backends/Simulated/VirtualCharacteristic.h"
#include "Platform/BlePlatform.h"

namespace vexa {

/// A service and its characteristics, in discovery order. Build it before a central connects.
class VirtualService {
public:
    static std::shared_ptr<VirtualService> create(BleUUID uuid,
                                                  std::vector<std::shared_ptr<VirtualCharacteristic>> characteristics = {},
                                                  bool primary = true);
    VirtualService(BleUUID uuid, std::vector<std::shared_ptr<VirtualCharacteristic>> characteristics, bool primary)
        : uuid_(std::move(uuid)), characteristics_(std::move(characteristics)), primary_(primary) {}

    const BleUUID& uuid() const { return uuid_; }
    bool isPrimary() const { return primary_; }
    const std::vector<std::shared_ptr<VirtualCharacteristic>>& characteristics() const { return characteristics_; }
    void addCharacteristic(std::shared_ptr<VirtualCharacteristic> characteristic);
    /// The first characteristic with that UUID, or null.
    std::shared_ptr<VirtualCharacteristic> characteristic(const BleUUID& uuid) const;

private:
    BleUUID uuid_;
    std::vector<std::shared_ptr<VirtualCharacteristic>> characteristics_;
    bool primary_;
};

}  // namespace vexa
