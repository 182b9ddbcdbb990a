#pragma once
// The smart-card chip inside the virtual token: power, ATR, transport protocol and the card
// application that answers APDUs.
//
// Protocols (command 0x55): 0 = T=0, 1 = T=1 (the default); any other number is refused.
// The card application is a VirtualApduResponder unless the test or application installs its own
// function with setResponder(); an empty function restores the default one.
#include <cstdint>
#include <functional>

#include "Emulator/VirtualApduResponder.h"
#include "Platform/Bytes.h"

namespace vexa {

class VirtualSecureElement {
public:
    using Responder = std::function<Bytes(ByteView apdu)>;

    static constexpr uint8_t kProtocolT0 = 0;
    static constexpr uint8_t kProtocolT1 = 1;

    explicit VirtualSecureElement(Bytes atr, std::vector<Bytes> knownAids = {});

    /// Powers the chip on (a cold reset when it already was) and returns its ATR.
    const Bytes& powerOn();
    void powerOff();
    bool isPoweredOn() const { return poweredOn_; }

    /// Chooses the transport protocol; false for an unknown protocol number.
    bool setProtocol(uint8_t protocol);
    uint8_t protocol() const { return protocol_; }

    /// The response APDU from the installed responder. The caller checks power and length.
    Bytes transmit(ByteView apdu);

    void setResponder(Responder responder) { responder_ = std::move(responder); }
    void setAtr(Bytes atr) { atr_ = std::move(atr); }
    const Bytes& atr() const { return atr_; }
    /// The default card application (its AIDs and selection).
    VirtualApduResponder& defaultResponder() { return default_; }

private:
    Bytes atr_;
    bool poweredOn_ = false;
    uint8_t protocol_ = kProtocolT1;
    VirtualApduResponder default_;
    Responder responder_;
};

}  // namespace vexa
