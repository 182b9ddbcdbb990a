#include "Backends/BlueZ/BlueZBackend.h"

#include <sdbus-c++/Error.h>

#include "Backends/BlueZ/BlueZCentral.h"
#include "Platform/SerialQueue.h"

namespace vexa {

std::shared_ptr<BlueZBackend> BlueZBackend::create(BlueZOptions options) {
    return createWithConnectionFactory([] { return sdbus::createSystemBusConnection(); }, std::move(options));
}

std::shared_ptr<BlueZBackend> BlueZBackend::createWithBusAddress(std::string address, BlueZOptions options) {
    return createWithConnectionFactory([address] { return sdbus::createSessionBusConnectionWithAddress(address); }, std::move(options));
}

std::shared_ptr<BlueZBackend> BlueZBackend::createWithConnectionFactory(DBusConnectionFactory factory, BlueZOptions options) {
    return std::make_shared<BlueZBackend>(std::move(factory), std::move(options));
}

BlueZBackend::BlueZBackend(DBusConnectionFactory factory, BlueZOptions options) : factory_(std::move(factory)), options_(std::move(options)) {}

std::shared_ptr<PlatformCentral> BlueZBackend::createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                             std::shared_ptr<DispatchQueue> callbackQueue) {
    std::unique_ptr<sdbus::IConnection> connection;
    try {
        if (factory_) connection = factory_();
    } catch (const std::exception&) {
        connection.reset();  // no bus: the central says Unsupported
    }
    if (!callbackQueue) callbackQueue = std::make_shared<SerialQueue>("org.vexatokenkit.BlueZCallbacks");
    return BlueZCentral::create(options_, std::move(connection), std::move(delegate), std::move(callbackQueue));
}

}  // namespace vexa
