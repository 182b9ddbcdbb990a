#include "LumoTokenSDK/LumoBluetooth/LumoCharacteristic.h"

#include "LumoTokenSDK/LumoBluetooth/UUIDString.h"

namespace vexa {

LumoCharacteristic::LumoCharacteristic(std::shared_ptr<PlatformCharacteristic> characteristic)
    : cbCharacteristic_(std::move(characteristic)) {}

std::string LumoCharacteristic::UUIDString() const { return representativeString(cbCharacteristic_->uuid()); }

std::shared_ptr<PlatformPeripheral> LumoCharacteristic::platformPeripheral() const {
    auto service = cbCharacteristic_->service();
    return service ? service->peripheral() : nullptr;
}

int64_t LumoCharacteristic::payload() const {
    auto peripheral = platformPeripheral();
    return peripheral ? static_cast<int64_t>(peripheral->maximumWriteValueLength(WriteType::WithoutResponse)) : 0;
}

void LumoCharacteristic::setNotifyValue(bool enabled, LumoErrorCallback completion, LumoDataCallback onUpdate) {
    // A request without completion still takes its slot, so later answers pair with later requests.
    if (!completion) completion = [](const OptError&) {};
    setUpdateCallback(std::move(onUpdate));
    auto peripheral = platformPeripheral();
    if (!peripheral) return;  // nobody could answer: keep the queue in step with the platform
    push(std::move(completion), notifyOperationStack_);
    peripheral->setNotifyValue(enabled, cbCharacteristic_);
}

void LumoCharacteristic::setUpdateCallback(LumoDataCallback callback) {
    if (updateDepth_ > 0) {
        pendingUpdate_ = std::move(callback);  // the running callback stays alive until it returns
    } else {
        updateCallback_ = std::move(callback);
    }
}

void LumoCharacteristic::setNotifyValue(bool enabled, LumoErrorCallback completion) {
    setNotifyValue(enabled, std::move(completion), LumoDataCallback());
}

void LumoCharacteristic::writeValue(const Bytes& data, LumoErrorCallback completion) {
    auto peripheral = platformPeripheral();
    if (!peripheral) return;
    if (completion) {
        push(std::move(completion), writeOperationStack_);
        peripheral->writeValue(data, cbCharacteristic_, WriteType::WithResponse);
    } else {
        peripheral->writeValue(data, cbCharacteristic_, WriteType::WithoutResponse);
    }
}

void LumoCharacteristic::writeByte(int8_t value, LumoErrorCallback completion) {
    writeValue(Bytes{static_cast<uint8_t>(value)}, std::move(completion));
}

void LumoCharacteristic::readValueWithBlock(LumoDataCallback block) {
    if (!block) return;
    auto peripheral = platformPeripheral();
    if (!peripheral) return;
    push(std::move(block), readOperationStack_);
    peripheral->readValue(cbCharacteristic_);
}

void LumoCharacteristic::handleSetNotifiedWithError(const OptError& error) {
    if (auto completion = popFromArray(notifyOperationStack_)) {
        if (*completion) (*completion)(error);
    }
}

void LumoCharacteristic::handleReadValue(const std::optional<Bytes>& value, const OptError& error) {
    if (updateCallback_) {
        ++updateDepth_;
        updateCallback_(value, error);
        if (--updateDepth_ == 0 && pendingUpdate_) {
            updateCallback_ = std::move(*pendingUpdate_);
            pendingUpdate_.reset();
        }
    }
    if (auto read = popFromArray(readOperationStack_)) {
        if (*read) (*read)(value, error);
    }
}

void LumoCharacteristic::handleWrittenValueWithError(const OptError& error) {
    if (auto completion = popFromArray(writeOperationStack_)) {
        if (*completion) (*completion)(error);
    }
}

}  // namespace vexa
