#include "Backends/BlueZ/BlueZProperties.h"

#include <algorithm>

namespace vexa::bluez {

namespace {

bool has(const std::vector<std::string>& names, const char* name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Runs `set` with the property's value when it is present with type T.
template <class T, class F>
void read(const PropertyMap& changed, const char* key, F set) {
    const auto it = changed.find(key);
    if (it == changed.end()) return;
    if (auto value = variantValue<T>(it->second)) set(std::move(*value));
}

// a{qv} or a{sv} whose variants hold byte arrays; entries of another type are skipped.
template <class K>
std::map<K, Bytes> byteMap(const sdbus::Variant& v) {
    std::map<K, Bytes> out;
    const auto entries = variantValue<std::map<K, sdbus::Variant>>(v);
    if (!entries) return out;
    for (const auto& [key, inner] : *entries) {
        if (auto bytes = variantValue<std::vector<uint8_t>>(inner)) out[key] = std::move(*bytes);
    }
    return out;
}

std::string uuidKey(const std::string& text) {
    const auto uuid = BleUUID::fromString(text);
    return uuid.empty() ? text : uuid.str();
}

}  // namespace

void AdapterProps::apply(const PropertyMap& changed, const std::vector<std::string>& invalidated) {
    read<std::string>(changed, "Address", [&](std::string v) { address = std::move(v); });
    read<bool>(changed, "Powered", [&](bool v) { powered = v; });
    read<std::string>(changed, "PowerState", [&](std::string v) { powerState = std::move(v); });
    read<bool>(changed, "Discovering", [&](bool v) { discovering = v; });
    if (has(invalidated, "PowerState")) powerState.reset();
}

void DeviceProps::apply(const PropertyMap& changed, const std::vector<std::string>& invalidated) {
    read<std::string>(changed, "Address", [&](std::string v) { address = std::move(v); });
    read<sdbus::ObjectPath>(changed, "Adapter", [&](sdbus::ObjectPath v) { adapter = std::move(v); });
    read<std::string>(changed, "Name", [&](std::string v) { name = std::move(v); });
    read<std::vector<std::string>>(changed, "UUIDs", [&](std::vector<std::string> v) { uuids = std::move(v); });
    read<int16_t>(changed, "RSSI", [&](int16_t v) { rssi = v; });
    read<int16_t>(changed, "TxPower", [&](int16_t v) { txPower = v; });
    read<bool>(changed, "Connected", [&](bool v) { connected = v; });
    read<bool>(changed, "ServicesResolved", [&](bool v) { servicesResolved = v; });
    if (auto it = changed.find("ManufacturerData"); it != changed.end()) manufacturerData = byteMap<uint16_t>(it->second);
    if (auto it = changed.find("ServiceData"); it != changed.end()) {
        serviceData.clear();
        for (auto& [key, bytes] : byteMap<std::string>(it->second)) serviceData[uuidKey(key)] = std::move(bytes);
    }
    if (has(invalidated, "Name")) name.reset();
    if (has(invalidated, "RSSI")) rssi.reset();
    if (has(invalidated, "TxPower")) txPower.reset();
    if (has(invalidated, "UUIDs")) uuids.clear();
    if (has(invalidated, "ManufacturerData")) manufacturerData.clear();
    if (has(invalidated, "ServiceData")) serviceData.clear();
}

void GattServiceProps::apply(const PropertyMap& changed, const std::vector<std::string>&) {
    read<std::string>(changed, "UUID", [&](std::string v) { uuid = std::move(v); });
    read<sdbus::ObjectPath>(changed, "Device", [&](sdbus::ObjectPath v) { device = std::move(v); });
    read<bool>(changed, "Primary", [&](bool v) { primary = v; });
}

void GattCharacteristicProps::apply(const PropertyMap& changed, const std::vector<std::string>& invalidated) {
    read<std::string>(changed, "UUID", [&](std::string v) { uuid = std::move(v); });
    read<sdbus::ObjectPath>(changed, "Service", [&](sdbus::ObjectPath v) { service = std::move(v); });
    read<std::vector<std::string>>(changed, "Flags", [&](std::vector<std::string> v) { flags = std::move(v); });
    read<uint16_t>(changed, "MTU", [&](uint16_t v) { mtu = v; });
    if (has(invalidated, "MTU")) mtu.reset();
}

AdvertisementData advertisementOf(const DeviceProps& device) {
    AdvertisementData data;
    data.localName = device.name;
    for (const auto& text : device.uuids) {
        auto uuid = BleUUID::fromString(text);
        if (!uuid.empty()) data.serviceUUIDs.push_back(std::move(uuid));
    }
    data.manufacturerData = device.manufacturerData;
    data.serviceData = device.serviceData;
    if (device.txPower) data.txPowerLevel = *device.txPower;
    return data;
}

bool advertisesAny(const std::vector<std::string>& uuids, const std::optional<std::vector<BleUUID>>& wanted) {
    if (!wanted || wanted->empty()) return true;
    return std::any_of(uuids.begin(), uuids.end(), [&](const std::string& text) {
        const auto uuid = BleUUID::fromString(text);
        return !uuid.empty() && std::find(wanted->begin(), wanted->end(), uuid) != wanted->end();
    });
}

uint32_t characteristicPropertiesOf(const std::vector<std::string>& flags) {
    uint32_t bits = 0;
    if (has(flags, "read")) bits |= kPropertyRead;
    if (has(flags, "write-without-response")) bits |= kPropertyWriteWithoutResponse;
    if (has(flags, "write")) bits |= kPropertyWrite;
    if (has(flags, "notify")) bits |= kPropertyNotify;
    if (has(flags, "indicate")) bits |= kPropertyIndicate;
    return bits;
}

}  // namespace vexa::bluez
