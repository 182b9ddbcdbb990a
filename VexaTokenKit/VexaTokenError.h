#pragma once
// Errors reported to the application by the information, power and APDU operations of a token:
// the "VexaTokenError" domain, its codes and messages, and the mapping from the session's errors.
#include <cstdint>
#include <string>
#include <string_view>

#include "Platform/Error.h"

namespace vexa {

inline constexpr char kVexaTokenErrorDomain[] = "VexaTokenError";

enum VexaTokenErrorCode : int64_t {
    kVexaTokenErrorUnknownBluetooth = -2003,        // "An unknown Bluetooth error has occured"
    kVexaTokenErrorInvalidResponseMessage = -2004,  // "Invalid response message."
    kVexaTokenErrorInvalidTokenResponse = -2005,    // "Invalid token response."
    kVexaTokenErrorConnectionState = -2006,         // "Unable to get connection state."
    kVexaTokenErrorSecureElementConnection = -2007, // "Connection to secure element could not be established."
    kVexaTokenErrorDataNotAvailable = -2013,        // "Data not available."
    kVexaTokenErrorCommandNotSupported = -2014,     // "Command is not supported."
    kVexaTokenErrorATR = -2015,                     // "Unable to get ATR."
    kVexaTokenErrorSerial = -2016,                  // "Unable to get serial number."
    kVexaTokenErrorBatteryLevel = -2017,            // "Unable to get battery level."
    kVexaTokenErrorFirmwareVersion = -2018,         // "Unable to get firmware version."
    kVexaTokenErrorHardwareVersion = -2019,         // "Unable to get hardware version."
    kVexaTokenErrorPowerOffSecureElement = -2020,   // "Unable to power off secure element."
    kVexaTokenErrorProtocolNotSupported = -2021,    // "Communication protocol is not supported."
    kVexaTokenErrorSetProtocol = -2022,             // "Unable to set communication protocol."
    kVexaTokenErrorInvalidAPDU = -2023,             // "Invalid APDU."
};

/// The message of a code of the domain; empty for a code outside it.
std::string_view vexaTokenErrorMessage(int64_t code);

/// An error of the domain with its message.
Error vexaTokenError(VexaTokenErrorCode code);

/// Maps a session error by its code alone (domain and message are ignored) to a new error of the
/// domain: 1 and 3 -> -2006, 2 -> -2003, reply statuses 1-5 and 7-9 (0xFF01...) to their codes;
/// any other code gives (defaultCode, defaultStr).
Error decodeError(const Error& error, int64_t defaultCode, std::string_view defaultStr);

}  // namespace vexa
