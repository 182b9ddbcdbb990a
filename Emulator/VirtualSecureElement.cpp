#include "Emulator/VirtualSecureElement.h"

namespace vexa {

VirtualSecureElement::VirtualSecureElement(Bytes atr, std::vector<Bytes> knownAids)
    : atr_(std::move(atr)), default_(std::move(knownAids)) {}

const Bytes& VirtualSecureElement::powerOn() {
    poweredOn_ = true;
    default_.reset();
    return atr_;
}

void VirtualSecureElement::powerOff() {
    poweredOn_ = false;
    default_.reset();
}

bool VirtualSecureElement::setProtocol(uint8_t protocol) {
    if (protocol != kProtocolT0 && protocol != kProtocolT1) return false;
    protocol_ = protocol;
    return true;
}

Bytes VirtualSecureElement::transmit(ByteView apdu) {
    if (responder_) return responder_(apdu);
    return default_.respond(apdu);
}

}  // namespace vexa
