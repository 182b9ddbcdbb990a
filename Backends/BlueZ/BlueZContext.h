#pragma once
// What peripherals, services and characteristics need from their central. Every member is used
// on the central's D-Bus loop thread only.
#include <functional>
#include <memory>
#include <string>

#include "Backends/BlueZ/BlueZObjectTable.h"
#include "Backends/BlueZ/BlueZOptions.h"
#include "Backends/BlueZ/DBusLoop.h"
#include "Platform/BlePlatform.h"

namespace sdbus {
class IProxy;
}

namespace vexa {

class BlueZContext {
public:
    virtual ~BlueZContext() = default;
    virtual DBusLoop& loop() = 0;
    /// A proxy of the org.bluez object at `path` (kept for the central's life).
    virtual sdbus::IProxy& proxy(const std::string& path) = 0;
    virtual const bluez::BlueZObjectTable& objects() const = 0;
    virtual const BlueZOptions& options() const = 0;
    /// Queues a platform callback on the callback queue.
    virtual void deliver(Task task) = 0;
    /// Queues a central-delegate callback; it runs only if the central and its delegate still exist.
    virtual void deliverToCentral(std::function<void(const std::shared_ptr<PlatformCentral>&, PlatformCentralDelegate&)> call) = 0;
    /// A connection attempt starts or ends; the central pauses its discovery in between.
    virtual void connectionAttemptStarted() = 0;
    virtual void connectionAttemptEnded() = 0;
};

}  // namespace vexa
