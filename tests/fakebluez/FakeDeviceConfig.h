#pragma once
// How a fake BlueZ device looks: address, advertisement, GATT table, MTU and device model.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Bytes.h"
#include "tests/fakebluez/FakeDeviceModel.h"

namespace vexa::test {

inline constexpr const char* kTokenServiceUuid = "a63928c5-f337-4181-9412-09b8a6d8826f";
inline constexpr const char* kTokenWriteUuid = "563e2883-5c3a-41da-8e02-15640ae703e6";
inline constexpr const char* kTokenNotifyUuid = "5609a734-12c2-49e9-9edd-6eba3fdedc92";

struct FakeCharacteristicConfig {
    std::string uuid;
    std::vector<std::string> flags;  // "read", "write", "write-without-response", "notify", ...
};

struct FakeServiceConfig {
    std::string uuid;
    std::vector<FakeCharacteristicConfig> characteristics;
};

struct FakeDeviceConfig {
    std::string address;  // "AA:BB:CC:DD:EE:01"
    std::optional<std::string> name;
    std::vector<std::string> uuids;  // advertised service UUIDs
    int16_t rssi = -60;
    std::optional<int16_t> txPower;
    std::map<uint16_t, Bytes> manufacturerData;
    std::map<std::string, Bytes> serviceData;
    std::vector<FakeServiceConfig> services;
    /// The ATT MTU once connected; nothing: no MTU property (BlueZ before 5.62).
    std::optional<uint16_t> mtu = 247;
    std::shared_ptr<FakeDeviceModel> model;
};

/// A token: the token service with its write and notify characteristics, and an echo model.
inline FakeDeviceConfig tokenDeviceConfig(std::string address, std::string name = "VexaToken") {
    FakeDeviceConfig config;
    config.address = std::move(address);
    config.name = std::move(name);
    config.uuids = {kTokenServiceUuid};
    config.services = {FakeServiceConfig{kTokenServiceUuid,
                                         {FakeCharacteristicConfig{kTokenWriteUuid, {"write", "write-without-response"}},
                                          FakeCharacteristicConfig{kTokenNotifyUuid, {"notify"}}}}};
    config.model = std::make_shared<EchoDeviceModel>(kTokenWriteUuid, kTokenNotifyUuid);
    return config;
}

}  // namespace vexa::test
