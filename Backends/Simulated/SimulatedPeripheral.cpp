#include "Backends/Simulated/SimulatedPeripheral.h"

#include "Backends/Simulated/SimulatedCentral.h"
#include "Backends/Simulated/SimulatedErrors.h"
#include "Platform/MainQueue.h"

namespace vexa {

SimulatedPeripheral::SimulatedPeripheral(std::weak_ptr<SimulatedCentral> central, std::shared_ptr<VirtualPeripheral> device,
                                         std::shared_ptr<DispatchQueue> callbackQueue)
    : central_(std::move(central)), device_(std::move(device)), callbackQueue_(std::move(callbackQueue)) {}

std::vector<std::shared_ptr<PlatformService>> SimulatedPeripheral::services() const {
    std::lock_guard lock(mutex_);
    return discovered_;
}

void SimulatedPeripheral::setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
    delegateChanges_.fetch_add(1, std::memory_order_release);
}

std::shared_ptr<PlatformPeripheralDelegate> SimulatedPeripheral::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void SimulatedPeripheral::postToCentral(CentralTask task) {
    auto central = central_.lock();
    if (!central) return;
    callbackQueue_->async([central, self = shared_from_this(), task = std::move(task)] {
        if (auto d = central->delegate()) task(*d, central, self);
    });
}

void SimulatedPeripheral::observe(TrafficKind kind, const SimulatedCharacteristic& characteristic, const Bytes& bytes) const {
    // The device's radio is the central's while they are linked; it tells without a lock whether
    // anybody watches.
    if (!device_->radioObserved()) return;
    auto central = central_.lock();
    if (!central || !central->radio()->hasTrafficObserver()) return;
    central->radio()->observe(TrafficRecord{device_->identifier(), characteristic.uuid(), kind, bytes});
}

bool SimulatedPeripheral::deviceInRangeOfCentral() const {
    auto central = central_.lock();
    return central && device_->radio() == central->radio();
}

// ---- Connection ----

void SimulatedPeripheral::startConnect() {
    auto central = central_.lock();
    if (!central) return;
    if (central->radio()->state() != ManagerState::PoweredOn) {
        postToCentral([](auto& d, auto& c, auto& p) { d.centralManagerDidFailToConnectPeripheral(c, p, simulatedError(SimulatedBleError::PoweredOff)); });
        return;
    }
    switch (state_.load()) {
        case PeripheralState::Connected:
            postToCentral([](auto& d, auto& c, auto& p) { d.centralManagerDidConnectPeripheral(c, p); });
            return;
        case PeripheralState::Connecting:
            return;  // the pending attempt answers
        default:
            break;
    }
    state_ = PeripheralState::Connecting;
    auto fault = device_->faults().takeConnectFault();
    if (fault && fault->ignore) return;  // pending until cancelled
    scheduleConnect(std::move(fault));
}

void SimulatedPeripheral::scheduleConnect(std::optional<FaultPlan::ConnectFault> fault) {
    std::weak_ptr<SimulatedPeripheral> weak = weak_from_this();
    connectTimer_ = mainQueue()->asyncAfter(timing().connection, [weak, fault = std::move(fault)] {
        if (auto self = weak.lock()) self->finishConnect(fault);
    });
}

void SimulatedPeripheral::finishConnect(std::optional<FaultPlan::ConnectFault> fault) {
    if (state_.load() != PeripheralState::Connecting) return;
    if (fault) {
        state_ = PeripheralState::Disconnected;
        postToCentral([error = fault->error](auto& d, auto& c, auto& p) { d.centralManagerDidFailToConnectPeripheral(c, p, error); });
        return;
    }
    if (!deviceInRangeOfCentral()) {
        waitingForRange_ = true;  // like a real central, keep trying until cancelled
        return;
    }
    if (device_->isConnected()) {
        state_ = PeripheralState::Disconnected;
        postToCentral([](auto& d, auto& c, auto& p) {
            d.centralManagerDidFailToConnectPeripheral(c, p, simulatedError(SimulatedBleError::ConnectionFailed));
        });
        return;
    }
    link_ = std::make_shared<SimulatedLink>();
    held_.clear();
    dropFreeNotifications();
    state_ = PeripheralState::Connected;
    device_->linkUp(shared_from_this());
    postToCentral([](auto& d, auto& c, auto& p) { d.centralManagerDidConnectPeripheral(c, p); });
    device_->callConnectedHandler();
}

void SimulatedPeripheral::deviceInRange() {
    if (!waitingForRange_ || state_.load() != PeripheralState::Connecting || !deviceInRangeOfCentral()) return;
    waitingForRange_ = false;
    scheduleConnect(std::nullopt);
}

void SimulatedPeripheral::cancelConnection() {
    switch (state_.load()) {
        case PeripheralState::Connecting:
            connectTimer_.cancel();
            waitingForRange_ = false;
            state_ = PeripheralState::Disconnected;
            postToCentral([](auto& d, auto& c, auto& p) { d.centralManagerDidDisconnectPeripheral(c, p, std::nullopt); });
            return;
        case PeripheralState::Connected:
            loseLink(std::nullopt);
            return;
        default:
            return;  // nothing to cancel
    }
}

void SimulatedPeripheral::poweredOff() {
    const Error off = simulatedError(SimulatedBleError::PoweredOff);
    switch (state_.load()) {
        case PeripheralState::Connecting:
            connectTimer_.cancel();
            waitingForRange_ = false;
            state_ = PeripheralState::Disconnected;
            postToCentral([off](auto& d, auto& c, auto& p) { d.centralManagerDidFailToConnectPeripheral(c, p, off); });
            return;
        case PeripheralState::Connected:
            loseLink(off);
            return;
        default:
            return;
    }
}

void SimulatedPeripheral::loseLink(const OptError& error) {
    if (state_.load() != PeripheralState::Connected || !link_) return;
    auto link = std::move(link_);
    std::vector<Task> aborts = link->close();
    held_.clear();
    dropFreeNotifications();
    state_ = PeripheralState::Disconnected;
    for (const auto& [key, object] : characteristicObjects_) object->setNotifying(false);
    postToCentral([error](auto& d, auto& c, auto& p) { d.centralManagerDidDisconnectPeripheral(c, p, error); });
    for (Task& abort : aborts) abort();
    device_->linkDown(error);
}

// ---- Requests: each moves to the main queue first ----

void SimulatedPeripheral::discoverServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs) {
    onMain([serviceUUIDs](SimulatedPeripheral& self) { self.doDiscoverServices(serviceUUIDs); });
}

void SimulatedPeripheral::discoverCharacteristics(const std::optional<std::vector<BleUUID>>& characteristicUUIDs,
                                                  const std::shared_ptr<PlatformService>& service) {
    onMain([characteristicUUIDs, service](SimulatedPeripheral& self) { self.doDiscoverCharacteristics(characteristicUUIDs, service); });
}

void SimulatedPeripheral::setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    onMain([enabled, characteristic](SimulatedPeripheral& self) { self.doSetNotify(enabled, characteristic); });
}

void SimulatedPeripheral::readValue(const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    onMain([characteristic](SimulatedPeripheral& self) { self.doRead(characteristic); });
}

void SimulatedPeripheral::writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic, WriteType type) {
    onMain([data, characteristic, type](SimulatedPeripheral& self) mutable { self.doWrite(std::move(data), characteristic, type); });
}

bool SimulatedPeripheral::writeValues(WriteBatch& batch, const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    onMain([batch = std::move(batch), characteristic](SimulatedPeripheral& self) mutable { self.doWriteBatch(std::move(batch), characteristic); });
    batch.clear();
    return true;
}

void SimulatedPeripheral::readRSSI() {
    onMain([](SimulatedPeripheral& self) { self.doReadRSSI(); });
}

}  // namespace vexa
