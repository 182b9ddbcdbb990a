#include "Backends/BlueZ/BlueZGattServer.h"

#include <sdbus-c++/sdbus-c++.h>

#include "Backends/BlueZ/BlueZErrors.h"

namespace vexa {

using namespace bluez;

namespace {

constexpr const char* kRoot = "/org/vexatokenkit/peripheral";
constexpr const char* kServicePath = "/org/vexatokenkit/peripheral/service0";
constexpr const char* kWritePath = "/org/vexatokenkit/peripheral/service0/char0";
constexpr const char* kNotifyPath = "/org/vexatokenkit/peripheral/service0/char1";
// Outside the application's tree: BlueZ wants that tree to hold the GATT objects only.
constexpr const char* kAdvertisementPath = "/org/vexatokenkit/advertisement0";

template <class T>
std::optional<T> option(const PropertyMap& options, const char* key) {
    const auto it = options.find(key);
    return it == options.end() ? std::nullopt : variantValue<T>(it->second);
}

void replyError(const sdbus::MethodCall& call, const char* name, const char* message) {
    call.createErrorReply(sdbus::Error(name, message)).send();
}

}  // namespace

std::unique_ptr<BlueZGattServer> BlueZGattServer::create(GattServerConfig config, std::unique_ptr<sdbus::IConnection> connection,
                                                          std::weak_ptr<BlueZGattServerListener> listener,
                                                          std::shared_ptr<DispatchQueue> callbackQueue) {
    return std::make_unique<BlueZGattServer>(std::move(config), std::move(connection), std::move(listener), std::move(callbackQueue));
}

BlueZGattServer::BlueZGattServer(GattServerConfig config, std::unique_ptr<sdbus::IConnection> connection,
                                 std::weak_ptr<BlueZGattServerListener> listener, std::shared_ptr<DispatchQueue> callbackQueue)
    : config_(std::move(config)),
      listener_(std::move(listener)),
      callbackQueue_(std::move(callbackQueue)),
      loop_(std::make_unique<DBusLoop>(std::move(connection), "org.vexatokenkit.BlueZServer")) {}

BlueZGattServer::~BlueZGattServer() { stop(std::chrono::milliseconds(0)); }

template <class F>
void BlueZGattServer::deliver(F event) {
    callbackQueue_->async([listener = listener_, open = open_, event = std::move(event)] {
        if (!open->load()) return;
        if (auto l = listener.lock()) event(*l);
    });
}

void BlueZGattServer::fail(const Error& error) {
    if (failed_ || stopping_) return;
    failed_ = true;
    deliver([error](BlueZGattServerListener& l) { l.serverFailed(error); });
}

sdbus::IProxy& BlueZGattServer::proxy(const std::string& path) {
    auto& slot = proxies_[path];
    if (!slot) slot = sdbus::createProxy(*loop_->connection(), kService, path);
    return *slot;
}

// ---- public operations ----

void BlueZGattServer::start() {
    loop_->async([this] { begin(); });
}

void BlueZGattServer::notify(Bytes value) {
    loop_->async([this, value = std::move(value)]() mutable {
        if (!notifying_ || !notifyCharacteristic_) return;
        value_ = std::move(value);
        notifyCharacteristic_->emitPropertiesChangedSignal(kGattCharacteristicInterface, {"Value"});
    });
}

void BlueZGattServer::disconnectCentral() {
    loop_->async([this] {
        if (!central_ || central_->empty() || stopping_) return;
        try {
            proxy(*central_).callMethodAsync("Disconnect").onInterface(kDeviceInterface).uponReplyInvoke([](const sdbus::Error*) {});
        } catch (const sdbus::Error&) {
            // The device is gone already; its link report follows.
        }
    });
}

void BlueZGattServer::stop(std::chrono::milliseconds bound) {
    open_->store(false);
    if (!loop_) return;
    loop_->sync([&] {
        stopping_ = true;
        if (loop_->busLost() || bound.count() <= 0) return;
        auto call = [&](const std::string& path, const char* interface, const char* method, const std::optional<std::string>& argument) {
            try {
                auto message = proxy(path).createMethodCall(interface, method);
                if (argument) message << sdbus::ObjectPath(*argument);
                proxy(path).callMethod(message, std::chrono::duration_cast<std::chrono::microseconds>(bound).count());
            } catch (const sdbus::Error&) {
                // Gone already, or BlueZ did not answer in time: we leave anyway.
            }
        };
        if (central_ && links_.count(*central_)) call(*central_, kDeviceInterface, "Disconnect", std::nullopt);
        if (advertisementRegistered_) call(adapter_, kAdvertisingManagerInterface, "UnregisterAdvertisement", kAdvertisementPath);
        if (applicationRegistered_) call(adapter_, kGattManagerInterface, "UnregisterApplication", kRoot);
        advertisementRegistered_ = applicationRegistered_ = false;
    });
    loop_->stop();
    // The loop thread is gone: release what belongs to the connection before the connection.
    matches_.clear();
    proxies_.clear();
    advertisement_.reset();
    notifyCharacteristic_.reset();
    writeCharacteristic_.reset();
    service_.reset();
    root_.reset();
    loop_.reset();
}

// ---- start-up ----

void BlueZGattServer::begin() {
    auto* connection = loop_->connection();
    if (!connection) return fail(serviceGoneError());
    try {
        for (const char* rule : {kNameOwnerMatch, kObjectManagerMatch, kPropertiesMatch})
            matches_.push_back(connection->addMatch(rule, [this](sdbus::Message& message) { onSignal(message); }));
        exportObjects();
        proxy("/").callMethodAsync("GetManagedObjects").onInterface(kObjectManagerInterface).uponReplyInvoke(
            [this](const sdbus::Error* error, ManagedObjects objects) { objectsLoaded(error, objects); });
    } catch (const sdbus::Error& e) {
        fail(errorFromDBus(e));
    }
}

void BlueZGattServer::exportObjects() {
    auto& connection = *loop_->connection();
    root_ = sdbus::createObject(connection, kRoot);
    root_->addObjectManager();

    service_ = sdbus::createObject(connection, kServicePath);
    service_->registerProperty("UUID").onInterface(kGattServiceInterface).withGetter([this] { return config_.service.to128().str(); });
    service_->registerProperty("Primary").onInterface(kGattServiceInterface).withGetter([] { return true; });
    service_->registerProperty("Includes").onInterface(kGattServiceInterface).withGetter([] { return std::vector<sdbus::ObjectPath>{}; });
    service_->finishRegistration();

    auto characteristic = [&](const char* path, const BleUUID& uuid, std::vector<std::string> flags) {
        auto object = sdbus::createObject(connection, path);
        object->registerProperty("UUID").onInterface(kGattCharacteristicInterface).withGetter([uuid] { return uuid.to128().str(); });
        object->registerProperty("Service").onInterface(kGattCharacteristicInterface).withGetter([] { return sdbus::ObjectPath(kServicePath); });
        object->registerProperty("Flags").onInterface(kGattCharacteristicInterface).withGetter([flags] { return flags; });
        return object;
    };
    // Write with response only: BlueZ answers the writes of a characteristic that also allows
    // writes without response at once, and a refused write could no longer be told to the central.
    writeCharacteristic_ = characteristic(kWritePath, config_.writeCharacteristic, {"write"});
    writeCharacteristic_->registerMethod(kGattCharacteristicInterface, "WriteValue", "aya{sv}", "", [this](sdbus::MethodCall call) {
        onWrite(std::move(call));
    });
    writeCharacteristic_->finishRegistration();

    notifyCharacteristic_ = characteristic(kNotifyPath, config_.notifyCharacteristic, {"notify"});
    notifyCharacteristic_->registerProperty("Value").onInterface(kGattCharacteristicInterface).withGetter([this] { return value_; });
    notifyCharacteristic_->registerProperty("Notifying").onInterface(kGattCharacteristicInterface).withGetter([this] { return notifying_; });
    notifyCharacteristic_->registerMethod(kGattCharacteristicInterface, "StartNotify", "", "", [this](sdbus::MethodCall call) {
        setNotifying(true);
        call.createReply().send();
    });
    notifyCharacteristic_->registerMethod(kGattCharacteristicInterface, "StopNotify", "", "", [this](sdbus::MethodCall call) {
        setNotifying(false);
        call.createReply().send();
    });
    notifyCharacteristic_->finishRegistration();

    // The name goes into the scan response (BlueZ puts LocalName there), so that the flags and the
    // 128-bit service UUID fill the 31 bytes of a legacy advertisement.
    advertisement_ = sdbus::createObject(connection, kAdvertisementPath);
    advertisement_->registerProperty("Type").onInterface(kAdvertisementInterface).withGetter([] { return std::string("peripheral"); });
    advertisement_->registerProperty("ServiceUUIDs").onInterface(kAdvertisementInterface).withGetter([this] {
        return std::vector<std::string>{config_.service.to128().str()};
    });
    advertisement_->registerProperty("LocalName").onInterface(kAdvertisementInterface).withGetter([this] { return config_.localName; });
    advertisement_->registerProperty("Discoverable").onInterface(kAdvertisementInterface).withGetter([] { return true; });
    advertisement_->registerMethod(kAdvertisementInterface, "Release", "", "", [this](sdbus::MethodCall call) {
        advertisementRegistered_ = false;
        fail(advertisementReleasedError());
        if (!call.doesntExpectReply()) call.createReply().send();
    });
    advertisement_->finishRegistration();
}

void BlueZGattServer::objectsLoaded(const sdbus::Error* error, const ManagedObjects& objects) {
    if (error) return fail(errorFromDBus(*error));
    table_.reset(objects);
    const auto adapter = table_.chooseAdapter(config_.options.adapter);
    if (!adapter) return fail(errorFromDBus("org.bluez.Error.NoSuchAdapter", "No such Bluetooth adapter"));
    const auto& interfaces = objects.at(sdbus::ObjectPath(*adapter));
    if (!interfaces.count(kGattManagerInterface) || !interfaces.count(kAdvertisingManagerInterface)) return fail(noPeripheralRoleError());
    adapter_ = *adapter;
    // Links that are up already (a central that stayed connected across a restart) are followed too.
    for (const auto& [path, device] : table_.devices) {
        if (device.adapter == adapter_ && device.connected) links_.insert(path);
    }
    registerAll();
}

// Registers our object at `path` with the adapter's `interface`, then runs `then`.
void BlueZGattServer::registerObject(const char* interface, const char* method, const char* path, std::function<void()> then) {
    try {
        proxy(adapter_)
            .callMethodAsync(method)
            .onInterface(interface)
            .withArguments(sdbus::ObjectPath(path), PropertyMap{})
            .uponReplyInvoke([this, then = std::move(then)](const sdbus::Error* error) {
                if (error) return fail(errorFromDBus(*error));
                then();
            });
    } catch (const sdbus::Error& e) {
        fail(errorFromDBus(e));
    }
}

void BlueZGattServer::registerAll() {
    registerObject(kGattManagerInterface, "RegisterApplication", kRoot, [this] {
        applicationRegistered_ = true;
        registerObject(kAdvertisingManagerInterface, "RegisterAdvertisement", kAdvertisementPath, [this] {
            advertisementRegistered_ = true;
            deliver([adapter = adapter_](BlueZGattServerListener& l) { l.serverStarted(adapter); });
        });
    });
}

// ---- following the adapter's devices ----

void BlueZGattServer::onSignal(sdbus::Message& message) {
    try {
        const std::string member = message.getMemberName();
        if (member == "NameOwnerChanged") {
            std::string name, oldOwner, newOwner;
            message >> name >> oldOwner >> newOwner;
            // Registrations die with the bluetoothd that held them.
            if (name == kService && !oldOwner.empty()) fail(serviceGoneError());
        } else if (member == "InterfacesAdded") {
            sdbus::ObjectPath path;
            InterfaceMap interfaces;
            message >> path >> interfaces;
            table_.addInterfaces(path, interfaces);
            if (interfaces.count(kDeviceInterface)) deviceChanged(path);
        } else if (member == "InterfacesRemoved") {
            sdbus::ObjectPath path;
            std::vector<std::string> interfaces;
            message >> path >> interfaces;
            const std::string address = addressOf(path);
            table_.removeInterfaces(path, interfaces);
            if (links_.count(path) && !table_.devices.count(path)) {
                links_.erase(path);
                deliver([address](BlueZGattServerListener& l) { l.linkChanged(address, false); });
                if (central_ == path) endCentral();
            }
        } else if (member == "PropertiesChanged") {
            std::string interface;
            PropertyMap changed;
            std::vector<std::string> invalidated;
            message >> interface >> changed >> invalidated;
            if (table_.changeProperties(message.getPath(), interface, changed, invalidated) && interface == kDeviceInterface &&
                changed.count("Connected"))
                deviceChanged(message.getPath());
        }
    } catch (const std::exception&) {
        // A malformed signal is dropped.
    }
}

void BlueZGattServer::deviceChanged(const std::string& path) {
    const auto it = table_.devices.find(path);
    if (it == table_.devices.end() || it->second.adapter != adapter_ || adapter_.empty()) return;
    const bool up = it->second.connected;
    if (up == static_cast<bool>(links_.count(path))) return;
    if (up) links_.insert(path);
    else links_.erase(path);
    deliver([address = addressOf(path), up](BlueZGattServerListener& l) { l.linkChanged(address, up); });
    if (!up && central_ == path) endCentral();
}

void BlueZGattServer::endCentral() {
    const std::string address = addressOf(*central_);
    central_.reset();
    deliver([address](BlueZGattServerListener& l) { l.centralEnded(address); });
}

std::string BlueZGattServer::addressOf(const std::string& devicePath) const {
    const auto it = table_.devices.find(devicePath);
    if (it != table_.devices.end() && !it->second.address.empty()) return it->second.address;
    return devicePath.empty() ? std::string("unknown") : devicePath;
}

// ---- the characteristics ----

void BlueZGattServer::onWrite(sdbus::MethodCall call) {
    Bytes value;
    PropertyMap options;
    call >> value >> options;
    if (option<uint16_t>(options, "offset").value_or(0) != 0)
        return replyError(call, "org.bluez.Error.InvalidOffset", "Writes at an offset are not supported");
    const std::string device = option<sdbus::ObjectPath>(options, "device").value_or(sdbus::ObjectPath());
    if (central_ && *central_ != device) {
        if (links_.count(*central_)) {
            deliver([address = addressOf(device)](BlueZGattServerListener& l) { l.writeRefused(address); });
            return replyError(call, "org.bluez.Error.NotPermitted", "Another host is using the token");
        }
        endCentral();  // its link went down unseen: the newcomer takes over
    }
    if (!central_) {
        central_ = device;
        deliver([address = addressOf(device)](BlueZGattServerListener& l) { l.centralStarted(address); });
    }
    call.createReply().send();
    deliver([value = std::move(value), mtu = option<uint16_t>(options, "mtu").value_or(0)](BlueZGattServerListener& l) {
        l.valueWritten(value, mtu);
    });
}

void BlueZGattServer::setNotifying(bool on) {
    if (notifying_ == on) return;
    notifying_ = on;
    notifyCharacteristic_->emitPropertiesChangedSignal(kGattCharacteristicInterface, {"Notifying"});
    deliver([on](BlueZGattServerListener& l) { l.notifyingChanged(on); });
}

}  // namespace vexa
