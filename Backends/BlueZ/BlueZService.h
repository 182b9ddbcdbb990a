#pragma once
// A GATT service of a BlueZ device (an org.bluez.GattService1 object).
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/BlePlatform.h"

namespace vexa {

class BlueZPeripheral;

class BlueZService final : public PlatformService {
public:
    BlueZService(std::string path, BleUUID uuid, bool primary, std::weak_ptr<BlueZPeripheral> peripheral);

    BleUUID uuid() const override { return uuid_; }
    bool isPrimary() const override { return primary_; }
    std::shared_ptr<PlatformPeripheral> peripheral() const override;
    std::vector<std::shared_ptr<PlatformCharacteristic>> characteristics() const override;

    const std::string& path() const { return path_; }
    /// Stores the result of a characteristic discovery (on the callback queue, just before its callback).
    void setCharacteristics(std::vector<std::shared_ptr<PlatformCharacteristic>> characteristics);

private:
    const std::string path_;
    const BleUUID uuid_;
    const bool primary_;
    const std::weak_ptr<BlueZPeripheral> peripheral_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<PlatformCharacteristic>> characteristics_;
};

}  // namespace vexa
