#include "Backends/BlueZ/BlueZCentral.h"

#include <algorithm>
#include <cctype>
#include <sdbus-c++/sdbus-c++.h>

#include "Backends/BlueZ/BlueZErrors.h"
#include "Backends/BlueZ/BlueZPeripheral.h"

namespace vexa {

using namespace bluez;

namespace {

std::set<std::string> keysOf(const PropertyMap& changed, const std::vector<std::string>& invalidated = {}) {
    std::set<std::string> keys(invalidated.begin(), invalidated.end());
    for (const auto& [key, value] : changed) keys.insert(key);
    return keys;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

std::shared_ptr<BlueZCentral> BlueZCentral::create(BlueZOptions options, std::unique_ptr<sdbus::IConnection> connection,
                                                   std::weak_ptr<PlatformCentralDelegate> delegate,
                                                   std::shared_ptr<DispatchQueue> callbackQueue) {
    auto central = std::make_shared<BlueZCentral>(std::move(options), std::move(connection), std::move(delegate), std::move(callbackQueue));
    central->loop_->async([raw = central.get()] { raw->start(); });
    return central;
}

BlueZCentral::BlueZCentral(BlueZOptions options, std::unique_ptr<sdbus::IConnection> connection,
                           std::weak_ptr<PlatformCentralDelegate> delegate, std::shared_ptr<DispatchQueue> callbackQueue)
    : options_(std::move(options)),
      delegate_(std::move(delegate)),
      callbackQueue_(std::move(callbackQueue)),
      loop_(std::make_unique<DBusLoop>(std::move(connection), "org.vexatokenkit.BlueZ")) {}

BlueZCentral::~BlueZCentral() {
    loop_->stop();
    // The loop thread is gone: release what belongs to the connection before the connection.
    matches_.clear();
    proxies_.clear();
    busProxy_.reset();
}

// ---- PlatformCentral ----

void BlueZCentral::scanForPeripherals(const std::optional<std::vector<BleUUID>>& serviceUUIDs, const ScanOptions& options) {
    loop_->async([this, serviceUUIDs, options] {
        scanWanted_ = true;
        scanFilter_ = serviceUUIDs;
        allowDuplicates_ = options.allowDuplicates;
        ++scanSession_;
        ++filterGeneration_;
        reconcileDiscovery();
    });
}

void BlueZCentral::stopScan() {
    loop_->async([this] {
        scanWanted_ = false;
        reconcileDiscovery();
    });
}

std::shared_ptr<BlueZPeripheral> BlueZCentral::ownPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral) const {
    auto own = std::dynamic_pointer_cast<BlueZPeripheral>(peripheral);
    if (!own) return nullptr;
    const auto it = peripherals_.find(own->path());
    return it != peripherals_.end() && it->second == own ? own : nullptr;
}

void BlueZCentral::connectPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    loop_->async([this, peripheral] {
        if (auto own = ownPeripheral(peripheral)) return own->connect(*this);
        deliverToCentral([peripheral](const auto& c, PlatformCentralDelegate& d) {
            d.centralManagerDidFailToConnectPeripheral(c, peripheral, deviceGoneError());
        });
    });
}

void BlueZCentral::cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    loop_->async([this, peripheral] {
        if (auto own = ownPeripheral(peripheral)) own->cancelConnection(*this);
    });
}

std::vector<std::shared_ptr<PlatformPeripheral>> BlueZCentral::retrievePeripheralsWithIdentifiers(const std::vector<std::string>& identifiers) {
    std::vector<std::shared_ptr<PlatformPeripheral>> found;
    loop_->sync([&] {
        for (const auto& id : identifiers) {
            for (const auto& [path, peripheral] : peripherals_) {
                if (lower(peripheral->identifier()) == lower(id)) {
                    found.push_back(peripheral);
                    break;
                }
            }
        }
    });
    return found;
}

std::vector<std::shared_ptr<PlatformPeripheral>> BlueZCentral::retrieveConnectedPeripheralsWithServices(const std::vector<BleUUID>& serviceUUIDs) {
    std::vector<std::shared_ptr<PlatformPeripheral>> found;
    loop_->sync([&] {
        for (const auto& [path, device] : table_.devices) {
            if (!device.connected || !isOurs(path) || !advertisesAny(device.uuids, serviceUUIDs)) continue;
            if (auto p = peripheralFor(path)) found.push_back(p);
        }
    });
    return found;
}

// ---- BlueZContext ----

sdbus::IProxy& BlueZCentral::proxy(const std::string& path) {
    auto& slot = proxies_[path];
    if (!slot) {
        if (!loop_->connection() || loop_->busLost()) throw sdbus::Error("org.freedesktop.DBus.Error.Disconnected", "No D-Bus connection");
        slot = sdbus::createProxy(*loop_->connection(), kService, path);
    }
    return *slot;
}

void BlueZCentral::deliver(Task task) { callbackQueue_->async(std::move(task)); }

void BlueZCentral::deliverToCentral(std::function<void(const std::shared_ptr<PlatformCentral>&, PlatformCentralDelegate&)> call) {
    callbackQueue_->async([weak = weak_from_this(), delegate = delegate_, call = std::move(call)] {
        auto central = weak.lock();
        auto d = delegate.lock();
        if (central && d) call(central, *d);
    });
}

void BlueZCentral::connectionAttemptStarted() {
    ++attemptsPending_;
    reconcileDiscovery();
}

void BlueZCentral::connectionAttemptEnded() {
    if (attemptsPending_ > 0) --attemptsPending_;
    reconcileDiscovery();
}

// ---- following org.bluez ----

void BlueZCentral::start() {
    loop_->setBusLostHandler([this] {
        ownerLost();
        updateState();
    });
    auto* connection = loop_->connection();
    if (!connection) return updateState();
    try {
        for (const char* rule : {kNameOwnerMatch, kObjectManagerMatch, kPropertiesMatch})
            matches_.push_back(connection->addMatch(rule, [this](sdbus::Message& message) { onSignal(message); }));
        busProxy_ = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        busProxy_->callMethodAsync("GetNameOwner")
            .onInterface("org.freedesktop.DBus")
            .withArguments(std::string(kService))
            .uponReplyInvoke([this](const sdbus::Error* error, std::string owner) {
                if (ownerKnown_) return;  // NameOwnerChanged came first
                ownerKnown_ = true;
                if (error || owner.empty()) return updateState();
                owner_ = owner;
                loadObjects();
            });
    } catch (const sdbus::Error&) {
        ownerKnown_ = true;
        updateState();
    }
}

void BlueZCentral::onSignal(sdbus::Message& message) {
    try {
        const std::string member = message.getMemberName();
        if (member == "NameOwnerChanged") {
            std::string name, oldOwner, newOwner;
            message >> name >> oldOwner >> newOwner;
            if (name == kService) ownerChanged(oldOwner, newOwner);
        } else if (member == "InterfacesAdded") {
            sdbus::ObjectPath path;
            InterfaceMap interfaces;
            message >> path >> interfaces;
            if (objectsLoaded_) interfacesAdded(path, interfaces);
        } else if (member == "InterfacesRemoved") {
            sdbus::ObjectPath path;
            std::vector<std::string> interfaces;
            message >> path >> interfaces;
            if (objectsLoaded_) interfacesRemoved(path, interfaces);
        } else if (member == "PropertiesChanged") {
            std::string interface;
            PropertyMap changed;
            std::vector<std::string> invalidated;
            message >> interface >> changed >> invalidated;
            if (objectsLoaded_) propertiesChanged(message.getPath(), interface, changed, invalidated);
        }
    } catch (const std::exception&) {
        // A malformed signal is dropped.
    }
}

void BlueZCentral::ownerChanged(const std::string& oldOwner, const std::string& newOwner) {
    ownerKnown_ = true;
    if (!oldOwner.empty() || !owner_.empty()) ownerLost();
    if (!newOwner.empty()) {
        owner_ = newOwner;
        loadObjects();
    }
    updateState();
}

void BlueZCentral::ownerLost() {
    owner_.clear();
    objectsLoaded_ = false;
    ++loadGeneration_;
    // Our discovery session ended with the service; replies still on their way are stale.
    ++discoveryEpoch_;
    discoveryActive_ = false;
    discoveryCallPending_ = false;
    refusedFilter_.reset();
    for (const auto& [path, device] : table_.devices) {
        if (auto it = peripherals_.find(path); it != peripherals_.end()) it->second->deviceGone(*this);
    }
    table_.clear();
    scanRecords_.clear();
}

void BlueZCentral::loadObjects() {
    const uint64_t generation = ++loadGeneration_;
    try {
        proxy("/").callMethodAsync("GetManagedObjects").onInterface(kObjectManagerInterface).uponReplyInvoke(
            [this, generation](const sdbus::Error* error, ManagedObjects objects) { objectsLoaded(generation, error, objects); });
    } catch (const sdbus::Error& e) {
        objectsLoaded(generation, &e, {});
    }
}

void BlueZCentral::objectsLoaded(uint64_t generation, const sdbus::Error* error, const ManagedObjects& objects) {
    if (generation != loadGeneration_) return;
    // GATT objects that the new snapshot no longer has end their requests.
    std::map<std::string, std::string> oldGatt;  // object path -> device path
    for (const auto& [path, props] : table_.services) oldGatt[path] = props.device;
    for (const auto& [path, props] : table_.characteristics) {
        if (auto device = table_.deviceOfCharacteristic(path)) oldGatt[path] = *device;
    }
    const auto oldDevices = table_.devices;
    if (error) table_.clear();
    else table_.reset(objects);
    objectsLoaded_ = true;
    updateState();

    for (const auto& [path, device] : oldGatt) {
        if (table_.services.count(path) || table_.characteristics.count(path)) continue;
        if (auto it = peripherals_.find(device); it != peripherals_.end()) it->second->gattObjectRemoved(*this, path);
    }
    for (const auto& [path, device] : oldDevices) {
        if (table_.devices.count(path)) continue;
        if (auto it = peripherals_.find(path); it != peripherals_.end()) it->second->deviceGone(*this);
        scanRecords_.erase(path);
    }
    for (const auto& [path, device] : table_.devices) {
        auto p = peripheralFor(path);
        if (!p) continue;
        p->deviceChanged(*this, {"Name", "RSSI", "Connected", "ServicesResolved"});
        p->gattObjectsAdded(*this);
    }
    reconcileDiscovery();
}

void BlueZCentral::interfacesAdded(const std::string& path, const InterfaceMap& interfaces) {
    table_.addInterfaces(path, interfaces);
    if (interfaces.count(kAdapterInterface)) updateState();
    if (auto it = interfaces.find(kDeviceInterface); it != interfaces.end()) deviceUpdated(path, keysOf(it->second));
    if (interfaces.count(kGattServiceInterface) || interfaces.count(kGattCharacteristicInterface)) {
        if (auto device = deviceOfGattObject(path)) {
            if (auto p = peripheralFor(*device)) p->gattObjectsAdded(*this);
        }
    }
}

void BlueZCentral::interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces) {
    const auto device = deviceOfGattObject(path);
    table_.removeInterfaces(path, interfaces);
    const auto has = [&](const char* name) { return std::find(interfaces.begin(), interfaces.end(), name) != interfaces.end(); };
    if ((has(kGattServiceInterface) || has(kGattCharacteristicInterface)) && device) {
        if (auto it = peripherals_.find(*device); it != peripherals_.end()) it->second->gattObjectRemoved(*this, path);
    }
    if (has(kDeviceInterface)) {
        if (auto it = peripherals_.find(path); it != peripherals_.end()) it->second->deviceGone(*this);
        scanRecords_.erase(path);
    }
    if (has(kAdapterInterface)) updateState();
}

void BlueZCentral::propertiesChanged(const std::string& path, const std::string& interface, const PropertyMap& changed,
                                     const std::vector<std::string>& invalidated) {
    if (!table_.changeProperties(path, interface, changed, invalidated)) return;
    if (interface == kAdapterInterface) {
        updateState();
    } else if (interface == kDeviceInterface) {
        deviceUpdated(path, keysOf(changed, invalidated));
    } else if (interface == kGattCharacteristicInterface) {
        const auto device = table_.deviceOfCharacteristic(path);
        if (!device) return;
        const auto it = peripherals_.find(*device);
        if (it == peripherals_.end()) return;
        if (changed.count("MTU") || std::count(invalidated.begin(), invalidated.end(), "MTU"))
            it->second->mtuChanged(table_.characteristics.at(path).mtu);
        if (auto value = changed.find("Value"); value != changed.end()) {
            if (auto bytes = variantValue<std::vector<uint8_t>>(value->second)) it->second->characteristicValue(*this, path, std::move(*bytes));
        }
    }
}

void BlueZCentral::deviceUpdated(const std::string& path, const std::set<std::string>& keys) {
    auto p = peripheralFor(path);
    if (!p) return;
    p->deviceChanged(*this, keys);
    considerAdvertisement(path, keys);
}

// Reports a device to the scan once it has shown a fresh RSSI in this scan session and
// advertises a wanted service; again on each advertisement change if duplicates are wanted.
void BlueZCentral::considerAdvertisement(const std::string& path, const std::set<std::string>& keys) {
    if (!scanWanted_) return;
    const auto& device = table_.devices.at(path);
    auto& record = scanRecords_[path];
    const bool freshRssi = keys.count("RSSI") && device.rssi;
    if (freshRssi) record.freshSession = scanSession_;
    if (record.freshSession != scanSession_) return;
    if (!advertisesAny(device.uuids, scanFilter_)) return;
    const bool first = record.reportedSession != scanSession_;
    const bool advertised = freshRssi || keys.count("ManufacturerData") || keys.count("ServiceData") || keys.count("Name") ||
                            keys.count("UUIDs") || keys.count("TxPower");
    if (!first && !(allowDuplicates_ && advertised)) return;
    record.reportedSession = scanSession_;
    auto p = peripheralFor(path);
    const int64_t rssi = device.rssi ? *device.rssi : p->lastRssi().value_or(0);
    deliverToCentral([p, data = advertisementOf(device), rssi](const auto& c, PlatformCentralDelegate& d) {
        d.centralManagerDidDiscoverPeripheral(c, p, data, rssi);
    });
}

bool BlueZCentral::isOurs(const std::string& devicePath) const {
    const auto it = table_.devices.find(devicePath);
    if (it == table_.devices.end() || adapterPath_.empty()) return false;
    return it->second.adapter.empty() || it->second.adapter == adapterPath_;
}

std::shared_ptr<BlueZPeripheral> BlueZCentral::peripheralFor(const std::string& devicePath) {
    if (auto it = peripherals_.find(devicePath); it != peripherals_.end()) return it->second;
    if (!isOurs(devicePath)) return nullptr;
    const auto& device = table_.devices.at(devicePath);
    auto p = std::make_shared<BlueZPeripheral>(devicePath, device.address.empty() ? devicePath : device.address,
                                               std::weak_ptr<BlueZContext>(shared_from_this()));
    peripherals_[devicePath] = p;
    return p;
}

std::optional<std::string> BlueZCentral::deviceOfGattObject(const std::string& path) const {
    if (auto s = table_.services.find(path); s != table_.services.end()) return s->second.device;
    return table_.deviceOfCharacteristic(path);
}

// ---- state and discovery ----

void BlueZCentral::updateState() {
    ManagerState state = state_.load();
    if (loop_->busLost()) {
        state = ManagerState::Unsupported;
    } else if (!ownerKnown_) {
        state = ManagerState::Unknown;
    } else if (owner_.empty()) {
        state = ManagerState::Unsupported;
    } else if (objectsLoaded_) {
        adapterPath_ = table_.chooseAdapter(options_.adapter).value_or("");
        if (adapterPath_.empty()) {
            state = ManagerState::Unsupported;
        } else {
            const auto& adapter = table_.adapters.at(adapterPath_);
            if (adapter.powerState == "off-blocked") state = ManagerState::Unauthorized;
            else state = adapter.powered ? ManagerState::PoweredOn : ManagerState::PoweredOff;
        }
    }
    if (state == state_.load()) return;
    state_ = state;
    refusedFilter_.reset();  // a refused StartDiscovery may succeed now
    reconcileDiscovery();
    deliverToCentral([](const auto& c, PlatformCentralDelegate& d) { d.centralManagerDidUpdateState(c); });
}

// Brings BlueZ's discovery session of this connection in line with what is wanted: on while a
// scan runs, the adapter is on and no connection attempt is under way (scanning makes LE
// connection set-up fail more often); restarted with the new filter when a scan restarts.
void BlueZCentral::reconcileDiscovery() {
    if (discoveryCallPending_ || loop_->busLost()) return;
    const bool ready = state_.load() == ManagerState::PoweredOn && !adapterPath_.empty();
    const bool want = scanWanted_ && attemptsPending_ == 0 && ready;
    const uint64_t epoch = discoveryEpoch_;
    if (discoveryActive_ && (!want || appliedFilter_ != filterGeneration_)) {
        discoveryCallPending_ = true;
        try {
            proxy(adapterPath_).callMethodAsync("StopDiscovery").onInterface(kAdapterInterface).uponReplyInvoke([this, epoch](const sdbus::Error*) {
                if (epoch != discoveryEpoch_) return;
                discoveryCallPending_ = false;
                discoveryActive_ = false;
                reconcileDiscovery();
            });
        } catch (const sdbus::Error&) {
            discoveryCallPending_ = false;
            discoveryActive_ = false;
        }
        return;
    }
    if (!discoveryActive_ && want && refusedFilter_ != filterGeneration_) startDiscovery(epoch, filterGeneration_);
}

void BlueZCentral::startDiscovery(uint64_t epoch, uint64_t filterGeneration) {
    std::map<std::string, sdbus::Variant> filter{{"Transport", sdbus::Variant(std::string("le"))},
                                                 {"DuplicateData", sdbus::Variant(allowDuplicates_)}};
    if (scanFilter_ && !scanFilter_->empty()) {
        std::vector<std::string> uuids;
        for (const auto& uuid : *scanFilter_) uuids.push_back(uuid.to128().str());
        filter["UUIDs"] = sdbus::Variant(uuids);
    }
    const std::string adapter = adapterPath_;
    discoveryCallPending_ = true;
    auto started = [this, epoch, filterGeneration](const sdbus::Error* error) {
        if (epoch != discoveryEpoch_) return;
        discoveryCallPending_ = false;
        // InProgress: this connection already has a session.
        if (!error || error->getName() == "org.bluez.Error.InProgress") {
            discoveryActive_ = true;
            appliedFilter_ = filterGeneration;
        } else {
            refusedFilter_ = filterGeneration;
        }
        reconcileDiscovery();
    };
    try {
        proxy(adapter)
            .callMethodAsync("SetDiscoveryFilter")
            .onInterface(kAdapterInterface)
            .withArguments(filter)
            .uponReplyInvoke([this, epoch, adapter, started](const sdbus::Error*) {
                if (epoch != discoveryEpoch_) return;
                try {
                    proxy(adapter).callMethodAsync("StartDiscovery").onInterface(kAdapterInterface).uponReplyInvoke(started);
                } catch (const sdbus::Error& e) {
                    started(&e);
                }
            });
    } catch (const sdbus::Error& e) {
        started(&e);
    }
}

}  // namespace vexa
