#pragma once
// Records every platform callback (central and peripheral) with what it carried, including the
// characteristic's value at callback time, and notes any callback made off the expected queue.
#include <memory>
#include <vector>

#include "Platform/BlePlatform.h"
#include "Platform/RunLoop.h"

namespace vexa::test {

struct BleEvent {
    enum Kind { State, Discover, Connect, FailConnect, Disconnect, Services, Characteristics, Value, NotifyState, Write, Rssi };
    Kind kind;
    std::shared_ptr<PlatformPeripheral> peripheral;
    std::shared_ptr<PlatformService> service;
    std::shared_ptr<PlatformCharacteristic> characteristic;
    OptError error;
    AdvertisementData advertisement;
    int64_t rssi = 0;
    Bytes value;
    ManagerState state = ManagerState::Unknown;
};

class RecordingDelegate final : public PlatformCentralDelegate, public PlatformPeripheralDelegate {
public:
    explicit RecordingDelegate(std::shared_ptr<RunLoop> queue) : queue_(std::move(queue)) {}

    std::vector<BleEvent> events;
    bool offQueue = false;

    size_t count(BleEvent::Kind kind) const;
    std::vector<BleEvent> of(BleEvent::Kind kind) const;
    /// The last event of that kind, or null.
    const BleEvent* last(BleEvent::Kind kind) const;
    /// Index of the first event of that kind at or after `from`, or -1.
    int indexOf(BleEvent::Kind kind, size_t from = 0) const;

    void centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>& central) override;
    void centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>& central, const std::shared_ptr<PlatformPeripheral>& peripheral,
                                             const AdvertisementData& advertisementData, int64_t rssi) override;
    void centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>& central, const std::shared_ptr<PlatformPeripheral>& peripheral) override;
    void centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>& central, const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                  const OptError& error) override;
    void centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>& central, const std::shared_ptr<PlatformPeripheral>& peripheral,
                                               const OptError& error) override;
    void peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>& peripheral, const OptError& error) override;
    void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                        const std::shared_ptr<PlatformService>& service, const OptError& error) override;
    void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                   const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error) override;
    void peripheralDidUpdateNotificationStateForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                               const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                               const OptError& error) override;
    void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                  const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error) override;
    void peripheralDidReadRSSI(const std::shared_ptr<PlatformPeripheral>& peripheral, int64_t rssi, const OptError& error) override;

private:
    BleEvent& add(BleEvent::Kind kind);
    std::shared_ptr<RunLoop> queue_;
};

}  // namespace vexa::test
