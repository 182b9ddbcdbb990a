#include "Backends/Simulated/VirtualCharacteristic.h"

namespace vexa {

std::shared_ptr<VirtualCharacteristic> VirtualCharacteristic::create(BleUUID uuid, uint32_t properties) {
    return std::make_shared<VirtualCharacteristic>(std::move(uuid), properties);
}

OptError VirtualCharacteristic::deliverWrite(const Bytes& value, WriteType type) {
    if (onWrite_) return onWrite_(value, type);
    value_ = value;  // a plain attribute keeps what was written
    return std::nullopt;
}

std::variant<Bytes, Error> VirtualCharacteristic::deliverRead() {
    if (onRead_) return onRead_();
    return value_;
}

OptError VirtualCharacteristic::deliverSubscribe(bool enabled) {
    if (onSubscribe_) {
        if (OptError refused = onSubscribe_(enabled)) return refused;
    }
    subscribed_ = enabled;
    return std::nullopt;
}

}  // namespace vexa
