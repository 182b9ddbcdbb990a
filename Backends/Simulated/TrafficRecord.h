#pragma once
// What crossed a simulated link, as the radio's traffic observer sees it.
#include <functional>
#include <string>

#include "Platform/BlePlatform.h"
#include "Platform/Bytes.h"

namespace vexa {

enum class TrafficKind {
    WriteWithResponse,     // central -> device, received by the device
    WriteWithoutResponse,  // central -> device, received by the device
    Notification,          // device -> central, as the device sent it (before any injected fault)
    ReadResponse,          // device -> central, the value answering a read
};

struct TrafficRecord {
    std::string peripheralIdentifier;
    BleUUID characteristic;
    TrafficKind kind = TrafficKind::WriteWithResponse;
    Bytes bytes;
    bool fromCentral() const { return kind == TrafficKind::WriteWithResponse || kind == TrafficKind::WriteWithoutResponse; }
};

/// Called on the main queue, in link order.
using TrafficObserver = std::function<void(const TrafficRecord&)>;

}  // namespace vexa
