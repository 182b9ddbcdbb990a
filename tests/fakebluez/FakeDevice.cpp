#include "tests/fakebluez/FakeDevice.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace vexa::test {

namespace {

constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kService = "org.bluez.GattService1";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";

void replyError(const sdbus::MethodCall& call, const std::string& name, const std::string& message) {
    call.createErrorReply(sdbus::Error(name, message)).send();
}

void replyOk(const sdbus::MethodCall& call) { call.createReply().send(); }

std::string devicePath(const std::string& adapter, std::string address) {
    std::replace(address.begin(), address.end(), ':', '_');
    std::transform(address.begin(), address.end(), address.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return adapter + "/dev_" + address;
}

std::string handleText(uint16_t handle) {
    char buf[5];
    std::snprintf(buf, sizeof buf, "%04x", handle);
    return buf;
}

}  // namespace

class FakeDevice::Link final : public FakeDeviceLink {
public:
    Link(FakeDevice* device, std::weak_ptr<int> life, std::function<void(Task)> post)
        : device_(device), life_(std::move(life)), post_(std::move(post)) {}
    void notify(const std::string& uuid, Bytes value) override {
        post_([device = device_, life = life_, uuid, value = std::move(value)]() mutable {
            if (!life.expired()) device->notify(uuid, std::move(value));
        });
    }
    void disconnect() override {
        post_([device = device_, life = life_] {
            if (!life.expired()) device->dropLink();
        });
    }

private:
    FakeDevice* device_;
    std::weak_ptr<int> life_;
    std::function<void(Task)> post_;
};

bool FakeDevice::Characteristic::hasFlag(const char* flag) const { return std::find(flags.begin(), flags.end(), flag) != flags.end(); }

FakeDevice::FakeDevice(FakeEnvironment& env, FakeDeviceConfig config)
    : env_(env), config_(std::move(config)), path_(devicePath(env.adapterPath, config_.address)), rssi_(config_.rssi) {
    link_ = std::make_shared<Link>(this, life_, env_.post);
}

FakeDevice::~FakeDevice() = default;

template <class F>
void FakeDevice::later(std::chrono::milliseconds delay, F task) {
    env_.loop->asyncAfter(delay, [life = std::weak_ptr<int>(life_), task = std::move(task)]() mutable {
        if (!life.expired()) task();
    });
}

void FakeDevice::emitDevice(const std::vector<std::string>& names) {
    if (device_) device_->emitPropertiesChangedSignal(kDevice, names);
}

FakeDevice::Characteristic* FakeDevice::characteristic(const std::string& uuid) const {
    for (const auto& c : characteristics_) {
        if (c->uuid == uuid) return c.get();
    }
    return nullptr;
}

// ---- Device1 ----

void FakeDevice::publish() {
    if (device_) return;
    device_ = sdbus::createObject(connection(), path_);
    auto& o = *device_;
    o.registerMethod(kDevice, "Connect", "", "", [this](sdbus::MethodCall call) { onConnect(std::move(call)); });
    o.registerMethod(kDevice, "Disconnect", "", "", [this](sdbus::MethodCall call) { onDisconnect(std::move(call)); });
    o.registerProperty("Address").onInterface(kDevice).withGetter([this] { return config_.address; });
    if (config_.name) o.registerProperty("Name").onInterface(kDevice).withGetter([this] { return *config_.name; });
    o.registerProperty("Adapter").onInterface(kDevice).withGetter([this] { return sdbus::ObjectPath(env_.adapterPath); });
    o.registerProperty("Connected").onInterface(kDevice).withGetter([this] { return connected_; });
    o.registerProperty("ServicesResolved").onInterface(kDevice).withGetter([this] { return servicesResolved_; });
    o.registerProperty("UUIDs").onInterface(kDevice).withGetter([this] { return config_.uuids; });
    o.registerProperty("RSSI").onInterface(kDevice).withGetter([this] { return rssi_; });
    if (config_.txPower) o.registerProperty("TxPower").onInterface(kDevice).withGetter([this] { return *config_.txPower; });
    o.registerProperty("ManufacturerData").onInterface(kDevice).withGetter([this] {
        std::map<uint16_t, sdbus::Variant> data;
        for (const auto& [id, bytes] : config_.manufacturerData) data[id] = sdbus::Variant(bytes);
        return data;
    });
    o.registerProperty("ServiceData").onInterface(kDevice).withGetter([this] {
        std::map<std::string, sdbus::Variant> data;
        for (const auto& [uuid, bytes] : config_.serviceData) data[uuid] = sdbus::Variant(bytes);
        return data;
    });
    o.finishRegistration();
    o.emitInterfacesAddedSignal({kDevice});
}

void FakeDevice::unpublish() {
    linkDown();
    if (pendingConnect_) {
        replyError(*pendingConnect_, "org.bluez.Error.Failed", "Device removed");
        pendingConnect_.reset();
    }
    unpublishGatt(true);
    if (device_) {
        device_->emitInterfacesRemovedSignal({kDevice});
        device_.reset();
    }
    persistent_ = false;
    seenInDiscovery = false;
}

void FakeDevice::shutdown() {
    const bool wasConnected = connected_;
    ++linkEpoch_;
    pendingConnect_.reset();
    connected_ = false;
    servicesResolved_ = false;
    seenInDiscovery = false;
    for (auto& c : characteristics_) {
        c->write.reset();
        c->pendingStarts.clear();
        c->sessions.clear();
    }
    unpublishGatt(false);
    device_.reset();
    if (wasConnected && config_.model) config_.model->disconnected();
}

void FakeDevice::advertise(std::optional<int16_t> rssi) {
    rssi_ = rssi.value_or(config_.rssi);
    seenInDiscovery = true;
    if (!device_) publish();
    else emitDevice({"RSSI"});
}

void FakeDevice::invalidateRssi() {
    seenInDiscovery = false;
    if (!device_) return;
    auto signal = device_->createSignal("org.freedesktop.DBus.Properties", "PropertiesChanged");
    signal << std::string(kDevice) << std::map<std::string, sdbus::Variant>{} << std::vector<std::string>{"RSSI"};
    device_->emitSignal(signal);
}

// ---- connection ----

void FakeDevice::onConnect(sdbus::MethodCall call) {
    env_.log.calls.push_back("Connect " + config_.address);
    if (connected_) return replyOk(call);
    if (pendingConnect_) return replyError(call, "org.bluez.Error.Failed", "Operation already in progress");
    if (auto failure = std::exchange(env_.behaviour.connectFailure, std::nullopt)) return replyError(call, failure->name, failure->message);
    pendingConnect_ = std::move(call);
    if (!env_.behaviour.holdConnects) later(std::chrono::milliseconds(0), [this] { establish(); });
}

void FakeDevice::establish() {
    if (!pendingConnect_ || connected_) return;
    ++linkEpoch_;
    connected_ = true;
    persistent_ = true;
    mtu_ = config_.mtu;
    emitDevice({"Connected"});
    replyOk(*pendingConnect_);  // BlueZ answers once the ATT link is up, before service discovery
    pendingConnect_.reset();
    if (config_.model) config_.model->connected(*link_);
    later(env_.behaviour.resolveDelay, [this, epoch = linkEpoch_] {
        if (epoch == linkEpoch_) resolve();
    });
}

void FakeDevice::resolve() {
    if (env_.behaviour.lateGattObjects && services_.empty()) {
        servicesResolved_ = true;
        emitDevice({"ServicesResolved"});
        later(env_.behaviour.lateObjectsDelay, [this, epoch = linkEpoch_] {
            if (epoch == linkEpoch_) publishGatt(env_.behaviour.lateCharacteristicsDelay);
        });
        return;
    }
    const bool cached = !services_.empty();
    publishGatt();
    if (cached && config_.mtu) {
        for (auto& c : characteristics_) c->object->emitPropertiesChangedSignal(kCharacteristic, {"MTU"});
    }
    servicesResolved_ = true;
    emitDevice({"ServicesResolved"});
}

void FakeDevice::onDisconnect(sdbus::MethodCall call) {
    env_.log.calls.push_back("Disconnect " + config_.address);
    if (pendingConnect_) {
        replyError(*pendingConnect_, "org.bluez.Error.Failed", "br-connection-canceled");
        pendingConnect_.reset();
        return replyOk(call);
    }
    if (!connected_) return replyError(call, "org.bluez.Error.NotConnected", "Not Connected");
    linkDown();
    replyOk(call);
}

void FakeDevice::dropLink() { linkDown(); }

void FakeDevice::linkDown() {
    if (!connected_) return;
    ++linkEpoch_;
    for (auto& c : characteristics_) {
        if (c->write) replyError(c->write->call, "org.bluez.Error.Failed", "Not connected");
        c->write.reset();
        const bool was = c->notifying();
        for (auto& [sender, start] : c->pendingStarts) replyError(start, "org.bluez.Error.Failed", "Not connected");
        c->pendingStarts.clear();
        setNotifying(*c, was);
    }
    if (servicesResolved_) {
        servicesResolved_ = false;
        emitDevice({"ServicesResolved"});
    }
    if (!env_.behaviour.cacheAlways) unpublishGatt(true);
    connected_ = false;
    emitDevice({"Connected"});
    if (config_.model) config_.model->disconnected();
}

void FakeDevice::setMtu(uint16_t mtu) {
    mtu_ = mtu;
    if (!config_.mtu) return;  // no MTU property on this device
    for (auto& c : characteristics_) c->object->emitPropertiesChangedSignal(kCharacteristic, {"MTU"});
}

// ---- GATT objects ----

void FakeDevice::publishGatt(std::chrono::milliseconds characteristicsDelay) {
    if (!services_.empty()) return;
    uint16_t handle = 0x000a;
    std::chrono::milliseconds delay = characteristicsDelay;
    for (const auto& serviceConfig : config_.services) {
        auto service = std::make_unique<Service>();
        service->path = path_ + "/service" + handleText(handle++);
        service->uuid = serviceConfig.uuid;
        service->object = sdbus::createObject(connection(), service->path);
        auto& o = *service->object;
        o.registerProperty("UUID").onInterface(kService).withGetter([uuid = service->uuid] { return uuid; });
        o.registerProperty("Primary").onInterface(kService).withGetter([] { return true; });
        o.registerProperty("Device").onInterface(kService).withGetter([this] { return sdbus::ObjectPath(path_); });
        o.finishRegistration();
        o.emitInterfacesAddedSignal({kService});
        for (const auto& charConfig : serviceConfig.characteristics) {
            const std::string path = service->path + "/char" + handleText(handle);
            handle = static_cast<uint16_t>(handle + 2);
            if (characteristicsDelay.count() == 0) {
                addCharacteristic(path, charConfig);
                continue;
            }
            // One after the other, each while its service is still exported.
            later(delay, [this, path, charConfig] {
                const auto owner = path.substr(0, path.rfind('/'));
                const bool serviceThere = std::any_of(services_.begin(), services_.end(), [&](const auto& sv) { return sv->path == owner; });
                const bool there = std::any_of(characteristics_.begin(), characteristics_.end(), [&](const auto& c) { return c->path == path; });
                if (serviceThere && !there) addCharacteristic(path, charConfig);
            });
            delay += characteristicsDelay;
        }
        services_.push_back(std::move(service));
    }
}

void FakeDevice::addCharacteristic(const std::string& path, const FakeCharacteristicConfig& config) {
    auto c = std::make_unique<Characteristic>();
    c->path = path;
    c->uuid = config.uuid;
    c->flags = config.flags;
    addCharacteristicObject(*c);
    characteristics_.push_back(std::move(c));
}

void FakeDevice::addCharacteristicObject(Characteristic& c) {
    c.object = sdbus::createObject(connection(), c.path);
    auto& o = *c.object;
    Characteristic* cp = &c;
    const std::string servicePath = c.path.substr(0, c.path.rfind('/'));
    o.registerMethod(kCharacteristic, "WriteValue", "aya{sv}", "", [this, cp](sdbus::MethodCall call) { onWriteValue(*cp, std::move(call)); });
    o.registerMethod(kCharacteristic, "StartNotify", "", "", [this, cp](sdbus::MethodCall call) { onStartNotify(*cp, std::move(call)); });
    o.registerMethod(kCharacteristic, "StopNotify", "", "", [this, cp](sdbus::MethodCall call) { onStopNotify(*cp, std::move(call)); });
    o.registerProperty("UUID").onInterface(kCharacteristic).withGetter([cp] { return cp->uuid; });
    o.registerProperty("Service").onInterface(kCharacteristic).withGetter([servicePath] { return sdbus::ObjectPath(servicePath); });
    o.registerProperty("Flags").onInterface(kCharacteristic).withGetter([cp] { return cp->flags; });
    o.registerProperty("Value").onInterface(kCharacteristic).withGetter([cp] { return cp->value; });
    if (c.hasFlag("notify") || c.hasFlag("indicate"))
        o.registerProperty("Notifying").onInterface(kCharacteristic).withGetter([cp] { return cp->notifying(); });
    if (config_.mtu) o.registerProperty("MTU").onInterface(kCharacteristic).withGetter([this] { return mtu_.value_or(23); });
    o.finishRegistration();
    o.emitInterfacesAddedSignal({kCharacteristic});
}

void FakeDevice::unpublishGatt(bool announce) {
    for (auto it = characteristics_.rbegin(); it != characteristics_.rend(); ++it) {
        if (announce) (*it)->object->emitInterfacesRemovedSignal({kCharacteristic});
    }
    characteristics_.clear();
    for (auto it = services_.rbegin(); it != services_.rend(); ++it) {
        if (announce) (*it)->object->emitInterfacesRemovedSignal({kService});
    }
    services_.clear();
}

// ---- writes ----

void FakeDevice::onWriteValue(Characteristic& c, sdbus::MethodCall call) {
    Bytes value;
    std::map<std::string, sdbus::Variant> options;
    call >> value >> options;
    std::string type = c.hasFlag("write") ? "request" : "command";
    if (auto it = options.find("type"); it != options.end() && it->second.containsValueOfType<std::string>()) type = it->second.get<std::string>();
    if (!connected_) return replyError(call, "org.bluez.Error.Failed", "Not connected");
    if (!c.hasFlag("write") && !c.hasFlag("write-without-response"))
        return replyError(call, "org.bluez.Error.NotSupported", "Operation is not supported");
    if (c.write) {
        // One outstanding write per characteristic, whatever its type or client.
        ++env_.log.inProgress;
        return replyError(call, "org.bluez.Error.InProgress", "In Progress");
    }
    if (auto failure = std::exchange(env_.behaviour.writeFailure, std::nullopt)) return replyError(call, failure->name, failure->message);
    if (type == "command" && value.size() + 3 > mtu_.value_or(23))
        return replyError(call, "org.bluez.Error.Failed", "Failed to initiate write");
    env_.log.writes[config_.address].push_back(LoggedWrite{c.uuid, value, type});
    if (type == "command") {
        replyOk(call);
        return delivered(c.uuid, value);
    }
    c.write = PendingWrite{std::move(call), std::move(value), std::exchange(env_.behaviour.holdNextWrite, false)};
    if (!c.write->held) {
        later(env_.behaviour.writeDelay, [this, uuid = c.uuid, epoch = linkEpoch_] {
            if (epoch == linkEpoch_) completeWrite(uuid);
        });
    }
}

void FakeDevice::completeWrite(const std::string& uuid) {
    Characteristic* c = characteristic(uuid);
    if (!c || !c->write) return;
    PendingWrite write = std::move(*c->write);
    c->write.reset();
    replyOk(write.call);
    delivered(uuid, write.value);
}

void FakeDevice::delivered(const std::string& uuid, const Bytes& value) {
    if (config_.model) config_.model->written(uuid, value, *link_);
    if (env_.behaviour.dropAfterWrites > 0 && --env_.behaviour.dropAfterWrites == 0) link_->disconnect();
}

void FakeDevice::releaseWrites() {
    for (auto& c : characteristics_) {
        if (c->write && c->write->held) {
            c->write->held = false;
            later(std::chrono::milliseconds(0), [this, uuid = c->uuid, epoch = linkEpoch_] {
                if (epoch == linkEpoch_) completeWrite(uuid);
            });
        }
    }
}

// ---- notifications ----

void FakeDevice::setNotifying(Characteristic& c, bool wasNotifying) {
    if (c.notifying() != wasNotifying && c.object && (c.hasFlag("notify") || c.hasFlag("indicate")))
        c.object->emitPropertiesChangedSignal(kCharacteristic, {"Notifying"});
}

void FakeDevice::onStartNotify(Characteristic& c, sdbus::MethodCall call) {
    const std::string sender = call.getSender();
    env_.log.calls.push_back("StartNotify " + c.uuid);
    if (!c.hasFlag("notify") && !c.hasFlag("indicate")) return replyError(call, "org.bluez.Error.NotSupported", "Operation is not supported");
    if (c.sessions.count(sender)) return replyOk(call);
    if (c.pendingStarts.count(sender)) return replyError(call, "org.bluez.Error.InProgress", "In Progress");
    const bool was = c.notifying();
    if (!connected_) {
        // BlueZ registers the session and enables it at the next connection.
        c.sessions.insert(sender);
        setNotifying(c, was);
        return replyOk(call);
    }
    c.pendingStarts.emplace(sender, std::move(call));
    setNotifying(c, was);
    if (auto early = earlyValues_.find(c.uuid); early != earlyValues_.end()) {
        // A notification that arrives while the CCCD write is pending is passed on at once.
        c.value = std::move(early->second);
        earlyValues_.erase(early);
        c.object->emitPropertiesChangedSignal(kCharacteristic, {"Value"});
    }
    later(env_.behaviour.cccdDelay, [this, uuid = c.uuid, sender, epoch = linkEpoch_] {
        Characteristic* ch = characteristic(uuid);
        if (epoch != linkEpoch_ || !ch) return;
        auto it = ch->pendingStarts.find(sender);
        if (it == ch->pendingStarts.end()) return;
        sdbus::MethodCall start = std::move(it->second);
        ch->pendingStarts.erase(it);
        ch->sessions.insert(sender);
        replyOk(start);
    });
}

void FakeDevice::onStopNotify(Characteristic& c, sdbus::MethodCall call) {
    const std::string sender = call.getSender();
    env_.log.calls.push_back("StopNotify " + c.uuid);
    if (!c.sessions.count(sender)) return replyError(call, "org.bluez.Error.Failed", "No notify session started");
    const bool was = c.notifying();
    c.sessions.erase(sender);
    setNotifying(c, was);
    replyOk(call);
}

void FakeDevice::notify(const std::string& uuid, Bytes value) {
    Characteristic* c = characteristic(uuid);
    if (!c || !connected_ || !c->notifying()) return;  // the device sends nothing with the CCCD off
    c->value = std::move(value);
    c->object->emitPropertiesChangedSignal(kCharacteristic, {"Value"});
}

void FakeDevice::setEarlyNotification(const std::string& uuid, Bytes value) { earlyValues_[uuid] = std::move(value); }

void FakeDevice::clientGone(const std::string& sender) {
    for (auto& c : characteristics_) {
        const bool was = c->notifying();
        c->sessions.erase(sender);
        c->pendingStarts.erase(sender);
        setNotifying(*c, was);
    }
}

bool FakeDevice::isNotifying(const std::string& uuid) const {
    const Characteristic* c = characteristic(uuid);
    return c && c->notifying();
}

}  // namespace vexa::test
