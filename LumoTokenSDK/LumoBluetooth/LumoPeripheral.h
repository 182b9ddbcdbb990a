#pragma once
// Wraps one platform peripheral and is its delegate. Offers connect, disconnect, service discovery
// and RSSI reading with one completion each (a new request replaces the pending completion, which
// is then never called), announces connections and unrequested disconnections through the default
// notification centre, and routes characteristic answers to the service and characteristic
// wrappers of the latest discovery. Platform callbacks are moved to the main queue at once (handled
// in place when the central calls back on the main queue itself); the
// operations are to be called on the main queue.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "LumoTokenSDK/LumoBluetooth/LumoCallbacks.h"
#include "LumoTokenSDK/LumoBluetooth/LumoService.h"
#include "Platform/BlePlatform.h"
#include "Platform/DispatchQueue.h"

namespace vexa {

class LumoCentralManager;

/// Posted after every connection report, also a failed one. Object: the LumoPeripheral (as
/// shared_ptr<void>); userInfo {"error": Error, or NullMarker{} when there is none}.
inline constexpr char kLumoeripheralDidConnect[] = "LumoPeripheralDidConnect";
/// Posted when a disconnection is reported that the wrapper's own disconnect request did not ask
/// for. Object and userInfo as above.
inline constexpr char kLumoPeripheralDidDisconnect[] = "LumoPeripheralDidDisconnect";
/// The key of the error entry in both notifications.
inline constexpr char kLumoPeripheralErrorKey[] = "error";

inline constexpr char kLumoPeripheralErrorDomain[] = "org.vexatokenkit.LumoPeripheral";
/// The connection watchdog fired before the connection was made.
inline constexpr int64_t kConnectionTimeoutErrorCode = 408;
/// Service discovery or an RSSI read on a peripheral that is not connected.
inline constexpr int64_t kConnectionMissingErrorCode = 409;
inline constexpr char kConnectionTimeoutErrorMessage[] = "BLE Device can't be connected by given interval";
inline constexpr char kConnectionMissingErrorMessage[] = "BLE Device is not connected";

class LumoPeripheral : public PlatformPeripheralDelegate, public std::enable_shared_from_this<LumoPeripheral> {
public:
    /// Wraps `peripheral` and makes the wrapper its delegate. Connect and disconnect requests go to
    /// the platform central of `central` (dropped once that manager is gone).
    static std::shared_ptr<LumoPeripheral> create(std::shared_ptr<PlatformPeripheral> peripheral,
                                                  std::weak_ptr<LumoCentralManager> central);
    ~LumoPeripheral() override;
    LumoPeripheral(const LumoPeripheral&) = delete;
    LumoPeripheral& operator=(const LumoPeripheral&) = delete;

    const std::shared_ptr<PlatformPeripheral>& cbPeripheral() const { return cbPeripheral_; }
    /// The central manager that made this wrapper, or null once it is gone.
    std::shared_ptr<LumoCentralManager> centralManager() const { return central_.lock(); }
    /// Absent until the first service discovery answer; replaced as a whole by each one.
    const std::optional<LumoServiceList>& services() const { return services_; }
    /// True from a discovery request on a connected peripheral until its answer has been handled.
    bool isDiscoveringServices() const { return discoveringServices_; }
    /// False at every connect request; true once the connection watchdog has fired.
    bool watchDogRaised() const { return watchDogRaised_; }
    /// Smoothed signal strength of the advertisements; 0 until the first one.
    int64_t RSSI() const { return RSSI_; }
    void setRSSI(int64_t rssi) { RSSI_ = rssi; }
    /// The last advertisement's data.
    const AdvertisementData& advertisingData() const { return advertisingData_; }
    void setAdvertisingData(AdvertisementData data) { advertisingData_ = std::move(data); }

    /// The platform peripheral's state is Connected, read live.
    bool isConnected() const;
    /// The platform peripheral's identifier.
    std::string UUIDString() const;
    std::optional<std::string> name() const;
    /// "<LumoPeripheral: 0x...> UUIDString: <identifier>".
    std::string description() const;

    /// Replaces the connect completion and asks the platform central to connect; no state check.
    void connectWithCompletion(LumoErrorCallback completion);
    /// connectWithCompletion, then a watchdog after `seconds`: if no connection is reported by then,
    /// the connection is cancelled and, once that disconnection is reported, the connect completion
    /// (if still pending) gets error 408. An earlier watchdog is not cancelled here.
    void connectWithTimeout(unsigned seconds, LumoErrorCallback completion);
    /// Replaces the disconnect completion and asks the platform central to cancel the connection.
    /// The disconnection report then calls the completion and posts no notification.
    void disconnectWithCompletion(LumoErrorCallback completion);
    /// discoverServices with no filter.
    void discoverServicesWithCompletion(LumoServicesCallback completion);
    /// Replaces the discovery completion; connected: asks the platform; otherwise calls the
    /// completion at once with (nothing, 409) and clears it.
    void discoverServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs, LumoServicesCallback completion);
    /// Replaces the RSSI completion; connected: asks the platform; otherwise (nothing, 409) at once.
    /// The answer does not change RSSI().
    void readRSSIValueCompletion(LumoRSSICallback completion);

    /// A connection report (no error) or a failure report: cancels the watchdogs, calls and clears
    /// the connect completion, posts kLumoeripheralDidConnect. Called by the central on the main queue.
    void handleConnectionWithError(const OptError& error);
    /// A disconnection report: calls and clears the disconnect completion if one is pending,
    /// otherwise posts kLumoPeripheralDidDisconnect. Called by the central on the main queue.
    void handleDisconnectWithError(const OptError& error);
    /// An error in kLumoPeripheralErrorDomain.
    static Error connectionErrorWithCode(int64_t code, const std::string& message);
    /// The watchdog: raises watchDogRaised and disconnects; the disconnection report answers the
    /// pending connect completion with 408.
    void connectionWatchDogFired();

    /// New service wrappers for the platform peripheral's current services, in its order.
    void updateServiceWrappers();
    /// The wrapper of that very platform service (identity), or null.
    std::shared_ptr<LumoService> wrapperByService(const std::shared_ptr<PlatformService>& service) const;

    // Platform delegate: called on the central's callback queue; each hops to the main queue (runs in
    // place when that queue is the main queue).
    void peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>& peripheral, const OptError& error) override;
    void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                        const std::shared_ptr<PlatformService>& service,
                                                        const OptError& error) override;
    void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                   const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                   const OptError& error) override;
    void peripheralDidUpdateNotificationStateForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                               const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                               const OptError& error) override;
    void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                  const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                  const OptError& error) override;
    void peripheralDidReadRSSI(const std::shared_ptr<PlatformPeripheral>& peripheral, int64_t rssi, const OptError& error) override;

private:
    LumoPeripheral(std::shared_ptr<PlatformPeripheral> peripheral, std::weak_ptr<LumoCentralManager> central);

    // The platform central of the manager that made this wrapper, or null.
    std::shared_ptr<PlatformCentral> platformCentral() const;
    // Runs `work(*this)` on the main queue, unless the wrapper is gone by then; one closure per task.
    template <class Work>
    void onMain(Work&& work);
    // True when the central calls back on the main queue itself.
    bool callsBackOnMain() const;
    // The characteristic wrapper of the latest discoveries, or null.
    std::shared_ptr<LumoCharacteristic> characteristicWrapper(const std::shared_ptr<PlatformService>& service,
                                                              const std::shared_ptr<PlatformCharacteristic>& characteristic) const;
    // The same found by the characteristic alone, across the discovered services.
    std::shared_ptr<LumoCharacteristic> characteristicWrapper(const std::shared_ptr<PlatformCharacteristic>& characteristic) const;
    void post(const char* name, const OptError& error);

    // The completion slots are read and replaced under `slotMutex_` (each access is indivisible).
    template <class Callback>
    Callback takeSlot(Callback& slot);
    template <class Callback>
    void replaceSlot(Callback& slot, Callback callback);

    std::shared_ptr<PlatformPeripheral> cbPeripheral_;
    std::weak_ptr<LumoCentralManager> central_;
    // The central's queue (fixed for the central's life) once seen, and whether it is a run loop.
    mutable std::atomic<const DispatchQueue*> centralQueue_{nullptr};
    mutable std::atomic<bool> centralQueueIsLoop_{false};
    std::optional<LumoServiceList> services_;
    bool discoveringServices_ = false;
    bool watchDogRaised_ = false;
    int64_t RSSI_ = 0;
    AdvertisementData advertisingData_;
    std::vector<DelayedCall> watchDogs_;
    std::optional<Bytes> valueBuffer_{Bytes()};  // a value update handled in place
    std::shared_ptr<LumoCharacteristic> valueWrapper_;  // the wrapper it last went to
    bool updatingValue_ = false;

    mutable std::mutex slotMutex_;
    LumoErrorCallback connectionBlock_;
    LumoErrorCallback disconnectBlock_;
    LumoServicesCallback discoverServicesBlock_;
    LumoRSSICallback rssiValueBlock_;
};

}  // namespace vexa
