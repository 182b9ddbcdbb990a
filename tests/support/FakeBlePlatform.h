#pragma once
// A scriptable in-memory Bluetooth LE platform for unit tests. Requests are recorded; answers and
// reports are given by the test (or automatically, when an auto* switch is on) and delivered to
// the delegates on the callback queue, like a real backend: never inside the request call.
//
// Typical use with everything on one thread:
//   VirtualMainLoop main;
//   auto backend = std::make_shared<FakeBleBackend>();
//   auto central = LumoCentralManager::create(backend, main.loop);
//   auto device = backend->central()->makePeripheral("ID-1", "Token");
//   auto service = device->addService(BleUUID::fromString("a639..."));
//   auto ch = service->addCharacteristic(BleUUID::fromString("563e..."), kPropertyWrite);
//   ... wrapper->connectWithCompletion(cb); backend->central()->reportConnect(device); main.runUntilIdle();
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/BlePlatform.h"

namespace vexa::test {

class FakeCentral;
class FakePeripheral;
class FakeService;

class FakeCharacteristic final : public PlatformCharacteristic {
public:
    FakeCharacteristic(BleUUID uuid, uint32_t properties, std::weak_ptr<FakeService> service);
    BleUUID uuid() const override { return uuid_; }
    uint32_t properties() const override { return properties_; }
    std::shared_ptr<PlatformService> service() const override;
    Bytes value() const override;
    bool isNotifying() const override { return notifying_; }

    void setValue(Bytes value);
    void setNotifying(bool on) { notifying_ = on; }

private:
    BleUUID uuid_;
    uint32_t properties_;
    std::weak_ptr<FakeService> service_;
    mutable std::mutex mutex_;
    Bytes value_;
    std::atomic<bool> notifying_{false};
};

class FakeService final : public PlatformService, public std::enable_shared_from_this<FakeService> {
public:
    FakeService(BleUUID uuid, std::weak_ptr<FakePeripheral> peripheral);
    BleUUID uuid() const override { return uuid_; }
    std::shared_ptr<PlatformPeripheral> peripheral() const override;
    /// What the last characteristic discovery found.
    std::vector<std::shared_ptr<PlatformCharacteristic>> characteristics() const override;

    /// Adds a characteristic to the device's GATT table; it is found by the next discovery.
    std::shared_ptr<FakeCharacteristic> addCharacteristic(BleUUID uuid, uint32_t properties = kPropertyWrite | kPropertyNotify);
    /// Makes the discovered list the declared characteristics (those in `filter`, when given).
    void publishCharacteristics(const std::optional<std::vector<BleUUID>>& filter);
    /// Replaces the discovered list by these exact objects.
    void setDiscoveredCharacteristics(std::vector<std::shared_ptr<PlatformCharacteristic>> list);

private:
    BleUUID uuid_;
    std::weak_ptr<FakePeripheral> peripheral_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeCharacteristic>> declared_;
    std::vector<std::shared_ptr<PlatformCharacteristic>> discovered_;
};

/// One recorded write.
struct FakeWrite {
    std::shared_ptr<PlatformCharacteristic> characteristic;
    Bytes data;
    WriteType type;
};

class FakePeripheral final : public PlatformPeripheral, public std::enable_shared_from_this<FakePeripheral> {
public:
    FakePeripheral(std::string identifier, std::optional<std::string> name, std::shared_ptr<DispatchQueue> callbackQueue);

    // PlatformPeripheral
    std::string identifier() const override { return identifier_; }
    std::optional<std::string> name() const override;
    PeripheralState state() const override { return state_.load(); }
    std::vector<std::shared_ptr<PlatformService>> services() const override;
    void setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) override;
    void discoverServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs) override;
    void discoverCharacteristics(const std::optional<std::vector<BleUUID>>& characteristicUUIDs,
                                 const std::shared_ptr<PlatformService>& service) override;
    void setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) override;
    void readValue(const std::shared_ptr<PlatformCharacteristic>& characteristic) override;
    void writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic, WriteType type) override;
    size_t maximumWriteValueLength(WriteType type) const override;
    void readRSSI() override;

    // --- Set-up -------------------------------------------------------------------------------
    /// Adds a service to the device's GATT table; it is found by the next service discovery.
    std::shared_ptr<FakeService> addService(BleUUID uuid);
    std::vector<std::shared_ptr<FakeService>> declaredServices() const;
    void setName(std::optional<std::string> name);
    void setState(PeripheralState state) { state_ = state; }
    void setMaximumWriteValueLength(size_t length) { maxWriteLength_ = length; }
    /// The delegate currently set (null when none or gone).
    std::shared_ptr<PlatformPeripheralDelegate> delegate() const;

    // Automatic answers (all off by default): discoveries answered with success, writes with
    // response answered with success, notification-state requests answered with success.
    std::atomic<bool> autoAnswerDiscovery{false};
    std::atomic<bool> autoAnswerWrites{false};
    std::atomic<bool> autoAnswerNotify{false};
    /// Called inside every write request (on the caller's thread), after it was recorded.
    std::function<void(const FakeWrite&)> onWrite;

    // --- Answers (delivered on the callback queue) ----------------------------------------------
    /// Publishes the declared services (filtered by the last request) and reports the discovery.
    void answerDiscoverServices(const OptError& error = std::nullopt);
    /// Reports the services exactly as they are now (no publishing).
    void reportServicesDiscovered(const OptError& error = std::nullopt);
    /// Publishes the service's declared characteristics (filtered by its last request) and reports.
    void answerDiscoverCharacteristics(const std::shared_ptr<FakeService>& service, const OptError& error = std::nullopt);
    /// Reports a characteristic discovery for `service` as it stands now.
    void reportCharacteristicsDiscovered(const std::shared_ptr<PlatformService>& service, const OptError& error = std::nullopt);
    /// Answers the oldest unanswered write with response on `characteristic`; false if none.
    bool answerWrite(const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error = std::nullopt);
    /// Answers the oldest unanswered notification-state request on `characteristic`; false if none.
    bool answerNotify(const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error = std::nullopt);
    /// Answers the oldest unanswered read with `value`; false if none.
    bool answerRead(const std::shared_ptr<PlatformCharacteristic>& characteristic, Bytes value, const OptError& error = std::nullopt);
    /// A value update (notification): the characteristic's value becomes `value` when it is delivered.
    void notify(const std::shared_ptr<PlatformCharacteristic>& characteristic, Bytes value, const OptError& error = std::nullopt);
    /// Reports an unrequested notification-state / write answer (no pending request needed).
    void reportNotifyState(const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error = std::nullopt);
    void reportWrite(const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error = std::nullopt);
    void answerRSSI(int64_t rssi, const OptError& error = std::nullopt);

    // --- Records ------------------------------------------------------------------------------
    std::vector<FakeWrite> writes() const;
    /// The data of every write to `characteristic`, in order.
    std::vector<Bytes> writesTo(const std::shared_ptr<PlatformCharacteristic>& characteristic) const;
    size_t pendingWriteCount(const std::shared_ptr<PlatformCharacteristic>& characteristic) const;
    size_t pendingNotifyCount(const std::shared_ptr<PlatformCharacteristic>& characteristic) const;
    size_t pendingReadCount(const std::shared_ptr<PlatformCharacteristic>& characteristic) const;
    /// The enable flags of every notification-state request, in order.
    std::vector<bool> notifyRequests(const std::shared_ptr<PlatformCharacteristic>& characteristic) const;
    int discoverServicesCount() const;
    std::optional<std::vector<BleUUID>> lastServiceFilter() const;
    int discoverCharacteristicsCount() const;
    std::optional<std::vector<BleUUID>> lastCharacteristicFilter() const;
    int readCount() const;
    int readRSSICount() const;
    void clearWrites();

private:
    struct Pending {
        std::shared_ptr<PlatformCharacteristic> characteristic;
        bool enable = false;  // notification-state requests only
    };
    // Delivers `call(delegate)` on the callback queue, if a delegate is set then.
    void deliver(std::function<void(PlatformPeripheralDelegate&, const std::shared_ptr<FakePeripheral>&)> call);
    bool takePending(std::deque<Pending>& queue, const std::shared_ptr<PlatformCharacteristic>& characteristic, Pending* out = nullptr);
    size_t countPending(const std::deque<Pending>& queue, const std::shared_ptr<PlatformCharacteristic>& characteristic) const;

    std::string identifier_;
    std::shared_ptr<DispatchQueue> queue_;
    std::atomic<PeripheralState> state_{PeripheralState::Disconnected};
    std::atomic<size_t> maxWriteLength_{182};

    mutable std::mutex mutex_;
    std::optional<std::string> name_;
    std::weak_ptr<PlatformPeripheralDelegate> delegate_;
    std::vector<std::shared_ptr<FakeService>> declared_;
    std::vector<std::shared_ptr<PlatformService>> services_;
    std::vector<FakeWrite> writes_;
    std::deque<Pending> pendingWrites_;
    std::deque<Pending> pendingNotify_;
    std::deque<Pending> pendingReads_;
    std::vector<Pending> notifyLog_;
    int discoverServicesCount_ = 0;
    std::optional<std::vector<BleUUID>> lastServiceFilter_;
    int discoverCharacteristicsCount_ = 0;
    std::optional<std::vector<BleUUID>> lastCharacteristicFilter_;
    int readCount_ = 0;
    int readRSSICount_ = 0;
};

/// One recorded scan request.
struct FakeScan {
    std::optional<std::vector<BleUUID>> serviceUUIDs;
    ScanOptions options;
};

class FakeCentral final : public PlatformCentral, public std::enable_shared_from_this<FakeCentral> {
public:
    FakeCentral(std::weak_ptr<PlatformCentralDelegate> delegate, std::shared_ptr<DispatchQueue> callbackQueue);

    // PlatformCentral
    ManagerState state() const override { return state_.load(); }
    void scanForPeripherals(const std::optional<std::vector<BleUUID>>& serviceUUIDs, const ScanOptions& options) override;
    void stopScan() override;
    void connectPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral) override;
    void cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>& peripheral) override;
    std::vector<std::shared_ptr<PlatformPeripheral>> retrievePeripheralsWithIdentifiers(const std::vector<std::string>& identifiers) override;
    std::vector<std::shared_ptr<PlatformPeripheral>> retrieveConnectedPeripheralsWithServices(const std::vector<BleUUID>& serviceUUIDs) override;

    /// A device known to this central, calling back on the central's queue.
    std::shared_ptr<FakePeripheral> makePeripheral(std::string identifier, std::optional<std::string> name = std::nullopt);
    const std::shared_ptr<DispatchQueue>& callbackQueue() const { return queue_; }

    /// Connect requests are answered by a connection report; cancel requests by a disconnection
    /// report (no error). Both off by default.
    std::atomic<bool> autoConnect{false};
    std::atomic<bool> autoDisconnect{false};

    // --- Reports (delivered on the callback queue) ----------------------------------------------
    /// Changes the state at once and reports the update.
    void setState(ManagerState state);
    void advertise(const std::shared_ptr<PlatformPeripheral>& peripheral, AdvertisementData data, int64_t rssi);
    /// The peripheral becomes connected when the report is delivered.
    void reportConnect(const std::shared_ptr<FakePeripheral>& peripheral);
    void reportFailToConnect(const std::shared_ptr<FakePeripheral>& peripheral, const OptError& error);
    /// The peripheral becomes disconnected when the report is delivered.
    void reportDisconnect(const std::shared_ptr<FakePeripheral>& peripheral, const OptError& error = std::nullopt);

    // --- Records ------------------------------------------------------------------------------
    std::vector<FakeScan> scans() const;
    int stopScanCount() const;
    bool isScanning() const;
    std::vector<std::shared_ptr<PlatformPeripheral>> connectRequests() const;
    std::vector<std::shared_ptr<PlatformPeripheral>> cancelRequests() const;

private:
    void deliver(std::function<void(PlatformCentralDelegate&, const std::shared_ptr<FakeCentral>&)> call);

    std::weak_ptr<PlatformCentralDelegate> delegate_;
    std::shared_ptr<DispatchQueue> queue_;
    std::atomic<ManagerState> state_{ManagerState::PoweredOn};

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakePeripheral>> known_;
    std::vector<FakeScan> scans_;
    int stopScanCount_ = 0;
    bool scanning_ = false;
    std::vector<std::shared_ptr<PlatformPeripheral>> connectRequests_;
    std::vector<std::shared_ptr<PlatformPeripheral>> cancelRequests_;
};

class FakeBleBackend final : public BleBackend {
public:
    std::string name() const override { return "fake"; }
    std::shared_ptr<PlatformCentral> createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                   std::shared_ptr<DispatchQueue> callbackQueue) override;
    /// The last central made (null before the first).
    std::shared_ptr<FakeCentral> central() const;
    int centralsCreated() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<FakeCentral> central_;
    int created_ = 0;
};

}  // namespace vexa::test
