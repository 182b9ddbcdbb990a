#include "Backends/Simulated/SimulatedCentral.h"

#include <algorithm>

#include "Backends/Simulated/SimulatedErrors.h"
#include "Platform/MainQueue.h"

namespace vexa {

SimulatedCentral::SimulatedCentral(std::shared_ptr<SimulatedRadio> radio, std::weak_ptr<PlatformCentralDelegate> delegate,
                                   std::shared_ptr<DispatchQueue> callbackQueue)
    : radio_(std::move(radio)), delegate_(std::move(delegate)), callbackQueue_(callbackQueue ? std::move(callbackQueue) : mainQueue()) {}

std::shared_ptr<SimulatedPeripheral> SimulatedCentral::peripheralFor(const std::shared_ptr<VirtualPeripheral>& device) {
    std::lock_guard lock(mutex_);
    auto& slot = peripherals_[device.get()];
    if (!slot) {
        slot = std::make_shared<SimulatedPeripheral>(weak_from_this(), device, callbackQueue_);
        ordered_.push_back(slot);
    }
    return slot;
}

std::shared_ptr<SimulatedPeripheral> SimulatedCentral::existingPeripheral(const VirtualPeripheral* device) const {
    std::lock_guard lock(mutex_);
    auto it = peripherals_.find(device);
    return it == peripherals_.end() ? nullptr : it->second;
}

std::shared_ptr<SimulatedPeripheral> SimulatedCentral::own(const std::shared_ptr<PlatformPeripheral>& peripheral) const {
    auto sim = std::dynamic_pointer_cast<SimulatedPeripheral>(peripheral);
    if (!sim || sim->central().get() != this) return nullptr;
    return sim;
}

void SimulatedCentral::postStateUpdate() {
    callbackQueue_->async([self = shared_from_this()] {
        if (auto d = self->delegate()) d->centralManagerDidUpdateState(self);
    });
}

void SimulatedCentral::scanForPeripherals(const std::optional<std::vector<BleUUID>>& serviceUUIDs, const ScanOptions& options) {
    mainQueue()->async([self = shared_from_this(), serviceUUIDs, options] { self->startScan(serviceUUIDs, options); });
}

void SimulatedCentral::stopScan() {
    mainQueue()->async([self = shared_from_this()] { self->endScan(); });
}

void SimulatedCentral::startScan(std::optional<std::vector<BleUUID>> filter, ScanOptions options) {
    endScan();
    if (radio_->state() != ManagerState::PoweredOn) return;
    scanning_ = true;
    const uint64_t id = ++scanId_;
    filter_ = std::move(filter);
    options_ = options;
    for (const auto& device : radio_->peripherals()) advertise(device, id);
}

void SimulatedCentral::endScan() {
    scanning_ = false;
    ++scanId_;
    for (auto& [device, timer] : adTimers_) timer.cancel();
    adTimers_.clear();
    heard_.clear();
}

bool SimulatedCentral::matchesFilter(const VirtualPeripheral& device) const {
    if (!filter_) return true;
    for (const auto& uuid : device.advertisedServices())
        if (std::find(filter_->begin(), filter_->end(), uuid) != filter_->end()) return true;
    return false;
}

// One advertisement of `device` reaching this central's scan `scanId`; with duplicates allowed the
// next one is scheduled an advertising interval later.
void SimulatedCentral::advertise(const std::shared_ptr<VirtualPeripheral>& device, uint64_t scanId) {
    adTimers_.erase(device.get());
    if (!scanning_ || scanId != scanId_ || device->radio() != radio_ || !device->isAdvertisingNow() || !matchesFilter(*device))
        return;
    const bool first = heard_.insert(device.get()).second;
    if (first || options_.allowDuplicates) {
        auto peripheral = peripheralFor(device);
        AdvertisementData data = device->advertisementData();
        const int64_t rssi = device->sampleRssi();
        callbackQueue_->async([self = shared_from_this(), peripheral, data = std::move(data), rssi] {
            if (auto d = self->delegate()) d->centralManagerDidDiscoverPeripheral(self, peripheral, data, rssi);
        });
    }
    if (!options_.allowDuplicates) return;
    std::weak_ptr<SimulatedCentral> weakSelf = weak_from_this();
    std::weak_ptr<VirtualPeripheral> weakDevice = device;
    adTimers_[device.get()] = mainQueue()->asyncAfter(device->advertisingInterval(), [weakSelf, weakDevice, scanId] {
        auto self = weakSelf.lock();
        auto dev = weakDevice.lock();
        if (self && dev) self->advertise(dev, scanId);
    });
}

void SimulatedCentral::advertisingChanged(const std::shared_ptr<VirtualPeripheral>& device) {
    if (auto peripheral = existingPeripheral(device.get())) peripheral->deviceInRange();
    if (!scanning_ || adTimers_.count(device.get())) return;  // a running advertisement cycle picks the change up
    if (!options_.allowDuplicates && heard_.count(device.get())) return;
    advertise(device, scanId_);
}

void SimulatedCentral::connectPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    if (!peripheral) return;
    mainQueue()->async([self = shared_from_this(), peripheral] {
        if (auto sim = self->own(peripheral)) {
            sim->startConnect();
            return;
        }
        self->callbackQueue_->async([self, peripheral] {
            if (auto d = self->delegate())
                d->centralManagerDidFailToConnectPeripheral(self, peripheral, simulatedError(SimulatedBleError::InvalidParameters));
        });
    });
}

void SimulatedCentral::cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    if (!peripheral) return;
    mainQueue()->async([self = shared_from_this(), peripheral] {
        if (auto sim = self->own(peripheral)) sim->cancelConnection();
    });
}

std::vector<std::shared_ptr<PlatformPeripheral>> SimulatedCentral::retrievePeripheralsWithIdentifiers(
    const std::vector<std::string>& identifiers) {
    std::vector<std::shared_ptr<PlatformPeripheral>> out;
    for (const auto& id : identifiers)
        if (auto device = radio_->peripheral(id)) out.push_back(peripheralFor(device));
    return out;
}

std::vector<std::shared_ptr<PlatformPeripheral>> SimulatedCentral::retrieveConnectedPeripheralsWithServices(
    const std::vector<BleUUID>& serviceUUIDs) {
    std::vector<std::shared_ptr<PlatformPeripheral>> out;
    for (const auto& device : radio_->peripherals()) {
        if (!device->isConnected()) continue;
        const auto& services = device->services();
        const bool offers = std::any_of(services.begin(), services.end(), [&](const auto& s) {
            return std::find(serviceUUIDs.begin(), serviceUUIDs.end(), s->uuid()) != serviceUUIDs.end();
        });
        if (offers) out.push_back(peripheralFor(device));
    }
    return out;
}

void SimulatedCentral::radioStateChanged(ManagerState state) {
    postStateUpdate();
    if (state == ManagerState::PoweredOn) return;
    endScan();
    std::vector<std::shared_ptr<SimulatedPeripheral>> all;
    {
        std::lock_guard lock(mutex_);
        all = ordered_;
    }
    for (const auto& p : all) p->poweredOff();
}

}  // namespace vexa
