#include "tests/bluez/RecordingDelegate.h"

namespace vexa::test {

BleEvent& RecordingDelegate::add(BleEvent::Kind kind) {
    if (!queue_->isCurrent()) offQueue = true;
    events.push_back(BleEvent{kind, {}, {}, {}, {}, {}, 0, {}, ManagerState::Unknown});
    return events.back();
}

size_t RecordingDelegate::count(BleEvent::Kind kind) const { return of(kind).size(); }

std::vector<BleEvent> RecordingDelegate::of(BleEvent::Kind kind) const {
    std::vector<BleEvent> out;
    for (const auto& e : events) {
        if (e.kind == kind) out.push_back(e);
    }
    return out;
}

const BleEvent* RecordingDelegate::last(BleEvent::Kind kind) const {
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
        if (it->kind == kind) return &*it;
    }
    return nullptr;
}

int RecordingDelegate::indexOf(BleEvent::Kind kind, size_t from) const {
    for (size_t i = from; i < events.size(); ++i) {
        if (events[i].kind == kind) return static_cast<int>(i);
    }
    return -1;
}

void RecordingDelegate::centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>& central) {
    add(BleEvent::State).state = central->state();
}

void RecordingDelegate::centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>&, const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                            const AdvertisementData& advertisementData, int64_t rssi) {
    auto& e = add(BleEvent::Discover);
    e.peripheral = peripheral;
    e.advertisement = advertisementData;
    e.rssi = rssi;
}

void RecordingDelegate::centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>&, const std::shared_ptr<PlatformPeripheral>& peripheral) {
    add(BleEvent::Connect).peripheral = peripheral;
}

void RecordingDelegate::centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                                 const std::shared_ptr<PlatformPeripheral>& peripheral, const OptError& error) {
    auto& e = add(BleEvent::FailConnect);
    e.peripheral = peripheral;
    e.error = error;
}

void RecordingDelegate::centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                              const std::shared_ptr<PlatformPeripheral>& peripheral, const OptError& error) {
    auto& e = add(BleEvent::Disconnect);
    e.peripheral = peripheral;
    e.error = error;
}

void RecordingDelegate::peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>& peripheral, const OptError& error) {
    auto& e = add(BleEvent::Services);
    e.peripheral = peripheral;
    e.error = error;
}

void RecordingDelegate::peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                                       const std::shared_ptr<PlatformService>& service, const OptError& error) {
    auto& e = add(BleEvent::Characteristics);
    e.peripheral = peripheral;
    e.service = service;
    e.error = error;
}

void RecordingDelegate::peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                                  const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error) {
    auto& e = add(BleEvent::Value);
    e.peripheral = peripheral;
    e.characteristic = characteristic;
    e.error = error;
    if (characteristic) e.value = characteristic->value();
}

void RecordingDelegate::peripheralDidUpdateNotificationStateForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                                              const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                                              const OptError& error) {
    auto& e = add(BleEvent::NotifyState);
    e.peripheral = peripheral;
    e.characteristic = characteristic;
    e.error = error;
}

void RecordingDelegate::peripheralDidWriteValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                                 const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error) {
    auto& e = add(BleEvent::Write);
    e.peripheral = peripheral;
    e.characteristic = characteristic;
    e.error = error;
}

void RecordingDelegate::peripheralDidReadRSSI(const std::shared_ptr<PlatformPeripheral>& peripheral, int64_t rssi, const OptError& error) {
    auto& e = add(BleEvent::Rssi);
    e.peripheral = peripheral;
    e.rssi = rssi;
    e.error = error;
}

}  // namespace vexa::test
