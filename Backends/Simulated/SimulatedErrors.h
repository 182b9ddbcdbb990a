#pragma once
// Errors the simulated Bluetooth LE stack reports by itself.
#include <cstdint>

#include "Platform/Error.h"

namespace vexa {

/// Link-level failures (connection, link loss, bad requests).
inline constexpr const char* kSimulatedBleErrorDomain = "org.vexatokenkit.SimulatedBle";
/// Attribute-protocol refusals of a characteristic request.
inline constexpr const char* kSimulatedAttErrorDomain = "org.vexatokenkit.SimulatedAtt";

enum class SimulatedBleError : int64_t {
    NotConnected = 1,            // a request on a peripheral that is not connected
    ConnectionFailed = 2,        // the device is busy with another central
    ConnectionTimeout = 3,       // the device went out of range while connected
    PeripheralDisconnected = 4,  // the device dropped the link (default of a device-side disconnect)
    PoweredOff = 5,              // Bluetooth left the powered-on state
    InvalidParameters = 6,       // the request names an object of another peripheral or central
    RequestAborted = 7,          // the link ended before the request was answered
};

enum class SimulatedAttError : int64_t {
    ReadNotPermitted = 2,
    WriteNotPermitted = 3,
    RequestNotSupported = 6,
    InvalidAttributeValueLength = 13,
};

/// The error value of `code`, with its fixed message.
Error simulatedError(SimulatedBleError code);
Error simulatedError(SimulatedAttError code);

}  // namespace vexa
