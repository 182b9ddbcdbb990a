#include "VexaTokenKit/VexaTokenError.h"

namespace vexa {

std::string_view vexaTokenErrorMessage(int64_t code) {
    switch (code) {
    case kVexaTokenErrorUnknownBluetooth:
        return "An unknown Bluetooth error has occured";
    case kVexaTokenErrorInvalidResponseMessage:
        return "Invalid response message.";
    case kVexaTokenErrorInvalidTokenResponse:
        return "Invalid token response.";
    case kVexaTokenErrorConnectionState:
        return "Unable to get connection state.";
    case kVexaTokenErrorSecureElementConnection:
        return "Connection to secure element could not be established.";
    case kVexaTokenErrorDataNotAvailable:
        return "Data not available.";
    case kVexaTokenErrorCommandNotSupported:
        return "Command is not supported.";
    case kVexaTokenErrorATR:
        return "Unable to get ATR.";
    case kVexaTokenErrorSerial:
        return "Unable to get serial number.";
    case kVexaTokenErrorBatteryLevel:
        return "Unable to get battery level.";
    case kVexaTokenErrorFirmwareVersion:
        return "Unable to get firmware version.";
    case kVexaTokenErrorHardwareVersion:
        return "Unable to get hardware version.";
    case kVexaTokenErrorPowerOffSecureElement:
        return "Unable to power off secure element.";
    case kVexaTokenErrorProtocolNotSupported:
        return "Communication protocol is not supported.";
    case kVexaTokenErrorSetProtocol:
        return "Unable to set communication protocol.";
    case kVexaTokenErrorInvalidAPDU:
        return "Invalid APDU.";
    default:
        return {};
    }
}

Error vexaTokenError(VexaTokenErrorCode code) { return Error{kVexaTokenErrorDomain, code, std::string(vexaTokenErrorMessage(code))}; }

Error decodeError(const Error& error, int64_t defaultCode, std::string_view defaultStr) {
    switch (error.code) {
    case 1:  // connection lost
    case 3:  // service or characteristics missing
        return vexaTokenError(kVexaTokenErrorConnectionState);
    case 2:  // a reply that could not be joined or parsed
        return vexaTokenError(kVexaTokenErrorUnknownBluetooth);
    case 0xFF01:
        return vexaTokenError(kVexaTokenErrorCommandNotSupported);
    case 0xFF02:
        return vexaTokenError(kVexaTokenErrorDataNotAvailable);
    case 0xFF03:
        return vexaTokenError(kVexaTokenErrorSecureElementConnection);
    case 0xFF04:
        return vexaTokenError(kVexaTokenErrorProtocolNotSupported);
    case 0xFF05:
        return vexaTokenError(kVexaTokenErrorBatteryLevel);
    case 0xFF07:
        return vexaTokenError(kVexaTokenErrorSerial);
    case 0xFF08:
        return vexaTokenError(kVexaTokenErrorInvalidAPDU);
    case 0xFF09:
        return vexaTokenError(kVexaTokenErrorInvalidResponseMessage);
    default:
        return Error{kVexaTokenErrorDomain, defaultCode, std::string(defaultStr)};
    }
}

}  // namespace vexa
