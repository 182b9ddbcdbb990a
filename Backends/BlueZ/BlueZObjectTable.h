#pragma once
// The org.bluez objects this backend knows, by path and interface, kept up to date from
// GetManagedObjects, InterfacesAdded/Removed and PropertiesChanged. Plain data: the owner uses it
// on one thread.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Backends/BlueZ/BlueZProperties.h"

namespace vexa::bluez {

class BlueZObjectTable {
public:
    std::map<std::string, AdapterProps> adapters;
    std::map<std::string, DeviceProps> devices;
    std::map<std::string, GattServiceProps> services;
    std::map<std::string, GattCharacteristicProps> characteristics;

    void clear();
    /// Replaces everything with a GetManagedObjects answer.
    void reset(const ManagedObjects& objects);
    /// Adds (or refreshes) the interfaces this table keeps; others are ignored.
    void addInterfaces(const std::string& path, const InterfaceMap& interfaces);
    /// Drops the listed interfaces of `path`.
    void removeInterfaces(const std::string& path, const std::vector<std::string>& interfaces);
    /// Applies a PropertiesChanged; returns false when the object or interface is unknown.
    bool changeProperties(const std::string& path, const std::string& interface, const PropertyMap& changed,
                          const std::vector<std::string>& invalidated);

    /// `preferred` when it names a known adapter ("hci1" or a full path), else the first adapter by path.
    std::optional<std::string> chooseAdapter(const std::string& preferred) const;
    /// Paths of the device's GATT services, in path (handle) order.
    std::vector<std::string> servicesOf(const std::string& devicePath) const;
    /// Paths of the service's characteristics, in path (handle) order.
    std::vector<std::string> characteristicsOf(const std::string& servicePath) const;
    /// The device a characteristic belongs to, through its service.
    std::optional<std::string> deviceOfCharacteristic(const std::string& characteristicPath) const;
};

}  // namespace vexa::bluez
