#include "Backends/Simulated/SimulatedErrors.h"

namespace vexa {

Error simulatedError(SimulatedBleError code) {
    const char* message = "Unknown error.";
    switch (code) {
        case SimulatedBleError::NotConnected: message = "The peripheral is not connected."; break;
        case SimulatedBleError::ConnectionFailed: message = "The connection could not be established."; break;
        case SimulatedBleError::ConnectionTimeout: message = "The connection timed out."; break;
        case SimulatedBleError::PeripheralDisconnected: message = "The peripheral ended the connection."; break;
        case SimulatedBleError::PoweredOff: message = "Bluetooth is not powered on."; break;
        case SimulatedBleError::InvalidParameters: message = "The request names an object of another peripheral."; break;
        case SimulatedBleError::RequestAborted: message = "The connection ended before the request was answered."; break;
    }
    return Error{kSimulatedBleErrorDomain, static_cast<int64_t>(code), message};
}

Error simulatedError(SimulatedAttError code) {
    const char* message = "Unknown attribute error.";
    switch (code) {
        case SimulatedAttError::ReadNotPermitted: message = "The characteristic cannot be read."; break;
        case SimulatedAttError::WriteNotPermitted: message = "The characteristic cannot be written this way."; break;
        case SimulatedAttError::RequestNotSupported: message = "The characteristic does not support this request."; break;
        case SimulatedAttError::InvalidAttributeValueLength: message = "The value is too long for the characteristic."; break;
    }
    return Error{kSimulatedAttErrorDomain, static_cast<int64_t>(code), message};
}

}  // namespace vexa
