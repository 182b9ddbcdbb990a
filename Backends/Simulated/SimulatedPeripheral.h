#pragma once
// Platform side of a virtual peripheral, as one central sees it: requests go to the main queue,
// then onto the connection's link; answers are posted to the central's callback queue.
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Backends/Simulated/SimulatedLink.h"
#include "Backends/Simulated/SimulatedService.h"
#include "Backends/Simulated/TrafficRecord.h"
#include "Backends/Simulated/VirtualPeripheral.h"
#include "Platform/BlePlatform.h"
#include "Platform/MainQueue.h"

namespace vexa {

class SimulatedCentral;

class SimulatedPeripheral final : public PlatformPeripheral, public std::enable_shared_from_this<SimulatedPeripheral> {
public:
    SimulatedPeripheral(std::weak_ptr<SimulatedCentral> central, std::shared_ptr<VirtualPeripheral> device,
                        std::shared_ptr<DispatchQueue> callbackQueue);

    std::string identifier() const override { return device_->identifier(); }
    std::optional<std::string> name() const override { return device_->name(); }
    PeripheralState state() const override { return state_.load(); }
    std::vector<std::shared_ptr<PlatformService>> services() const override;
    void setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) override;

    void discoverServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs) override;
    void discoverCharacteristics(const std::optional<std::vector<BleUUID>>& characteristicUUIDs,
                                 const std::shared_ptr<PlatformService>& service) override;
    void setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) override;
    void readValue(const std::shared_ptr<PlatformCharacteristic>& characteristic) override;
    void writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic, WriteType type) override;
    bool writeValues(WriteBatch& batch, const std::shared_ptr<PlatformCharacteristic>& characteristic) override;
    size_t maximumWriteValueLength(WriteType type) const override { return device_->maximumWriteValueLength(type); }
    void readRSSI() override;

    // ---- Used by the stack (main queue) ----
    const std::shared_ptr<VirtualPeripheral>& device() const { return device_; }
    std::shared_ptr<SimulatedCentral> central() const { return central_.lock(); }
    void startConnect();
    void cancelConnection();
    /// Ends a live link with `error` given to the central (none: the central cancelled).
    void loseLink(const OptError& error);
    /// Bluetooth left the powered-on state: fail a pending connect, drop a live link.
    void poweredOff();
    /// The device came in range or changed its advertising: a connect waiting for it goes on.
    void deviceInRange();
    /// Queues a device notification on the link, taking `value`'s bytes and leaving in it an empty
    /// buffer (a spare one when there is one); false, `value` untouched, when not connected.
    bool queueNotification(const std::shared_ptr<VirtualCharacteristic>& characteristic, Bytes& value);

private:
    using CallbackTask = std::function<void(const std::shared_ptr<SimulatedPeripheral>& self, PlatformPeripheralDelegate* delegate)>;
    using CentralTask = std::function<void(PlatformCentralDelegate& delegate, const std::shared_ptr<PlatformCentral>& central,
                                           const std::shared_ptr<PlatformPeripheral>& self)>;

    /// Runs `task(self, delegate)` on the callback queue with the delegate of that moment (null
    /// when gone); one closure per task.
    template <class Fn>
    void post(Fn&& task) {
        post(shared_from_this(), std::forward<Fn>(task));
    }
    /// The same with this object's owner already at hand.
    template <class Fn>
    void post(std::shared_ptr<SimulatedPeripheral> owner, Fn&& task) {
        callbackQueue_->async([self = std::move(owner), task = std::forward<Fn>(task)]() mutable { task(self, self->delegate().get()); });
    }
    /// Calls the central's delegate on the callback queue.
    void postToCentral(CentralTask task);
    /// Runs `task(*this)` on the main queue with this object alive; one closure per task.
    template <class Fn>
    void onMain(Fn&& task) {
        mainQueue()->async([self = shared_from_this(), task = std::forward<Fn>(task)]() mutable { task(*self); });
    }
    std::shared_ptr<PlatformPeripheralDelegate> delegate() const;
    LinkTiming timing() const { return device_->effectiveLinkTiming(); }
    bool linkOpen() const { return link_ && link_->isOpen(); }
    bool deviceInRangeOfCentral() const;
    void scheduleConnect(std::optional<FaultPlan::ConnectFault> fault);
    void finishConnect(std::optional<FaultPlan::ConnectFault> fault);
    // Tells the radio's traffic observer, if any (the characteristic's UUID is copied only then).
    void observe(TrafficKind kind, const SimulatedCharacteristic& characteristic, const Bytes& bytes) const;

    // GATT operations, on the main queue (SimulatedPeripheralGatt.cpp).
    std::shared_ptr<SimulatedService> ownService(const std::shared_ptr<PlatformService>& service) const;
    std::shared_ptr<SimulatedCharacteristic> ownCharacteristic(const std::shared_ptr<PlatformCharacteristic>& characteristic) const;
    std::shared_ptr<SimulatedService> objectFor(const std::shared_ptr<VirtualService>& service);
    void doDiscoverServices(const std::optional<std::vector<BleUUID>>& filter);
    void doDiscoverCharacteristics(const std::optional<std::vector<BleUUID>>& filter, const std::shared_ptr<PlatformService>& service);
    void doSetNotify(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic);
    void doRead(const std::shared_ptr<PlatformCharacteristic>& characteristic);
    void doWrite(Bytes data, const std::shared_ptr<PlatformCharacteristic>& characteristic, WriteType type);
    void doReadRSSI();
    void doWriteBatch(WriteBatch batch, const std::shared_ptr<PlatformCharacteristic>& characteristic);
    // Hands a write with response to the device, with the write faults; returns the answer. A
    // fault that drops the link after the answer is kept for dropLinkIfDue.
    OptError writeToDevice(const std::shared_ptr<SimulatedCharacteristic>& characteristic, const Bytes& data);
    void dropLinkIfDue();
    void completeWrite(const std::shared_ptr<SimulatedCharacteristic>& characteristic, const Bytes& data);
    void completeWriteWithoutResponse(const std::shared_ptr<SimulatedCharacteristic>& characteristic, const Bytes& data);
    // `self` is this object's owner, held by the caller.
    void deliverNotification(const std::shared_ptr<SimulatedPeripheral>& self,
                             const std::shared_ptr<SimulatedCharacteristic>& characteristic, Bytes value);
    void flushHeldNotifications(const std::shared_ptr<SimulatedPeripheral>& self);
    struct HeldNotification {
        std::shared_ptr<SimulatedCharacteristic> characteristic;
        Bytes value;
    };
    // Values that follow one another with nothing queued between them go as one run: free
    // notifications on the link share one operation, and values posted to the callback queue share
    // one task. A run hands its values on one by one, as their own operations and tasks would.
    // Its task holds the characteristic, which all its values share.
    struct RunValue {
        uint64_t run;
        Bytes value;
    };
    void postValue(const std::shared_ptr<SimulatedCharacteristic>& characteristic, Bytes value,
                   std::shared_ptr<SimulatedPeripheral> owner = nullptr);
    /// Posts the free notifications of link run `run` at once, when nothing can come between them.
    void postFreeRun(const std::shared_ptr<SimulatedCharacteristic>& characteristic, uint64_t run,
                     std::shared_ptr<SimulatedPeripheral> owner);
    /// Under valuesMutex_: the run a value posted now joins, a new one (with its task) unless the
    /// last run's task still waits last on the callback queue.
    uint64_t valueRunFor(const std::shared_ptr<SimulatedCharacteristic>& characteristic, std::shared_ptr<SimulatedPeripheral> owner);
    /// The delegate a run of values goes to: looked up for the first value and held for the rest.
    /// It is looked up again when it was replaced, or when the run's hold is the last one left (its
    /// owner let it go): each value reaches the delegate a lookup of its own would have found.
    class RunDelegate {
    public:
        const std::shared_ptr<PlatformPeripheralDelegate>& current(const SimulatedPeripheral& peripheral);

    private:
        std::shared_ptr<PlatformPeripheralDelegate> held_;
        uint64_t changes_ = 0;
        bool looked_ = false;
    };
    void deliverValues(const std::shared_ptr<SimulatedPeripheral>& self, uint64_t run,
                       const std::shared_ptr<SimulatedCharacteristic>& characteristic);
    void queueFreeNotification(const std::shared_ptr<SimulatedCharacteristic>& characteristic, Bytes value);
    void deliverFreeNotifications(const std::shared_ptr<SimulatedPeripheral>& self, uint64_t run,
                                  const std::shared_ptr<SimulatedCharacteristic>& characteristic);
    void dropFreeNotifications();
    void postWriteAnswer(const std::shared_ptr<PlatformCharacteristic>& characteristic, OptError error);
    void postNotifyStateAnswer(const std::shared_ptr<PlatformCharacteristic>& characteristic, OptError error);
    void postReadError(const std::shared_ptr<PlatformCharacteristic>& characteristic, Error error);

    std::weak_ptr<SimulatedCentral> central_;
    const std::shared_ptr<VirtualPeripheral> device_;
    const std::shared_ptr<DispatchQueue> callbackQueue_;
    std::atomic<PeripheralState> state_{PeripheralState::Disconnected};

    mutable std::mutex mutex_;  // guards delegate_, discovered_
    std::weak_ptr<PlatformPeripheralDelegate> delegate_;
    std::atomic<uint64_t> delegateChanges_{0};  // counts setDelegate calls, so a run can keep its delegate
    std::vector<std::shared_ptr<PlatformService>> discovered_;

    // Main queue only.
    std::map<const VirtualService*, std::shared_ptr<SimulatedService>> serviceObjects_;
    std::map<const VirtualCharacteristic*, std::shared_ptr<SimulatedCharacteristic>> characteristicObjects_;
    std::shared_ptr<SimulatedLink> link_;
    DelayedCall connectTimer_;
    bool waitingForRange_ = false;  // a connect waits for the device to come in range
    std::deque<HeldNotification> held_;  // swapped notifications waiting for the next one
    Bytes batchValue_;                   // the value of a batch being handed to the device
    struct LinkDrop {
        bool due = false;
        OptError error;  // what the central gets
    } linkDrop_;         // kept here: a fresh one per write would be cleared byte by byte
    std::deque<RunValue> freeNotifications_;  // runs of free notifications on the link
    uint64_t notificationRuns_ = 0;
    uint64_t notificationRunMark_ = 0;  // the link's count of queued operations after the last run's
    bool notificationRunOpen_ = false;  // the last run has not started
    const SimulatedCharacteristic* notificationRunCharacteristic_ = nullptr;
    std::vector<Bytes> takenSpares_;  // spare buffers moved over from spareBuffers_ at once

    std::mutex valuesMutex_;  // guards what follows: posted on main, taken on the callback queue
    std::deque<RunValue> values_;
    uint64_t valueRuns_ = 0;
    uint64_t valueRunTicket_ = 0;  // the last run's task on the callback queue
    const SimulatedCharacteristic* valueRunCharacteristic_ = nullptr;
    std::vector<Bytes> spareBuffers_;  // values the central has finished with, for new notifications
};

}  // namespace vexa
