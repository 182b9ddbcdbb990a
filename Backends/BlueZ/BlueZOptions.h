#pragma once
// Tunables of the BlueZ backend.
#include <chrono>
#include <string>

namespace vexa {

struct BlueZOptions {
    /// Adapter to use ("hci1" or its object path); empty: the first adapter by path.
    std::string adapter;
    /// How long a connection attempt may take before it is abandoned and reported as failed.
    std::chrono::milliseconds connectTimeout{30000};
    /// How long to wait, once services are resolved, for GATT objects that arrive late.
    std::chrono::milliseconds servicesGracePeriod{1500};
    /// How long a service discovery may wait for the device to resolve its services.
    std::chrono::milliseconds resolveTimeout{30000};
    /// A write refused with InProgress (another client writing) is retried this often, this far apart.
    int busyRetries = 40;
    std::chrono::milliseconds busyRetryDelay{25};
};

}  // namespace vexa
