#pragma once
// BlueZ's D-Bus names and the properties of its objects as typed records. Values of an unexpected
// D-Bus type are ignored, never thrown (a bad variant must not take the backend down).
#include <sdbus-c++/Types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Platform/BlePlatform.h"
#include "Platform/Bytes.h"

namespace vexa::bluez {

inline constexpr const char* kService = "org.bluez";
inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
inline constexpr const char* kDeviceInterface = "org.bluez.Device1";
inline constexpr const char* kGattServiceInterface = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristicInterface = "org.bluez.GattCharacteristic1";
inline constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
inline constexpr const char* kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* kGattManagerInterface = "org.bluez.GattManager1";
inline constexpr const char* kAdvertisingManagerInterface = "org.bluez.LEAdvertisingManager1";
inline constexpr const char* kAdvertisementInterface = "org.bluez.LEAdvertisement1";

/// Match rules for following org.bluez: its owner, its object tree and its property changes.
inline constexpr const char* kNameOwnerMatch =
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'";
inline constexpr const char* kObjectManagerMatch = "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',path='/'";
inline constexpr const char* kPropertiesMatch =
    "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',path_namespace='/org/bluez'";

using PropertyMap = std::map<std::string, sdbus::Variant>;
using InterfaceMap = std::map<std::string, PropertyMap>;
using ManagedObjects = std::map<sdbus::ObjectPath, InterfaceMap>;

/// The value of `v` if it holds a T, otherwise nothing.
template <class T>
std::optional<T> variantValue(const sdbus::Variant& v) {
    try {
        if (!v.containsValueOfType<T>()) return std::nullopt;
        return v.get<T>();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

struct AdapterProps {
    std::string address;
    bool powered = false;
    std::optional<std::string> powerState;  // on, off, off-enabling, on-disabling, off-blocked
    bool discovering = false;
    void apply(const PropertyMap& changed, const std::vector<std::string>& invalidated = {});
};

struct DeviceProps {
    std::string address;
    std::string adapter;
    std::optional<std::string> name;
    std::vector<std::string> uuids;
    std::optional<int16_t> rssi;
    std::optional<int16_t> txPower;
    std::map<uint16_t, Bytes> manufacturerData;
    std::map<std::string, Bytes> serviceData;
    bool connected = false;
    bool servicesResolved = false;
    void apply(const PropertyMap& changed, const std::vector<std::string>& invalidated = {});
};

struct GattServiceProps {
    std::string uuid;
    std::string device;
    bool primary = true;
    void apply(const PropertyMap& changed, const std::vector<std::string>& invalidated = {});
};

struct GattCharacteristicProps {
    std::string uuid;
    std::string service;
    std::vector<std::string> flags;
    std::optional<uint16_t> mtu;
    void apply(const PropertyMap& changed, const std::vector<std::string>& invalidated = {});
};

/// What a device's properties say about its advertisement.
AdvertisementData advertisementOf(const DeviceProps& device);
/// True when `uuids` (BlueZ's text form) holds one of `wanted`; an absent or empty `wanted` matches all.
bool advertisesAny(const std::vector<std::string>& uuids, const std::optional<std::vector<BleUUID>>& wanted);
/// Characteristic property bits of BlueZ's Flags strings.
uint32_t characteristicPropertiesOf(const std::vector<std::string>& flags);

}  // namespace vexa::bluez
