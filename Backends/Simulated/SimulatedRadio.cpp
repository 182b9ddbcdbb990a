#include "Backends/Simulated/SimulatedRadio.h"

#include <algorithm>

#include "Backends/Simulated/SimulatedCentral.h"
#include "Backends/Simulated/SimulatedErrors.h"

namespace vexa {

std::shared_ptr<SimulatedRadio> SimulatedRadio::create() { return std::make_shared<SimulatedRadio>(); }

void SimulatedRadio::addPeripheral(const std::shared_ptr<VirtualPeripheral>& peripheral) {
    if (!peripheral) return;
    if (auto other = peripheral->radio(); other && other.get() != this) other->removePeripheral(peripheral);
    {
        std::lock_guard lock(mutex_);
        if (std::find(peripherals_.begin(), peripherals_.end(), peripheral) != peripherals_.end()) return;
        peripherals_.push_back(peripheral);
        peripheral->setRadioTiming(timing_);
        peripheral->setRadioObserved(static_cast<bool>(observer_));
    }
    peripheral->attachRadio(shared_from_this());
    advertisingChanged(peripheral);
}

void SimulatedRadio::removePeripheral(const std::shared_ptr<VirtualPeripheral>& peripheral) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(peripherals_.begin(), peripherals_.end(), peripheral);
        if (it == peripherals_.end()) return;
        peripherals_.erase(it);
    }
    peripheral->detachRadio();  // first, so that the link loss below does not make it heard again
    if (peripheral->isConnected()) peripheral->disconnect(simulatedError(SimulatedBleError::ConnectionTimeout));
}

std::vector<std::shared_ptr<VirtualPeripheral>> SimulatedRadio::peripherals() const {
    std::lock_guard lock(mutex_);
    return peripherals_;
}

std::shared_ptr<VirtualPeripheral> SimulatedRadio::peripheral(const std::string& identifier) const {
    std::lock_guard lock(mutex_);
    for (const auto& p : peripherals_)
        if (p->identifier() == identifier) return p;
    return nullptr;
}

bool SimulatedRadio::contains(const VirtualPeripheral* peripheral) const {
    std::lock_guard lock(mutex_);
    return std::any_of(peripherals_.begin(), peripherals_.end(), [&](const auto& p) { return p.get() == peripheral; });
}

void SimulatedRadio::setState(ManagerState state) {
    if (state_.exchange(state) == state) return;
    for (const auto& central : liveCentrals()) central->radioStateChanged(state);
}

void SimulatedRadio::setLinkTiming(LinkTiming timing) {
    std::lock_guard lock(mutex_);
    timing_ = timing;
    // Each device keeps the radio's timing, so that reading it on every operation takes no lock.
    for (const auto& peripheral : peripherals_) peripheral->setRadioTiming(timing);
}

LinkTiming SimulatedRadio::linkTiming() const {
    std::lock_guard lock(mutex_);
    return timing_;
}

void SimulatedRadio::setTrafficObserver(TrafficObserver observer) {
    observer_ = std::move(observer);
    std::lock_guard lock(mutex_);
    for (const auto& peripheral : peripherals_) peripheral->setRadioObserved(static_cast<bool>(observer_));
}

void SimulatedRadio::observe(const TrafficRecord& record) {
    if (observer_) observer_(record);
}

std::shared_ptr<PlatformCentral> SimulatedRadio::createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                               std::shared_ptr<DispatchQueue> callbackQueue) {
    auto central = std::make_shared<SimulatedCentral>(shared_from_this(), std::move(delegate), std::move(callbackQueue));
    {
        std::lock_guard lock(mutex_);
        std::erase_if(centrals_, [](const auto& weak) { return weak.expired(); });
        centrals_.push_back(central);
    }
    central->postStateUpdate();
    return central;
}

void SimulatedRadio::advertisingChanged(const std::shared_ptr<VirtualPeripheral>& peripheral) {
    for (const auto& central : liveCentrals()) central->advertisingChanged(peripheral);
}

std::vector<std::shared_ptr<SimulatedCentral>> SimulatedRadio::liveCentrals() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<SimulatedCentral>> out;
    out.reserve(centrals_.size());
    for (const auto& weak : centrals_)
        if (auto c = weak.lock()) out.push_back(std::move(c));
    return out;
}

}  // namespace vexa
