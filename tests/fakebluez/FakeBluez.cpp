#include "tests/fakebluez/FakeBluez.h"

#include <algorithm>
#include <cctype>

namespace vexa::test {

namespace {

constexpr const char* kAdapter = "org.bluez.Adapter1";

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void replyError(const sdbus::MethodCall& call, const std::string& name, const std::string& message) {
    call.createErrorReply(sdbus::Error(name, message)).send();
}

}  // namespace

FakeBluez::FakeBluez(std::string busAddress) : busAddress_(std::move(busAddress)) {
    env_.post = [this](Task task) { post(std::move(task)); };
}

FakeBluez::~FakeBluez() { stop(); }

template <class F>
auto FakeBluez::onLoop(F work) const -> decltype(work()) {
    DBusLoop* loop = loop_.get();
    if (!loop) return work();
    using R = decltype(work());
    if constexpr (std::is_void_v<R>) {
        loop->sync(work);
    } else {
        R result{};
        loop->sync([&] { result = work(); });
        return result;
    }
}

void FakeBluez::post(Task task) {
    std::lock_guard lock(postMutex_);
    if (loop_) loop_->async(std::move(task));
}

FakeDevice* FakeBluez::device(const std::string& address) const {
    const auto it = devices_.find(address);
    return it == devices_.end() ? nullptr : it->second.get();
}

// ---- life cycle ----

bool FakeBluez::start() {
    if (loop_) return true;
    std::unique_ptr<sdbus::IConnection> connection;
    try {
        connection = sdbus::createSessionBusConnectionWithAddress(busAddress_);
        connection->addObjectManager("/", sdbus::floating_slot);
    } catch (const sdbus::Error&) {
        return false;
    }
    auto loop = std::make_unique<DBusLoop>(std::move(connection), "fakebluez");
    env_.loop = loop.get();
    {
        std::lock_guard lock(postMutex_);
        loop_ = std::move(loop);
    }
    bool ok = true;
    loop_->sync([&] {
        try {
            publishAdapter();
            for (auto& [address, d] : devices_) {
                if (d->persistent()) d->publish();
            }
            if (peripheral_) peripheral_->publish();
            clientWatch_ = env_.loop->connection()->addMatch(
                "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged'",
                [this](sdbus::Message& message) {
                    std::string name, oldOwner, newOwner;
                    message >> name >> oldOwner >> newOwner;
                    if (newOwner.empty() && !name.empty() && name[0] == ':') clientGone(name);
                });
            env_.loop->connection()->requestName("org.bluez");
        } catch (const sdbus::Error&) {
            ok = false;
        }
    });
    return ok;
}

void FakeBluez::stop() {
    if (!loop_) return;
    loop_->sync([&] {
        for (auto it = devices_.begin(); it != devices_.end();) {
            it->second->shutdown();
            if (it->second->persistent()) ++it;
            else it = devices_.erase(it);
        }
        if (peripheral_) peripheral_->shutdown();
        adapter_.reset();
        clientWatch_.reset();
        sessions_.clear();
        filters_.clear();
        discovering_ = false;
    });
    std::unique_ptr<DBusLoop> old;
    {
        std::lock_guard lock(postMutex_);
        old = std::move(loop_);
    }
    env_.loop = nullptr;
    old.reset();  // closes the connection: org.bluez loses its owner
}

bool FakeBluez::restart() {
    stop();
    return start();
}

// ---- adapter ----

void FakeBluez::publishAdapter() {
    adapter_ = sdbus::createObject(*env_.loop->connection(), env_.adapterPath);
    auto& o = *adapter_;
    o.registerMethod(kAdapter, "StartDiscovery", "", "", [this](sdbus::MethodCall call) { onStartDiscovery(std::move(call)); });
    o.registerMethod(kAdapter, "StopDiscovery", "", "", [this](sdbus::MethodCall call) { onStopDiscovery(std::move(call)); });
    o.registerMethod(kAdapter, "SetDiscoveryFilter", "a{sv}", "", [this](sdbus::MethodCall call) { onSetDiscoveryFilter(std::move(call)); });
    o.registerProperty("Address").onInterface(kAdapter).withGetter([] { return std::string("00:1A:7D:DA:71:13"); });
    o.registerProperty("Name").onInterface(kAdapter).withGetter([] { return std::string("fakehost"); });
    o.registerProperty("Powered").onInterface(kAdapter).withGetter([this] { return powered_; });
    o.registerProperty("PowerState").onInterface(kAdapter).withGetter([this] { return powerState_; });
    o.registerProperty("Discovering").onInterface(kAdapter).withGetter([this] { return discovering_; });
    o.finishRegistration();
    o.emitInterfacesAddedSignal({kAdapter});
}

void FakeBluez::emitAdapter(const std::vector<std::string>& names) {
    if (adapter_) adapter_->emitPropertiesChangedSignal(kAdapter, names);
}

void FakeBluez::setPowered(bool powered) { setPowerState(powered ? "on" : "off"); }

void FakeBluez::setPowerState(const std::string& state) {
    onLoop([&] {
        powerState_ = state;
        powered_ = state == "on" || state == "on-disabling";
        if (!powered_) {
            for (auto& [address, d] : devices_) d->dropLink();
            sessions_.clear();
            filters_.clear();
            if (discovering_) endDiscovery();
        }
        emitAdapter({"Powered", "PowerState"});
    });
}

void FakeBluez::removeAdapter() {
    onLoop([&] {
        for (auto& [address, d] : devices_) d->unpublish();
        sessions_.clear();
        filters_.clear();
        discovering_ = false;
        if (adapter_) adapter_->emitInterfacesRemovedSignal({kAdapter});
        adapter_.reset();
    });
}

void FakeBluez::addAdapter() {
    onLoop([&] {
        if (!adapter_ && env_.loop) publishAdapter();
    });
}

// ---- discovery ----

void FakeBluez::onStartDiscovery(sdbus::MethodCall call) {
    const std::string sender = call.getSender();
    env_.log.calls.push_back("StartDiscovery");
    if (!powered_) return replyError(call, "org.bluez.Error.NotReady", "Resource Not Ready");
    if (sessions_.count(sender)) return replyError(call, "org.bluez.Error.InProgress", "Operation already in progress");
    sessions_.insert(sender);
    call.createReply().send();
    if (!discovering_) {
        discovering_ = true;
        emitAdapter({"Discovering"});
    }
    // Devices in range show up shortly after discovery starts.
    env_.loop->async([this] {
        if (!discovering_) return;
        for (auto& [address, d] : devices_) {
            if (d->inRange && !d->seenInDiscovery) discover(*d, std::nullopt);
        }
    });
}

void FakeBluez::onStopDiscovery(sdbus::MethodCall call) {
    const std::string sender = call.getSender();
    env_.log.calls.push_back("StopDiscovery");
    if (!powered_) return replyError(call, "org.bluez.Error.NotReady", "Resource Not Ready");
    if (!sessions_.count(sender)) return replyError(call, "org.bluez.Error.Failed", "No discovery started");
    sessions_.erase(sender);
    filters_.erase(sender);
    call.createReply().send();
    if (sessions_.empty()) endDiscovery();
}

void FakeBluez::onSetDiscoveryFilter(sdbus::MethodCall call) {
    std::map<std::string, sdbus::Variant> filter;
    call >> filter;
    DiscoveryFilterCall record;
    record.sender = call.getSender();
    for (const auto& [key, value] : filter) record.keys.insert(key);
    if (auto it = filter.find("UUIDs"); it != filter.end() && it->second.containsValueOfType<std::vector<std::string>>())
        record.uuids = it->second.get<std::vector<std::string>>();
    if (auto it = filter.find("Transport"); it != filter.end() && it->second.containsValueOfType<std::string>())
        record.transport = it->second.get<std::string>();
    env_.log.calls.push_back("SetDiscoveryFilter");
    if (filter.empty()) filters_.erase(record.sender);
    else filters_[record.sender] = record.uuids;
    filterCalls_.push_back(std::move(record));
    call.createReply().send();
}

void FakeBluez::endDiscovery() {
    discovering_ = false;
    emitAdapter({"Discovering"});
    // BlueZ invalidates RSSI on every device seen in the discovery that ended.
    for (auto& [address, d] : devices_) {
        if (d->seenInDiscovery) d->invalidateRssi();
    }
}

// Filters of all clients are merged: a device passes if any client's filter lets it through.
bool FakeBluez::passesFilters(const FakeDevice& d) const {
    if (!applyFilters_) return true;
    for (const auto& client : sessions_) {
        const auto filter = filters_.find(client);
        if (filter == filters_.end() || filter->second.empty()) return true;
        for (const auto& wanted : filter->second) {
            for (const auto& uuid : d.config().uuids) {
                if (lower(uuid) == lower(wanted)) return true;
            }
        }
    }
    return false;
}

void FakeBluez::discover(FakeDevice& d, std::optional<int16_t> rssi) {
    if (!discovering_ || !passesFilters(d)) return;
    d.advertise(rssi);
}

void FakeBluez::clientGone(const std::string& name) {
    sessions_.erase(name);
    filters_.erase(name);
    if (discovering_ && sessions_.empty()) endDiscovery();
    for (auto& [address, d] : devices_) d->clientGone(name);
}

// ---- devices ----

void FakeBluez::addDevice(FakeDeviceConfig config) {
    onLoop([&] {
        auto& slot = devices_[config.address];
        slot = std::make_unique<FakeDevice>(env_, std::move(config));
        if (env_.loop) discover(*slot, std::nullopt);
    });
}

void FakeBluez::addCachedDevice(FakeDeviceConfig config) {
    onLoop([&] {
        auto& slot = devices_[config.address];
        slot = std::make_unique<FakeDevice>(env_, std::move(config));
        slot->inRange = false;
        slot->setPersistent();
        if (env_.loop && adapter_) slot->publish();
    });
}

void FakeBluez::advertise(const std::string& address, std::optional<int16_t> rssi) {
    onLoop([&] {
        if (FakeDevice* d = device(address)) {
            d->inRange = true;
            discover(*d, rssi);
        }
    });
}

void FakeBluez::removeDevice(const std::string& address) {
    onLoop([&] {
        if (FakeDevice* d = device(address)) {
            d->unpublish();
            devices_.erase(address);
        }
    });
}

void FakeBluez::dropLink(const std::string& address) {
    onLoop([&] { if (FakeDevice* d = device(address)) d->dropLink(); });
}

void FakeBluez::setMtu(const std::string& address, uint16_t mtu) {
    onLoop([&] { if (FakeDevice* d = device(address)) d->setMtu(mtu); });
}

void FakeBluez::notify(const std::string& address, const std::string& uuid, Bytes value) {
    onLoop([&] { if (FakeDevice* d = device(address)) d->notify(uuid, std::move(value)); });
}

void FakeBluez::setEarlyNotification(const std::string& address, const std::string& uuid, Bytes value) {
    onLoop([&] { if (FakeDevice* d = device(address)) d->setEarlyNotification(uuid, std::move(value)); });
}

// ---- peripheral role ----

void FakeBluez::enablePeripheralRole(uint16_t mtu) {
    onLoop([&] {
        if (peripheral_) return;
        peripheral_ = std::make_shared<FakePeripheralRole>(env_, *this, mtu);
        if (env_.loop) peripheral_->publish();
    });
}

bool FakeBluez::peripheralRegistered() const { return onLoop([&] { return peripheral_ && peripheral_->registered(); }); }

// ---- behaviour ----

void FakeBluez::setApplyDiscoveryFilter(bool apply) { onLoop([&] { applyFilters_ = apply; }); }

void FakeBluez::behave(const std::function<void(FakeBehaviour&)>& change) { onLoop([&] { change(env_.behaviour); }); }

void FakeBluez::releaseWrites() {
    onLoop([&] { for (auto& [address, d] : devices_) d->releaseWrites(); });
}

// ---- observations ----

FakeLog FakeBluez::log() const { return onLoop([&] { return env_.log; }); }

std::vector<DiscoveryFilterCall> FakeBluez::discoveryFilters() const { return onLoop([&] { return filterCalls_; }); }

size_t FakeBluez::discoverySessions() const { return onLoop([&] { return sessions_.size(); }); }

bool FakeBluez::discovering() const { return onLoop([&] { return discovering_; }); }

bool FakeBluez::isConnected(const std::string& address) const {
    return onLoop([&] {
        const FakeDevice* d = device(address);
        return d && d->connected();
    });
}

bool FakeBluez::isNotifying(const std::string& address, const std::string& uuid) const {
    return onLoop([&] {
        const FakeDevice* d = device(address);
        return d && d->isNotifying(uuid);
    });
}

}  // namespace vexa::test
