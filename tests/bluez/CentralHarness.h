#pragma once
// A central of the fixture's backend with a recording delegate, and the steps most tests share.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/bluez/BlueZFixture.h"
#include "tests/bluez/RecordingDelegate.h"

namespace vexa::test {

inline BleUUID tokenService() { return BleUUID::fromString(kTokenServiceUuid); }
inline BleUUID tokenWrite() { return BleUUID::fromString(kTokenWriteUuid); }
inline BleUUID tokenNotify() { return BleUUID::fromString(kTokenNotifyUuid); }

class CentralHarness {
public:
    explicit CentralHarness(BlueZFixture& fixture, std::shared_ptr<BlueZBackend> backend = nullptr);

    struct Gatt {
        std::shared_ptr<PlatformService> service;
        std::shared_ptr<PlatformCharacteristic> write;
        std::shared_ptr<PlatformCharacteristic> notify;
    };

    /// Waits until the central's state is `state` and its last state callback said so. (A state
    /// callback still queued from an earlier change may not have been heard yet: after a change
    /// back to an earlier state, wait on the events instead.)
    bool waitForState(ManagerState state);
    /// Waits for an event of `kind` recorded at or after index `from`; returns its index or -1.
    int waitForEvent(BleEvent::Kind kind, size_t from);
    /// Scans (token service filter by default) until the device is reported; its delegate is set.
    std::shared_ptr<PlatformPeripheral> scanFor(const std::string& address,
                                                std::optional<std::vector<BleUUID>> filter = std::vector<BleUUID>{tokenService()});
    bool connect(const std::shared_ptr<PlatformPeripheral>& peripheral);
    std::optional<Gatt> discoverGatt(const std::shared_ptr<PlatformPeripheral>& peripheral);
    bool enableNotify(const std::shared_ptr<PlatformPeripheral>& peripheral, const std::shared_ptr<PlatformCharacteristic>& characteristic);
    /// scanFor + stopScan + connect + discoverGatt + enableNotify on the notify characteristic.
    std::optional<Gatt> connectToken(const std::string& address, std::shared_ptr<PlatformPeripheral>* peripheral = nullptr);

    BlueZFixture& f;
    std::shared_ptr<RecordingDelegate> delegate;
    std::shared_ptr<PlatformCentral> central;
};

}  // namespace vexa::test
