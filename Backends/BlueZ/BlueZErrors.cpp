#include "Backends/BlueZ/BlueZErrors.h"

#include <cerrno>
#include <map>
#include <sdbus-c++/Error.h>

namespace vexa {

int64_t codeForDBusError(const std::string& name) {
    static const std::map<std::string, int64_t> codes = {
        {"org.bluez.Error.InvalidArguments", EINVAL},
        {"org.bluez.Error.InProgress", EINPROGRESS},
        {"org.bluez.Error.AlreadyExists", EEXIST},
        {"org.bluez.Error.NotSupported", ENOTSUP},
        {"org.bluez.Error.NotConnected", ENOTCONN},
        {"org.bluez.Error.AlreadyConnected", EISCONN},
        {"org.bluez.Error.NotAvailable", EAGAIN},
        {"org.bluez.Error.DoesNotExist", ENOENT},
        {"org.bluez.Error.NotAuthorized", EACCES},
        {"org.bluez.Error.NotPermitted", EPERM},
        {"org.bluez.Error.NoSuchAdapter", ENODEV},
        {"org.bluez.Error.AgentNotAvailable", ESRCH},
        {"org.bluez.Error.NotReady", ENETDOWN},
        {"org.bluez.Error.Failed", EIO},
        {"org.freedesktop.DBus.Error.NoReply", ETIMEDOUT},
        {"org.freedesktop.DBus.Error.Timeout", ETIMEDOUT},
        {"org.freedesktop.DBus.Error.TimedOut", ETIMEDOUT},
        {"org.freedesktop.DBus.Error.ServiceUnknown", EHOSTDOWN},
        {"org.freedesktop.DBus.Error.NameHasNoOwner", EHOSTDOWN},
        {"org.freedesktop.DBus.Error.UnknownObject", ENOENT},
        {"org.freedesktop.DBus.Error.UnknownMethod", ENOENT},
        {"org.freedesktop.DBus.Error.UnknownInterface", ENOENT},
        {"org.freedesktop.DBus.Error.UnknownProperty", ENOENT},
        {"org.freedesktop.DBus.Error.Disconnected", ECONNRESET},
        {"org.freedesktop.DBus.Error.AccessDenied", EACCES},
        {"org.freedesktop.DBus.Error.InvalidArgs", EINVAL},
    };
    const auto it = codes.find(name);
    return it == codes.end() ? EIO : it->second;
}

Error errorFromDBus(const std::string& name, const std::string& message) {
    return Error{name, codeForDBusError(name), message};
}

Error errorFromDBus(const sdbus::Error& error) { return errorFromDBus(error.getName(), error.getMessage()); }

Error linkLostError() { return Error{kBlueZErrorDomain, ECONNRESET, "The connection to the device was lost."}; }

Error notConnectedError() { return Error{kBlueZErrorDomain, ENOTCONN, "The device is not connected."}; }

Error deviceGoneError() { return Error{kBlueZErrorDomain, ENODEV, "The device is not known to the Bluetooth adapter."}; }

Error attributeGoneError() { return Error{kBlueZErrorDomain, ENOENT, "The service or characteristic is not available."}; }

Error serviceGoneError() { return Error{kBlueZErrorDomain, EHOSTDOWN, "The Bluetooth service is not running."}; }

Error rssiUnknownError() { return Error{kBlueZErrorDomain, ENODATA, "No signal strength is known for the device."}; }

Error disconnectInProgressError() { return Error{kBlueZErrorDomain, EALREADY, "A disconnection of the device is in progress."}; }

Error resolveTimeoutError() { return Error{kBlueZErrorDomain, ETIMEDOUT, "The device did not finish service discovery in time."}; }

Error noPeripheralRoleError() {
    return Error{kBlueZErrorDomain, ENOTSUP, "The Bluetooth adapter cannot act as a peripheral (BlueZ offers no LE advertising on it)."};
}

Error advertisementReleasedError() {
    return Error{kBlueZErrorDomain, ECANCELED, "BlueZ withdrew the advertisement (was the adapter switched off?)."};
}

}  // namespace vexa
