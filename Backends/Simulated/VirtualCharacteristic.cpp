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
    // Set first, so that the handler may notify at once; a link that ends inside the handler
    // resets it, and a refusal restores the previous state.
    const bool before = subscribed_;
    subscribed_ = enabled;
    if (!onSubscribe_) return std::nullopt;
    OptError refused = onSubscribe_(enabled);
    if (refused) subscribed_ = before;
    return refused;
}

}  // namespace vexa
