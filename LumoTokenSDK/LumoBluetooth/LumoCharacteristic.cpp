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

void LumoCharacteristic::writeValues(WriteBatch& batch, LumoErrorCallback completion) {
    auto peripheral = platformPeripheral();
    if (!peripheral || batch.empty()) return;
    if (!completion) completion = [](const OptError&) {};
    if (peripheral->writeValues(batch, cbCharacteristic_)) {
        push(std::move(completion), writeOperationStack_);
        return;
    }
    // One request per value; their answers make the one completion. The values are taken first:
    // a backend that answers inside the request lets the completion's effects reuse the batch.
    const WriteBatch values = std::move(batch);
    batch.clear();
    struct Pending {
        size_t left;
        LumoErrorCallback completion;
    };
    auto pending = std::make_shared<Pending>(Pending{values.count(), std::move(completion)});
    size_t offset = 0;
    for (const uint32_t size : values.sizes) {
        if (!pending->completion) break;  // an earlier value failed already: the rest is not written
        push<LumoErrorCallback>(
            [pending](const OptError& error) {
                if (!pending->completion) return;  // an earlier value failed
                if (!error && --pending->left > 0) return;
                auto done = std::move(pending->completion);
                pending->completion = nullptr;
                done(error);
            },
            writeOperationStack_);
        const auto begin = values.bytes.begin() + static_cast<std::ptrdiff_t>(offset);
        peripheral->writeValue(Bytes(begin, begin + static_cast<std::ptrdiff_t>(size)), cbCharacteristic_, WriteType::WithResponse);
        offset += size;
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
