#include "Backends/BlueZ/BlueZPeripheral.h"

#include <algorithm>
#include <sdbus-c++/sdbus-c++.h>

#include "Backends/BlueZ/BlueZCharacteristic.h"
#include "Backends/BlueZ/BlueZContext.h"
#include "Backends/BlueZ/BlueZErrors.h"
#include "Backends/BlueZ/BlueZService.h"

namespace vexa {

namespace {

constexpr size_t kDefaultWriteLength = 20;     // ATT MTU 23 - 3, before any MTU exchange
constexpr size_t kMaxAttributeLength = 512;

bool wanted(const std::optional<std::vector<BleUUID>>& filter, const std::string& uuidText) {
    if (!filter) return true;
    const auto uuid = BleUUID::fromString(uuidText);
    return std::find(filter->begin(), filter->end(), uuid) != filter->end();
}

// True when every UUID of the filter is among `found`; without a filter, when anything was found.
bool complete(const std::optional<std::vector<BleUUID>>& filter, const std::vector<std::string>& found) {
    if (!filter) return !found.empty();
    return std::all_of(filter->begin(), filter->end(), [&](const BleUUID& uuid) {
        return std::any_of(found.begin(), found.end(), [&](const std::string& text) { return BleUUID::fromString(text) == uuid; });
    });
}

}  // namespace

BlueZPeripheral::BlueZPeripheral(std::string path, std::string identifier, std::weak_ptr<BlueZContext> context)
    : path_(std::move(path)), identifier_(std::move(identifier)), context_(std::move(context)) {}

std::optional<std::string> BlueZPeripheral::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

std::vector<std::shared_ptr<PlatformService>> BlueZPeripheral::services() const {
    std::lock_guard lock(mutex_);
    return services_;
}

void BlueZPeripheral::setServices(std::vector<std::shared_ptr<PlatformService>> services) {
    std::lock_guard lock(mutex_);
    services_ = std::move(services);
}

void BlueZPeripheral::setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<PlatformPeripheralDelegate> BlueZPeripheral::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

size_t BlueZPeripheral::maximumWriteValueLength(WriteType type) const {
    if (type == WriteType::WithResponse) return kMaxAttributeLength;
    const int mtu = mtu_.load();
    return mtu > 3 ? static_cast<size_t>(mtu - 3) : kDefaultWriteLength;
}

template <class F>
void BlueZPeripheral::onLoop(F work) {
    auto ctx = context_.lock();
    if (!ctx) return;
    BlueZContext* raw = ctx.get();
    raw->loop().async([raw, self = shared_from_this(), work = std::move(work)]() mutable { work(*raw); });
}

// ---- requests from the link layer ----

void BlueZPeripheral::discoverServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs) {
    onLoop([this, serviceUUIDs](BlueZContext& ctx) {
        if (link_ != Link::Connected) {
            ctx.deliver([self = shared_from_this()] {
                if (auto d = self->delegate()) d->peripheralDidDiscoverServices(self, notConnectedError());
            });
            return;
        }
        Discovery d;
        d.id = ++nextDiscoveryId_;
        d.filter = serviceUUIDs;
        discoveries_.push_back(std::move(d));
        startTimer(ctx, discoveries_.back(), ctx.options().resolveTimeout);
        evaluateDiscoveries(ctx);
    });
}

void BlueZPeripheral::discoverCharacteristics(const std::optional<std::vector<BleUUID>>& characteristicUUIDs,
                                              const std::shared_ptr<PlatformService>& service) {
    onLoop([this, characteristicUUIDs, service](BlueZContext& ctx) {
        auto own = std::dynamic_pointer_cast<BlueZService>(service);
        const bool known = own && serviceObjects_.count(own->path()) && serviceObjects_[own->path()] == own;
        if (link_ != Link::Connected || !known) {
            const Error error = known ? notConnectedError() : attributeGoneError();
            ctx.deliver([self = shared_from_this(), service, error] {
                if (auto d = self->delegate()) d->peripheralDidDiscoverCharacteristicsForService(self, service, error);
            });
            return;
        }
        Discovery d;
        d.id = ++nextDiscoveryId_;
        d.filter = characteristicUUIDs;
        d.service = own;
        discoveries_.push_back(std::move(d));
        evaluateDiscoveries(ctx);
    });
}

std::shared_ptr<BlueZCharacteristic> BlueZPeripheral::ownCharacteristic(const std::shared_ptr<PlatformCharacteristic>& characteristic) const {
    auto own = std::dynamic_pointer_cast<BlueZCharacteristic>(characteristic);
    if (!own) return nullptr;
    const auto it = characteristicObjects_.find(own->path());
    return it != characteristicObjects_.end() && it->second == own ? own : nullptr;
}

void BlueZPeripheral::failRequest(BlueZContext& ctx, const std::shared_ptr<PlatformCharacteristic>& characteristic, Request kind,
                                  const Error& error) {
    ctx.deliver([self = shared_from_this(), characteristic, kind, error] {
        auto d = self->delegate();
        if (!d) return;
        if (kind == Request::Notify) d->peripheralDidUpdateNotificationStateForCharacteristic(self, characteristic, error);
        else if (kind == Request::Read) d->peripheralDidUpdateValueForCharacteristic(self, characteristic, error);
        else d->peripheralDidWriteValueForCharacteristic(self, characteristic, error);
    });
}

void BlueZPeripheral::setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    onLoop([this, enabled, characteristic](BlueZContext& ctx) {
        auto own = ownCharacteristic(characteristic);
        if (!own) return failRequest(ctx, characteristic, Request::Notify, attributeGoneError());
        if (link_ != Link::Connected) return failRequest(ctx, characteristic, Request::Notify, notConnectedError());
        own->setNotify(ctx, shared_from_this(), enabled);
    });
}

void BlueZPeripheral::readValue(const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    onLoop([this, characteristic](BlueZContext& ctx) {
        auto own = ownCharacteristic(characteristic);
        if (!own) return failRequest(ctx, characteristic, Request::Read, attributeGoneError());
        if (link_ != Link::Connected) return failRequest(ctx, characteristic, Request::Read, notConnectedError());
        own->read(ctx, shared_from_this());
    });
}

void BlueZPeripheral::writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic, WriteType type) {
    onLoop([this, data, characteristic, type](BlueZContext& ctx) {
        auto own = ownCharacteristic(characteristic);
        const bool answered = type == WriteType::WithResponse;
        if (!own) {
            if (answered) failRequest(ctx, characteristic, Request::Write, attributeGoneError());
            return;
        }
        if (link_ != Link::Connected) {
            if (answered) failRequest(ctx, characteristic, Request::Write, notConnectedError());
            return;
        }
        own->write(ctx, shared_from_this(), data, type);
    });
}

void BlueZPeripheral::readRSSI() {
    onLoop([this](BlueZContext& ctx) {
        const auto rssi = lastRssi_;
        ctx.deliver([self = shared_from_this(), rssi] {
            if (auto d = self->delegate()) d->peripheralDidReadRSSI(self, rssi.value_or(0), rssi ? OptError{} : OptError{rssiUnknownError()});
        });
    });
}

// ---- connection state machine ----

void BlueZPeripheral::connect(BlueZContext& ctx) {
    auto self = shared_from_this();
    switch (link_) {
        case Link::Connected:
            ctx.deliverToCentral([self](const auto& c, PlatformCentralDelegate& d) { d.centralManagerDidConnectPeripheral(c, self); });
            return;
        case Link::Connecting:
            return;  // the attempt under way answers
        case Link::Cancelling:
        case Link::Disconnecting:
            ctx.deliverToCentral([self](const auto& c, PlatformCentralDelegate& d) {
                d.centralManagerDidFailToConnectPeripheral(c, self, disconnectInProgressError());
            });
            return;
        case Link::Idle:
            break;
    }
    if (!ctx.objects().devices.count(path_)) {
        ctx.deliverToCentral([self](const auto& c, PlatformCentralDelegate& d) {
            d.centralManagerDidFailToConnectPeripheral(c, self, deviceGoneError());
        });
        return;
    }
    link_ = Link::Connecting;
    setState(PeripheralState::Connecting);
    attemptCounted_ = true;
    ctx.connectionAttemptStarted();
    const uint64_t episode = episode_;
    try {
        ctx.proxy(path_)
            .callMethodAsync("Connect")
            .onInterface(bluez::kDeviceInterface)
            .withTimeout(ctx.options().connectTimeout)
            .uponReplyInvoke([ctx = &ctx, self, episode](const sdbus::Error* error) { self->connectAnswered(*ctx, episode, error); });
    } catch (const sdbus::Error& e) {
        connectAnswered(ctx, episode, &e);
    }
}

void BlueZPeripheral::connectAnswered(BlueZContext& ctx, uint64_t episode, const sdbus::Error* error) {
    if (episode != episode_ || link_ != Link::Connecting) return;  // a cancel answers through Disconnect
    if (error) {
        if (error->getName() == "org.freedesktop.DBus.Error.NoReply") callDisconnect(ctx, episode, false);  // stop BlueZ trying
        endLink(ctx, Report::FailToConnect, errorFromDBus(*error));
        return;
    }
    link_ = Link::Connected;
    setState(PeripheralState::Connected);
    attemptCounted_ = false;
    ctx.connectionAttemptEnded();
    refreshMtu(ctx);
    auto self = shared_from_this();
    ctx.deliverToCentral([self](const auto& c, PlatformCentralDelegate& d) { d.centralManagerDidConnectPeripheral(c, self); });
}

void BlueZPeripheral::cancelConnection(BlueZContext& ctx) {
    switch (link_) {
        case Link::Idle:
            callDisconnect(ctx, episode_, false);  // nothing to report; also ends BlueZ's auto-connect
            return;
        case Link::Connecting:
            link_ = Link::Cancelling;  // the pending Connect fails with br-connection-canceled
            break;
        case Link::Connected:
            link_ = Link::Disconnecting;
            stopNotifications(ctx);
            break;
        case Link::Cancelling:
        case Link::Disconnecting:
            return;
    }
    setState(PeripheralState::Disconnecting);
    callDisconnect(ctx, episode_, true);
}

void BlueZPeripheral::stopNotifications(BlueZContext& ctx) {
    for (const auto& [path, characteristic] : characteristicObjects_) {
        if (!characteristic->wantsNotifications()) continue;
        try {
            ctx.proxy(path).callMethodAsync("StopNotify").onInterface(bluez::kGattCharacteristicInterface).uponReplyInvoke([](const sdbus::Error*) {});
        } catch (const sdbus::Error&) {
        }
    }
}

void BlueZPeripheral::callDisconnect(BlueZContext& ctx, uint64_t episode, bool answerExpected) {
    try {
        ctx.proxy(path_)
            .callMethodAsync("Disconnect")
            .onInterface(bluez::kDeviceInterface)
            .uponReplyInvoke([ctx = &ctx, self = shared_from_this(), episode, answerExpected](const sdbus::Error*) {
                if (answerExpected) self->disconnectAnswered(*ctx, episode);
            });
    } catch (const sdbus::Error&) {
        if (answerExpected) disconnectAnswered(ctx, episode);
    }
}

void BlueZPeripheral::disconnectAnswered(BlueZContext& ctx, uint64_t episode) {
    if (episode != episode_) return;
    if (link_ == Link::Cancelling || link_ == Link::Disconnecting) endLink(ctx, Report::Disconnect, std::nullopt);
}

void BlueZPeripheral::endLink(BlueZContext& ctx, Report how, OptError error) {
    auto self = shared_from_this();
    const Error requestError = error.value_or(notConnectedError());
    link_ = Link::Idle;
    ++episode_;
    if (attemptCounted_) {
        attemptCounted_ = false;
        ctx.connectionAttemptEnded();
    }
    setState(PeripheralState::Disconnected);
    mtu_ = 0;
    // Requests still waiting are answered first, in order, then the link's end is reported.
    for (const auto& [path, characteristic] : characteristicObjects_) characteristic->abandon(ctx, self, requestError);
    for (auto& d : discoveries_) {
        d.timer.cancel();
        if (d.service) {
            ctx.deliver([self, service = d.service, requestError] {
                if (auto del = self->delegate()) del->peripheralDidDiscoverCharacteristicsForService(self, service, requestError);
            });
        } else {
            ctx.deliver([self, requestError] {
                if (auto del = self->delegate()) del->peripheralDidDiscoverServices(self, requestError);
            });
        }
    }
    discoveries_.clear();
    if (how == Report::Disconnect) {
        ctx.deliverToCentral([self, error](const auto& c, PlatformCentralDelegate& d) { d.centralManagerDidDisconnectPeripheral(c, self, error); });
    } else if (how == Report::FailToConnect) {
        ctx.deliverToCentral([self, error](const auto& c, PlatformCentralDelegate& d) { d.centralManagerDidFailToConnectPeripheral(c, self, error); });
    }
}

// ---- events from BlueZ ----

void BlueZPeripheral::deviceChanged(BlueZContext& ctx, const std::set<std::string>& keys) {
    const auto it = ctx.objects().devices.find(path_);
    if (it == ctx.objects().devices.end()) return;
    const bluez::DeviceProps& device = it->second;
    if (keys.count("Name")) {
        std::lock_guard lock(mutex_);
        name_ = device.name;
    }
    if (keys.count("RSSI") && device.rssi) lastRssi_ = device.rssi;
    if (keys.count("Connected") && !device.connected) {
        if (link_ == Link::Connected) endLink(ctx, Report::Disconnect, linkLostError());
        else if (link_ == Link::Disconnecting) endLink(ctx, Report::Disconnect, std::nullopt);
    }
    if (keys.count("ServicesResolved") && link_ == Link::Connected) evaluateDiscoveries(ctx);
}

void BlueZPeripheral::gattObjectsAdded(BlueZContext& ctx) {
    refreshMtu(ctx);
    if (link_ == Link::Connected) evaluateDiscoveries(ctx);
}

void BlueZPeripheral::gattObjectRemoved(BlueZContext& ctx, const std::string& path) {
    if (auto it = characteristicObjects_.find(path); it != characteristicObjects_.end()) {
        it->second->abandon(ctx, shared_from_this(), attributeGoneError());
        characteristicObjects_.erase(it);
    }
    serviceObjects_.erase(path);
}

void BlueZPeripheral::characteristicValue(BlueZContext& ctx, const std::string& path, Bytes value) {
    if (link_ != Link::Connected && link_ != Link::Disconnecting) return;
    if (auto it = characteristicObjects_.find(path); it != characteristicObjects_.end())
        it->second->valueSignalled(ctx, shared_from_this(), std::move(value));
}

void BlueZPeripheral::mtuChanged(std::optional<uint16_t> mtu) {
    if (link_ == Link::Connected || link_ == Link::Disconnecting) mtu_ = mtu.value_or(0);
}

void BlueZPeripheral::refreshMtu(BlueZContext& ctx) {
    if (link_ != Link::Connected) return;
    const auto& objects = ctx.objects();
    for (const auto& service : objects.servicesOf(path_)) {
        for (const auto& path : objects.characteristicsOf(service)) {
            const auto& mtu = objects.characteristics.at(path).mtu;
            if (mtu) {
                mtu_ = *mtu;
                return;
            }
        }
    }
}

void BlueZPeripheral::deviceGone(BlueZContext& ctx) {
    switch (link_) {
        case Link::Idle:
            break;
        case Link::Connecting:
            endLink(ctx, Report::FailToConnect, deviceGoneError());
            break;
        case Link::Cancelling:
        case Link::Disconnecting:
            endLink(ctx, Report::Disconnect, std::nullopt);
            break;
        case Link::Connected:
            endLink(ctx, Report::Disconnect, linkLostError());
            break;
    }
    serviceObjects_.clear();
    characteristicObjects_.clear();
}

// ---- discovery from the object tree ----

void BlueZPeripheral::startTimer(BlueZContext& ctx, Discovery& d, std::chrono::milliseconds delay) {
    d.timer.cancel();
    d.timer = ctx.loop().asyncAfter(delay, [this, ctx = &ctx, self = shared_from_this(), id = d.id] {
        for (auto& pending : discoveries_) {
            if (pending.id == id) pending.graceOver = true;
        }
        evaluateDiscoveries(*ctx);
    });
}

void BlueZPeripheral::evaluateDiscoveries(BlueZContext& ctx) {
    for (auto it = discoveries_.begin(); it != discoveries_.end();) {
        if (answerDiscovery(ctx, *it)) {
            it->timer.cancel();
            it = discoveries_.erase(it);
        } else {
            ++it;
        }
    }
}

// Answers `d` if it can be answered now; returns whether it was.
bool BlueZPeripheral::answerDiscovery(BlueZContext& ctx, Discovery& d) {
    auto self = shared_from_this();
    const auto& objects = ctx.objects();
    if (!d.service) {
        const auto device = objects.devices.find(path_);
        if (device == objects.devices.end()) return false;  // deviceGone() answers
        if (!device->second.servicesResolved) {
            if (!d.graceOver) return false;
            ctx.deliver([self] {
                if (auto del = self->delegate()) del->peripheralDidDiscoverServices(self, resolveTimeoutError());
            });
            return true;
        }
        const auto paths = objects.servicesOf(path_);
        std::vector<std::string> uuids;
        for (const auto& path : paths) uuids.push_back(objects.services.at(path).uuid);
        // Resolved but incomplete: BlueZ may still be adding objects, so wait a little.
        if (!complete(d.filter, uuids) && !(d.graceStarted && d.graceOver)) {
            if (!d.graceStarted) {
                d.graceStarted = true;
                d.graceOver = false;
                startTimer(ctx, d, ctx.options().servicesGracePeriod);
            }
            return false;
        }
        std::vector<std::shared_ptr<PlatformService>> found;
        for (const auto& path : paths) {
            const auto& props = objects.services.at(path);
            if (wanted(d.filter, props.uuid)) found.push_back(serviceObject(path, props));
        }
        ctx.deliver([self, found = std::move(found)]() mutable {
            self->setServices(std::move(found));
            if (auto del = self->delegate()) del->peripheralDidDiscoverServices(self, std::nullopt);
        });
        return true;
    }

    const std::string& servicePath = d.service->path();
    if (!objects.services.count(servicePath)) {
        ctx.deliver([self, service = d.service] {
            if (auto del = self->delegate()) del->peripheralDidDiscoverCharacteristicsForService(self, service, attributeGoneError());
        });
        return true;
    }
    const auto paths = objects.characteristicsOf(servicePath);
    std::vector<std::string> uuids;
    for (const auto& path : paths) uuids.push_back(objects.characteristics.at(path).uuid);
    if (!complete(d.filter, uuids) && !d.graceOver) {
        if (!d.graceStarted) {
            d.graceStarted = true;
            startTimer(ctx, d, ctx.options().servicesGracePeriod);
        }
        return false;
    }
    std::vector<std::shared_ptr<PlatformCharacteristic>> found;
    for (const auto& path : paths) {
        const auto& props = objects.characteristics.at(path);
        if (wanted(d.filter, props.uuid)) found.push_back(characteristicObject(ctx, path, props, d.service));
    }
    ctx.deliver([self, service = d.service, found = std::move(found)]() mutable {
        service->setCharacteristics(std::move(found));
        if (auto del = self->delegate()) del->peripheralDidDiscoverCharacteristicsForService(self, service, std::nullopt);
    });
    return true;
}

std::shared_ptr<BlueZService> BlueZPeripheral::serviceObject(const std::string& path, const bluez::GattServiceProps& props) {
    const auto uuid = BleUUID::fromString(props.uuid);
    auto& slot = serviceObjects_[path];
    if (!slot || !(slot->uuid() == uuid)) slot = std::make_shared<BlueZService>(path, uuid, props.primary, weak_from_this());
    return slot;
}

std::shared_ptr<BlueZCharacteristic> BlueZPeripheral::characteristicObject(BlueZContext& ctx, const std::string& path,
                                                                            const bluez::GattCharacteristicProps& props,
                                                                            const std::shared_ptr<BlueZService>& service) {
    const auto uuid = BleUUID::fromString(props.uuid);
    auto& slot = characteristicObjects_[path];
    if (slot && slot->uuid() == uuid && slot->service() == service) return slot;
    if (slot) slot->abandon(ctx, shared_from_this(), attributeGoneError());  // replaced: its requests end here
    slot = std::make_shared<BlueZCharacteristic>(path, uuid, bluez::characteristicPropertiesOf(props.flags), service);
    return slot;
}

}  // namespace vexa
