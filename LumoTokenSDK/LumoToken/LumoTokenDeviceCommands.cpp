// Clock, identity, battery, versions, power and APDU commands.
#include <cmath>
#include <cstdio>

#include "LumoTokenSDK/LumoToken/LumoReplyHandling.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "Platform/HostDevice.h"

namespace vexa {
namespace {

// Whole seconds since the epoch in the token's 32-bit clock field (wrapping as the field does;
// 0 before the epoch).
uint32_t clockSeconds(double unixTime) {
    if (!(unixTime > 0) || std::isinf(unixTime)) return 0;  // also NaN
    return static_cast<uint32_t>(std::fmod(std::trunc(unixTime), 4294967296.0));
}

// The serial number's ASCII text; a byte outside ASCII becomes U+FFFD.
std::string asciiText(ByteView bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (uint8_t b : bytes) {
        if (b < 0x80) {
            text.push_back(static_cast<char>(b));
        } else {
            text += "\xEF\xBF\xBD";
        }
    }
    return text;
}

std::string twoHexDigits(uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%.2x", value);
    return text;
}

LumoReplyHandler version(const LumoToken::VersionCallback& result) {
    if (!result) return ignoredReply();
    return firstByteReply([result](const Error& e) { result(std::nullopt, e); },
                     [result](uint8_t v) { result(twoHexDigits(v), std::nullopt); });
}

}  // namespace

void LumoToken::synDateTime(ErrorCallback result) {
    const uint32_t seconds = clockSeconds(currentUnixTime());
    const Bytes payload{static_cast<uint8_t>(seconds >> 24), static_cast<uint8_t>(seconds >> 16), static_cast<uint8_t>(seconds >> 8),
                        static_cast<uint8_t>(seconds)};
    sendPackageWithResult(kCmdSynDateTime, payload, statusOnlyReply(result));
}

void LumoToken::sendAPDU(const Bytes& apdu, DataCallback result) { sendPackageWithResult(kCmdSendAPDU, apdu, restAsData(result)); }

void LumoToken::getSerial(SerialCallback result) {
    LumoReplyHandler handler = ignoredReply();
    if (result) {
        handler = standardReply([result](const Error& e) { result(std::string(), e); },
                                [result](ByteView rest) { result(asciiText(rest), std::nullopt); });
    }
    sendPackageWithResult(kCmdGetSerial, {}, std::move(handler));
}

void LumoToken::getBatteryLevel(ByteValueCallback result) {
    LumoReplyHandler handler = ignoredReply();
    if (result) handler = firstByteReply([result](const Error& e) { result(0, e); }, [result](uint8_t level) { result(level, std::nullopt); });
    sendPackageWithResult(kCmdGetBatteryLevel, {}, std::move(handler));
}

void LumoToken::getFirmwareVersion(VersionCallback result) { sendPackageWithResult(kCmdGetFirmwareVersion, {}, version(result)); }

void LumoToken::getHardwareVersion(VersionCallback result) { sendPackageWithResult(kCmdGetHardwareVersion, {}, version(result)); }

void LumoToken::powerOff(ErrorCallback result) { sendPackageWithResult(kCmdPowerOff, {}, statusOnlyReply(result)); }

void LumoToken::powerSecureElementOn(DataCallback result) {
    sendPackageWithResult(kCmdPowerSecureElementOn, {}, restAsData(result));
}

void LumoToken::powerSecureElementOff(ErrorCallback result) {
    sendPackageWithResult(kCmdPowerSecureElementOff, {}, statusOnlyReply(result));
}

void LumoToken::setCommunicationProtocol(uint8_t protocol, ErrorCallback result) {
    // Four bytes on the wire: the protocol number, then three zero bytes.
    sendPackageWithResult(kCmdSetCommunicationProtocol, Bytes{protocol, 0, 0, 0}, statusOnlyReply(result));
}

}  // namespace vexa
