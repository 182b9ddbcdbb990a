#pragma once
// Wraps one platform GATT service: runs characteristic discovery and owns the characteristic
// wrappers, rebuilt from scratch at every discovery. Used on the main queue only.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LumoTokenSDK/LumoBluetooth/LumoCallbacks.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCharacteristic.h"
#include "Platform/BlePlatform.h"

namespace vexa {

class LumoService {
public:
    explicit LumoService(std::shared_ptr<PlatformService> service);
    LumoService(const LumoService&) = delete;
    LumoService& operator=(const LumoService&) = delete;

    const std::shared_ptr<PlatformService>& cbService() const { return cbService_; }
    /// Absent until the first discovery answer has been handled; replaced as a whole by each one.
    const std::optional<LumoCharacteristicList>& characteristics() const { return characteristics_; }
    /// Replaces the wrappers; those not in `list` are retired.
    void setCharacteristics(std::optional<LumoCharacteristicList> list);
    /// Retires every wrapper, for a service that a discovery has replaced.
    void retireCharacteristics();
    /// True from a discovery request until its answer has been handled.
    bool isDiscoveringCharacteristics() const { return discoveringCharacteristics_; }
    /// Lower-case text form of the service's UUID.
    std::string UUIDString() const;

    /// discoverCharacteristicsWithUUIDs with no filter.
    void discoverCharacteristicsWithCompletion(LumoCharacteristicsCallback completion);
    /// Replaces the pending completion (the earlier one is never called), marks the discovery running
    /// and asks the platform (nothing = all characteristics). No connection check.
    void discoverCharacteristicsWithUUIDs(const std::optional<std::vector<BleUUID>>& uuids, LumoCharacteristicsCallback completion);

    /// The wrapper of that very platform characteristic (identity), or null.
    std::shared_ptr<LumoCharacteristic> wrapperByCharacteristic(const std::shared_ptr<PlatformCharacteristic>& characteristic) const;
    /// New wrappers for the platform service's current characteristics, in its order.
    void updateCharacteristicWrappers();
    /// The discovery answer: clears the flag, rebuilds the wrappers from the platform service's
    /// current list (also on error; `characteristics` is not consulted), then calls and clears the
    /// pending completion.
    void handleDiscoveredCharacteristics(const std::vector<std::shared_ptr<PlatformCharacteristic>>& characteristics,
                                         const OptError& error);

private:
    std::shared_ptr<PlatformService> cbService_;
    std::optional<LumoCharacteristicList> characteristics_;
    bool discoveringCharacteristics_ = false;
    LumoCharacteristicsCallback discoverCharBlock_;
};

}  // namespace vexa
