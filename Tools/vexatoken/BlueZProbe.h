#pragma once
// A quick, bounded look at the bus for BlueZ: is the bus reachable, is org.bluez owned, may we
// talk to it, and does it have an adapter. Header-only so that the tool's core stays free of
// D-Bus; only programs built with the BlueZ backend include it.
#include <sdbus-c++/sdbus-c++.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

namespace vexa::tool {

struct BlueZProbe {
    enum Status { Ready, NoBus, NoService, NotPermitted, NoAdapter };
    Status status = NoBus;
    std::string detail;  // the D-Bus error text, when there was one
    bool peripheral = false;  // Ready, and the adapter can serve GATT and advertise (emulate)
};

/// False when `busAddress` (empty: the system bus) names a Unix socket that does not exist. Checked
/// first because sd-bus leaks its half-made connection when it fails to open one.
inline bool busSocketMayExist(const std::string& busAddress) {
    std::string address = busAddress;
    if (address.empty()) {
        const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        address = env && *env ? env : "unix:path=/run/dbus/system_bus_socket";
    }
    const std::string prefix = "unix:path=";
    if (address.compare(0, prefix.size(), prefix) != 0 || address.find(';') != std::string::npos) return true;
    std::string path = address.substr(prefix.size());
    path = path.substr(0, path.find(','));
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

/// Looks at the bus at `busAddress` (empty: the system bus) for `adapter` ("hci1" or its object
/// path; empty: any adapter). Each call waits at most `bound`.
inline BlueZProbe probeBlueZ(const std::string& busAddress, const std::string& adapter = {},
                             std::chrono::milliseconds bound = std::chrono::milliseconds(2000)) {
    using Objects = std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>>;
    BlueZProbe probe;
    std::unique_ptr<sdbus::IConnection> connection;
    if (!busSocketMayExist(busAddress)) {
        probe.detail = "no bus socket";
        return probe;  // NoBus
    }
    try {
        connection = busAddress.empty() ? sdbus::createSystemBusConnection() : sdbus::createSessionBusConnectionWithAddress(busAddress);
    } catch (const sdbus::Error& e) {
        probe.detail = e.getMessage();
        return probe;  // NoBus
    }
    try {
        auto daemon = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        bool owned = false;
        daemon->callMethod("NameHasOwner").onInterface("org.freedesktop.DBus").withTimeout(bound).withArguments(std::string("org.bluez")).storeResultsTo(owned);
        if (!owned) {
            probe.status = BlueZProbe::NoService;
            return probe;
        }
        auto root = sdbus::createProxy(*connection, "org.bluez", "/");
        Objects objects;
        root->callMethod("GetManagedObjects").onInterface("org.freedesktop.DBus.ObjectManager").withTimeout(bound).storeResultsTo(objects);
        probe.status = BlueZProbe::NoAdapter;
        for (const auto& [path, interfaces] : objects) {
            const std::string& p = path;
            const bool named = adapter.empty() || p == adapter || (p.size() > adapter.size() && p.compare(p.size() - adapter.size(), adapter.size(), adapter) == 0 &&
                                                                   p[p.size() - adapter.size() - 1] == '/');
            if (!named || !interfaces.count("org.bluez.Adapter1")) continue;
            probe.status = BlueZProbe::Ready;
            probe.peripheral = probe.peripheral || (interfaces.count("org.bluez.GattManager1") && interfaces.count("org.bluez.LEAdvertisingManager1"));
        }
    } catch (const sdbus::Error& e) {
        probe.detail = e.getMessage();
        probe.status = e.getName() == "org.freedesktop.DBus.Error.AccessDenied" ? BlueZProbe::NotPermitted : BlueZProbe::NoService;
    }
    return probe;
}

}  // namespace vexa::tool
