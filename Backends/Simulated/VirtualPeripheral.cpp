#include "Backends/Simulated/VirtualPeripheral.h"

#include <cstdio>
#include <random>

#include "Backends/Simulated/SimulatedErrors.h"
#include "Backends/Simulated/SimulatedPeripheral.h"
#include "Backends/Simulated/SimulatedRadio.h"

namespace vexa {
namespace {

std::string randomIdentifier() {
    static std::mutex mutex;
    static std::mt19937_64 engine{std::random_device{}()};
    uint64_t hi, lo;
    {
        std::lock_guard lock(mutex);
        hi = engine();
        lo = engine();
    }
    hi = (hi & ~0xF000ull) | 0x4000ull;                       // version 4
    lo = (lo & ~(0xC000ull << 48)) | (0x8000ull << 48);       // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(hi >> 32),
                  static_cast<unsigned>((hi >> 16) & 0xFFFF), static_cast<unsigned>(hi & 0xFFFF),
                  static_cast<unsigned>(lo >> 48), static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFull));
    return text;
}

}  // namespace

std::shared_ptr<VirtualPeripheral> VirtualPeripheral::create(std::optional<std::string> name, std::string identifier) {
    return std::make_shared<VirtualPeripheral>(std::move(name), std::move(identifier));
}

VirtualPeripheral::VirtualPeripheral(std::optional<std::string> name, std::string identifier)
    : identifier_(identifier.empty() ? randomIdentifier() : std::move(identifier)), name_(std::move(name)) {}

std::optional<std::string> VirtualPeripheral::name() const {
    std::lock_guard lock(nameMutex_);
    return name_;
}

void VirtualPeripheral::setName(std::optional<std::string> name) {
    {
        std::lock_guard lock(nameMutex_);
        name_ = std::move(name);
    }
    advertisingChanged();
}

void VirtualPeripheral::setRssi(int64_t rssi) {
    rssi_ = rssi;
    rssiSource_ = nullptr;
}

void VirtualPeripheral::setRssiSource(std::function<int64_t()> source) { rssiSource_ = std::move(source); }

int64_t VirtualPeripheral::sampleRssi() { return rssiSource_ ? rssiSource_() : rssi_; }

void VirtualPeripheral::setAdvertisedServices(std::vector<BleUUID> uuids) {
    advertisedServices_ = std::move(uuids);
    advertisingChanged();
}

void VirtualPeripheral::setManufacturerData(std::map<uint16_t, Bytes> data) {
    manufacturerData_ = std::move(data);
    advertisingChanged();
}

void VirtualPeripheral::setAdvertisingInterval(Duration interval) {
    advertisingInterval_ = std::max(interval, Duration(std::chrono::milliseconds(1)));
}

void VirtualPeripheral::setAdvertising(bool on) {
    advertising_ = on;
    advertisingChanged();
}

void VirtualPeripheral::setAdvertisesWhileConnected(bool on) {
    advertisesWhileConnected_ = on;
    advertisingChanged();
}

bool VirtualPeripheral::isAdvertisingNow() const {
    return advertising_ && !radio_.expired() && (advertisesWhileConnected_ || !connected_.load());
}

AdvertisementData VirtualPeripheral::advertisementData() const {
    AdvertisementData data;
    data.localName = name();
    data.serviceUUIDs = advertisedServices_;
    data.manufacturerData = manufacturerData_;
    return data;
}

void VirtualPeripheral::addService(std::shared_ptr<VirtualService> service) {
    if (service) services_.push_back(std::move(service));
}

std::shared_ptr<VirtualCharacteristic> VirtualPeripheral::characteristic(const BleUUID& service, const BleUUID& characteristic) const {
    for (const auto& s : services_)
        if (s->uuid() == service) return s->characteristic(characteristic);
    return nullptr;
}

LinkTiming VirtualPeripheral::effectiveLinkTiming() const {
    if (linkTiming_) return *linkTiming_;
    if (radio_.expired()) return {};
    const auto load = [](const std::atomic<Duration::rep>& field) { return Duration(field.load(std::memory_order_relaxed)); };
    return LinkTiming{load(radioTiming_.connection), load(radioTiming_.discovery), load(radioTiming_.writeWithResponse),
                      load(radioTiming_.writeWithoutResponse), load(radioTiming_.notification)};
}

void VirtualPeripheral::setRadioTiming(const LinkTiming& timing) {
    radioTiming_.connection.store(timing.connection.count(), std::memory_order_relaxed);
    radioTiming_.discovery.store(timing.discovery.count(), std::memory_order_relaxed);
    radioTiming_.writeWithResponse.store(timing.writeWithResponse.count(), std::memory_order_relaxed);
    radioTiming_.writeWithoutResponse.store(timing.writeWithoutResponse.count(), std::memory_order_relaxed);
    radioTiming_.notification.store(timing.notification.count(), std::memory_order_relaxed);
}

void VirtualPeripheral::setMaximumWriteValueLength(WriteType type, size_t length) {
    (type == WriteType::WithResponse ? maxWithResponse_ : maxWithoutResponse_).store(length);
}

size_t VirtualPeripheral::maximumWriteValueLength(WriteType type) const {
    return (type == WriteType::WithResponse ? maxWithResponse_ : maxWithoutResponse_).load();
}

bool VirtualPeripheral::notify(const std::shared_ptr<VirtualCharacteristic>& characteristic, Bytes value) {
    return notifyReusing(characteristic, value);
}

bool VirtualPeripheral::notifyReusing(const std::shared_ptr<VirtualCharacteristic>& characteristic, Bytes& value) {
    if (!characteristic || !characteristic->isSubscribed()) return false;
    // The peer handing over a write is alive for the call: no lookup then.
    if (writingPeer_) return writingPeer_->queueNotification(characteristic, value);
    auto peer = peer_.lock();
    return peer && peer->queueNotification(characteristic, value);
}

void VirtualPeripheral::disconnect(OptError error) {
    auto peer = peer_.lock();
    if (!peer) return;
    peer->loseLink(error ? error : OptError(simulatedError(SimulatedBleError::PeripheralDisconnected)));
}

void VirtualPeripheral::linkUp(const std::shared_ptr<SimulatedPeripheral>& peer) {
    peer_ = peer;
    connected_.store(true);
    advertisingChanged();
}

void VirtualPeripheral::callConnectedHandler() {
    if (onConnected_) onConnected_();
}

void VirtualPeripheral::linkDown(const OptError& reason) {
    peer_.reset();
    writingPeer_ = nullptr;
    connected_.store(false);
    for (const auto& s : services_)
        for (const auto& c : s->characteristics()) c->resetSubscription();
    if (onDisconnected_) onDisconnected_(reason);
    advertisingChanged();
}

void VirtualPeripheral::advertisingChanged() {
    if (auto r = radio_.lock()) r->advertisingChanged(shared_from_this());
}

}  // namespace vexa
