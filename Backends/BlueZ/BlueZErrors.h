#pragma once
// Error values of the BlueZ backend.
//
// A D-Bus error becomes Error{domain = the D-Bus error name, code, message = the D-Bus message}.
// The code is an errno value chosen by the error name (Linux numbering), stable across releases:
//   org.bluez.Error.*: InvalidArguments EINVAL, InProgress EINPROGRESS, AlreadyExists EEXIST,
//     NotSupported ENOTSUP, NotConnected ENOTCONN, AlreadyConnected EISCONN, NotAvailable EAGAIN,
//     DoesNotExist ENOENT, NotAuthorized EACCES, NotPermitted EPERM, NoSuchAdapter ENODEV,
//     AgentNotAvailable ESRCH, NotReady ENETDOWN, Failed EIO
//   org.freedesktop.DBus.Error.*: NoReply/Timeout/TimedOut ETIMEDOUT, ServiceUnknown/NameHasNoOwner
//     EHOSTDOWN, UnknownObject/UnknownMethod/UnknownInterface/UnknownProperty ENOENT,
//     Disconnected ECONNRESET, AccessDenied EACCES, InvalidArgs EINVAL
//   any other name: EIO.
// Errors the backend makes itself use the domain kBlueZErrorDomain with the codes below.
#include <string>

#include "Platform/Error.h"

namespace sdbus {
class Error;
}

namespace vexa {

inline constexpr const char* kBlueZErrorDomain = "org.vexatokenkit.BlueZ";

/// The errno-like code of a D-Bus error name (see above).
int64_t codeForDBusError(const std::string& name);
Error errorFromDBus(const std::string& name, const std::string& message);
Error errorFromDBus(const sdbus::Error& error);

/// The link went down without being asked to (ECONNRESET).
Error linkLostError();
/// The request needs a connected device (ENOTCONN).
Error notConnectedError();
/// The device is not (or no longer) known to the adapter (ENODEV).
Error deviceGoneError();
/// The GATT object of the request is not (or no longer) there, or is not one of this backend's (ENOENT).
Error attributeGoneError();
/// bluetoothd is not on the bus (EHOSTDOWN).
Error serviceGoneError();
/// No advertised signal strength is known for the device (ENODATA).
Error rssiUnknownError();
/// A disconnection of the device is still in progress (EALREADY).
Error disconnectInProgressError();
/// The device did not finish resolving its services in time (ETIMEDOUT).
Error resolveTimeoutError();
/// The adapter offers no peripheral role: no GATT server or LE advertising manager (ENOTSUP).
Error noPeripheralRoleError();
/// BlueZ withdrew an advertisement on its own, e.g. when the adapter was switched off (ECANCELED).
Error advertisementReleasedError();

}  // namespace vexa
