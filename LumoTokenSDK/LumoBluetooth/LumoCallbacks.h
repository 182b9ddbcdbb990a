#pragma once
// Completion shapes of the Bluetooth LE link wrappers. An empty std::function is an absent callback.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/Bytes.h"
#include "Platform/Error.h"

namespace vexa {

class LumoCharacteristic;
class LumoPeripheral;
class LumoService;

/// Error callback: no error on success.
using LumoErrorCallback = std::function<void(const OptError&)>;
/// Data callback: the bytes (or nothing) and the error (or nothing).
using LumoDataCallback = std::function<void(const std::optional<Bytes>&, const OptError&)>;
/// RSSI callback: the signal strength (or nothing) and the error (or nothing).
using LumoRSSICallback = std::function<void(const std::optional<int64_t>&, const OptError&)>;

using LumoServiceList = std::vector<std::shared_ptr<LumoService>>;
using LumoCharacteristicList = std::vector<std::shared_ptr<LumoCharacteristic>>;
using LumoPeripheralList = std::vector<std::shared_ptr<LumoPeripheral>>;

/// List callbacks: the wrappers (or nothing) and the error (or nothing).
using LumoServicesCallback = std::function<void(const std::optional<LumoServiceList>&, const OptError&)>;
using LumoCharacteristicsCallback = std::function<void(const std::optional<LumoCharacteristicList>&, const OptError&)>;
/// Scan callbacks: a snapshot of peripheral wrappers.
using LumoPeripheralsCallback = std::function<void(const LumoPeripheralList&)>;

}  // namespace vexa
