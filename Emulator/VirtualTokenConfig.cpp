#include "Emulator/VirtualTokenConfig.h"

#include "Platform/Utf16.h"
#include "VexaTokenKit/HexString.h"
#include "VexaTokenKit/VexaCrypto.h"

namespace vexa {

Bytes VirtualTokenConfig::defaultAtr() {
    Bytes atr{0x3B, 0x8A, 0x80, 0x01};
    for (char c : std::string_view("VexaToken1")) atr.push_back(static_cast<uint8_t>(c));
    uint8_t tck = 0;
    for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
    return atr;
}

std::vector<Bytes> VirtualTokenConfig::defaultAids() {
    return {
        Bytes{0xA0, 0x00, 0x00, 0x03, 0x08, 0x00, 0x00, 0x10, 0x00},  // PIV
        Bytes{0xD2, 0x76, 0x00, 0x01, 0x24, 0x01},                    // OpenPGP
    };
}

std::string keyFromPassword(std::string_view password, std::string_view tokenName) {
    if (utf16Length(password) >= 32) return std::string(password);
    const Bytes derived = PBKDF2DerivationWithHMac(bytesOf(password), tokenName, 1024, 16);
    std::string hex = toHexString(derived);
    std::erase(hex, ' ');
    return hex;
}

}  // namespace vexa
