#include "Backends/BlueZ/BlueZObjectTable.h"

#include <algorithm>

namespace vexa::bluez {

namespace {

// Adds or refreshes one record: a new record starts from defaults, a known one is updated.
template <class Props>
void upsert(std::map<std::string, Props>& table, const std::string& path, const PropertyMap& props) {
    table[path].apply(props);
}

}  // namespace

void BlueZObjectTable::clear() {
    adapters.clear();
    devices.clear();
    services.clear();
    characteristics.clear();
}

void BlueZObjectTable::reset(const ManagedObjects& objects) {
    clear();
    for (const auto& [path, interfaces] : objects) addInterfaces(path, interfaces);
}

void BlueZObjectTable::addInterfaces(const std::string& path, const InterfaceMap& interfaces) {
    for (const auto& [name, props] : interfaces) {
        if (name == kAdapterInterface) upsert(adapters, path, props);
        else if (name == kDeviceInterface) upsert(devices, path, props);
        else if (name == kGattServiceInterface) upsert(services, path, props);
        else if (name == kGattCharacteristicInterface) upsert(characteristics, path, props);
    }
}

void BlueZObjectTable::removeInterfaces(const std::string& path, const std::vector<std::string>& interfaces) {
    for (const auto& name : interfaces) {
        if (name == kAdapterInterface) adapters.erase(path);
        else if (name == kDeviceInterface) devices.erase(path);
        else if (name == kGattServiceInterface) services.erase(path);
        else if (name == kGattCharacteristicInterface) characteristics.erase(path);
    }
}

bool BlueZObjectTable::changeProperties(const std::string& path, const std::string& interface, const PropertyMap& changed,
                                        const std::vector<std::string>& invalidated) {
    auto update = [&](auto& table) {
        const auto it = table.find(path);
        if (it == table.end()) return false;
        it->second.apply(changed, invalidated);
        return true;
    };
    if (interface == kAdapterInterface) return update(adapters);
    if (interface == kDeviceInterface) return update(devices);
    if (interface == kGattServiceInterface) return update(services);
    if (interface == kGattCharacteristicInterface) return update(characteristics);
    return false;
}

std::optional<std::string> BlueZObjectTable::chooseAdapter(const std::string& preferred) const {
    if (!preferred.empty()) {
        for (const auto& [path, props] : adapters) {
            if (path == preferred || path.substr(path.rfind('/') + 1) == preferred) return path;
        }
        return std::nullopt;
    }
    if (adapters.empty()) return std::nullopt;
    return adapters.begin()->first;
}

std::vector<std::string> BlueZObjectTable::servicesOf(const std::string& devicePath) const {
    std::vector<std::string> out;
    for (const auto& [path, props] : services) {
        if (props.device == devicePath) out.push_back(path);
    }
    return out;
}

std::vector<std::string> BlueZObjectTable::characteristicsOf(const std::string& servicePath) const {
    std::vector<std::string> out;
    for (const auto& [path, props] : characteristics) {
        if (props.service == servicePath) out.push_back(path);
    }
    return out;
}

std::optional<std::string> BlueZObjectTable::deviceOfCharacteristic(const std::string& characteristicPath) const {
    const auto c = characteristics.find(characteristicPath);
    if (c == characteristics.end()) return std::nullopt;
    const auto s = services.find(c->second.service);
    if (s == services.end()) return std::nullopt;
    return s->second.device;
}

}  // namespace vexa::bluez
