#pragma once
// The Linux Bluetooth LE backend: BlueZ (bluetoothd) over D-Bus. Each central gets its own bus
// connection, since BlueZ ties discovery sessions and notification sessions to the connection.
#include <sdbus-c++/IConnection.h>

#include <functional>
#include <memory>
#include <string>

#include "Backends/BlueZ/BlueZOptions.h"
#include "Platform/BlePlatform.h"

namespace vexa {

/// Opens a bus connection; may throw sdbus::Error (the central then reports Unsupported).
using DBusConnectionFactory = std::function<std::unique_ptr<sdbus::IConnection>()>;

class BlueZBackend final : public BleBackend {
public:
    /// On the system bus, where bluetoothd lives.
    static std::shared_ptr<BlueZBackend> create(BlueZOptions options = {});
    /// On the bus at `address` ("unix:path=..."), e.g. a private test bus.
    static std::shared_ptr<BlueZBackend> createWithBusAddress(std::string address, BlueZOptions options = {});
    /// With connections from `factory`, one per central.
    static std::shared_ptr<BlueZBackend> createWithConnectionFactory(DBusConnectionFactory factory, BlueZOptions options = {});

    BlueZBackend(DBusConnectionFactory factory, BlueZOptions options);

    std::string name() const override { return "BlueZ"; }
    /// A null `callbackQueue` gets a serial queue of the central's own.
    std::shared_ptr<PlatformCentral> createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                   std::shared_ptr<DispatchQueue> callbackQueue) override;

private:
    DBusConnectionFactory factory_;
    BlueZOptions options_;
};

}  // namespace vexa
