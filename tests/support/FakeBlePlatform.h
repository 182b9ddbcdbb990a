#pragma once
// A scriptable in-memory Bluetooth LE platform, for what the simulated stack cannot be made to do:
// answer requests late, out of turn, twice or with a chosen error, and report what nobody asked
// for. Requests are recorded; answers and reports are delivered to the delegates on the callback
// queue (never inside the request call), or at once when an auto* switch is on. One thread only.
#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/BlePlatform.h"

namespace vexa::test {

class FakePeripheral;
class FakeService;

inline bool fakeFilterPasses(const std::optional<std::vector<BleUUID>>& filter, const BleUUID& uuid) {
    return !filter || std::find(filter->begin(), filter->end(), uuid) != filter->end();
}

class FakeCharacteristic final : public PlatformCharacteristic {
public:
    FakeCharacteristic(BleUUID uuid, uint32_t properties, std::weak_ptr<FakeService> service)
        : uuid_(std::move(uuid)), properties_(properties), service_(std::move(service)) {}
    BleUUID uuid() const override { return uuid_; }
    uint32_t properties() const override { return properties_; }
    std::shared_ptr<PlatformService> service() const override;
    Bytes value() const override { return current; }
    bool isNotifying() const override { return notifying; }

    Bytes current;
    bool notifying = false;

private:
    BleUUID uuid_;
    uint32_t properties_;
    std::weak_ptr<FakeService> service_;
};

class FakeService final : public PlatformService, public std::enable_shared_from_this<FakeService> {
public:
    FakeService(BleUUID uuid, std::weak_ptr<FakePeripheral> peripheral) : uuid_(std::move(uuid)), peripheral_(std::move(peripheral)) {}
    BleUUID uuid() const override { return uuid_; }
    std::shared_ptr<PlatformPeripheral> peripheral() const override;
    std::vector<std::shared_ptr<PlatformCharacteristic>> characteristics() const override { return discovered; }

    /// Adds a characteristic to the device's GATT table; the next discovery finds it.
    std::shared_ptr<FakeCharacteristic> addCharacteristic(BleUUID uuid, uint32_t properties = kPropertyWrite | kPropertyNotify) {
        declared.push_back(std::make_shared<FakeCharacteristic>(std::move(uuid), properties, weak_from_this()));
        return declared.back();
    }

    std::vector<std::shared_ptr<FakeCharacteristic>> declared;
    std::vector<std::shared_ptr<PlatformCharacteristic>> discovered;  // what the last discovery found

private:
    BleUUID uuid_;
    std::weak_ptr<FakePeripheral> peripheral_;
};

/// One recorded write.
struct FakeWrite {
    std::shared_ptr<PlatformCharacteristic> characteristic;
    Bytes data;
    WriteType type;
};

class FakePeripheral final : public PlatformPeripheral, public std::enable_shared_from_this<FakePeripheral> {
public:
    using Report = std::function<void(PlatformPeripheralDelegate&, const std::shared_ptr<FakePeripheral>&)>;
    FakePeripheral(std::string identifier, std::optional<std::string> name, std::shared_ptr<DispatchQueue> callbackQueue)
        : identifier_(std::move(identifier)), name_(std::move(name)), queue_(std::move(callbackQueue)) {}

    std::string identifier() const override { return identifier_; }
    std::optional<std::string> name() const override { return name_; }
    PeripheralState state() const override { return state_; }
    std::vector<std::shared_ptr<PlatformService>> services() const override { return services_; }
    void setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) override { delegate_ = std::move(delegate); }
    void discoverServices(const std::optional<std::vector<BleUUID>>& filter) override {
        requests.push_back("services");
        serviceFilter = filter;
        if (autoAnswerDiscovery) answerDiscoverServices();
    }
    void discoverCharacteristics(const std::optional<std::vector<BleUUID>>& filter, const std::shared_ptr<PlatformService>& service) override {
        requests.push_back("characteristics");
        characteristicFilter = filter;
        if (auto fake = std::dynamic_pointer_cast<FakeService>(service); fake && autoAnswerDiscovery) answerDiscoverCharacteristics(fake);
    }
    void setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) override {
        requests.push_back(enabled ? "notify on" : "notify off");
        pendingNotify_.push_back({characteristic, enabled});
        if (autoAnswerNotify) answerNotify(characteristic);
    }
    void readValue(const std::shared_ptr<PlatformCharacteristic>&) override { requests.push_back("read"); }
    void writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic, WriteType type) override {
        writes.push_back({characteristic, data, type});
        if (type == WriteType::WithResponse) pendingWrites_.push_back({characteristic, false});
        if (autoAnswerWrites && type == WriteType::WithResponse) answerWrite(characteristic);
    }
    size_t maximumWriteValueLength(WriteType type) const override { return type == WriteType::WithoutResponse ? maxWriteLength : 512; }
    void readRSSI() override { requests.push_back("rssi"); }

    /// Adds a service to the device's GATT table; the next service discovery finds it.
    std::shared_ptr<FakeService> addService(BleUUID uuid) {
        declared.push_back(std::make_shared<FakeService>(std::move(uuid), weak_from_this()));
        return declared.back();
    }
    void setState(PeripheralState state) { state_ = state; }
    std::shared_ptr<PlatformPeripheralDelegate> delegate() const { return delegate_.lock(); }

    /// Delivers any report on the callback queue, to the delegate set by then.
    void deliver(Report call) {
        queue_->async([weak = weak_from_this(), call = std::move(call)] {
            auto self = weak.lock();
            if (auto delegate = self ? self->delegate() : nullptr) call(*delegate, self);
        });
    }
    /// Publishes the declared services that pass the last filter and reports the discovery.
    void answerDiscoverServices(const OptError& error = std::nullopt) {
        services_.clear();
        for (const auto& s : declared)
            if (fakeFilterPasses(serviceFilter, s->uuid())) services_.push_back(s);
        deliver([error](auto& d, const auto& self) { d.peripheralDidDiscoverServices(self, error); });
    }
    /// Publishes the service's declared characteristics that pass the last filter and reports.
    void answerDiscoverCharacteristics(const std::shared_ptr<FakeService>& service, const OptError& error = std::nullopt) {
        service->discovered.clear();
        for (const auto& c : service->declared)
            if (fakeFilterPasses(characteristicFilter, c->uuid())) service->discovered.push_back(c);
        deliver([service, error](auto& d, const auto& self) { d.peripheralDidDiscoverCharacteristicsForService(self, service, error); });
    }
    /// Answers the oldest unanswered write with response on `characteristic`; false if none.
    bool answerWrite(const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error = std::nullopt) {
        if (!take(pendingWrites_, characteristic)) return false;
        deliver([characteristic, error](auto& d, const auto& self) { d.peripheralDidWriteValueForCharacteristic(self, characteristic, error); });
        return true;
    }
    /// Answers the oldest unanswered notification-state request on `characteristic`; false if none.
    bool answerNotify(const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error = std::nullopt) {
        const auto request = take(pendingNotify_, characteristic);
        if (!request) return false;
        if (auto fake = std::dynamic_pointer_cast<FakeCharacteristic>(characteristic); fake && !error) fake->notifying = request->enable;
        deliver([characteristic, error](auto& d, const auto& self) {
            d.peripheralDidUpdateNotificationStateForCharacteristic(self, characteristic, error);
        });
        return true;
    }
    /// A value update; the characteristic's value changes when it is delivered, as on a real stack.
    void notify(const std::shared_ptr<PlatformCharacteristic>& characteristic, Bytes value, const OptError& error = std::nullopt) {
        deliver([characteristic, value = std::move(value), error](auto& d, const auto& self) {
            if (auto fake = std::dynamic_pointer_cast<FakeCharacteristic>(characteristic)) fake->current = value;
            d.peripheralDidUpdateValueForCharacteristic(self, characteristic, error);
        });
    }
    /// The data of every write to `characteristic`, in order.
    std::vector<Bytes> writesTo(const std::shared_ptr<PlatformCharacteristic>& characteristic) const {
        std::vector<Bytes> out;
        for (const auto& w : writes)
            if (w.characteristic == characteristic) out.push_back(w.data);
        return out;
    }

    // Automatic answers (all off by default): discoveries, writes with response and
    // notification-state requests answered with success.
    bool autoAnswerDiscovery = false, autoAnswerWrites = false, autoAnswerNotify = false;
    size_t maxWriteLength = 182;
    std::vector<std::shared_ptr<FakeService>> declared;
    std::vector<FakeWrite> writes;
    std::vector<std::string> requests;  // "services", "characteristics", "notify on/off", "read", "rssi"
    std::optional<std::vector<BleUUID>> serviceFilter, characteristicFilter;

private:
    struct Pending {
        std::shared_ptr<PlatformCharacteristic> characteristic;
        bool enable;
    };
    static std::optional<Pending> take(std::deque<Pending>& queue, const std::shared_ptr<PlatformCharacteristic>& characteristic) {
        auto it = std::find_if(queue.begin(), queue.end(), [&](const Pending& p) { return p.characteristic == characteristic; });
        if (it == queue.end()) return std::nullopt;
        Pending found = *it;
        queue.erase(it);
        return found;
    }

    std::string identifier_;
    std::optional<std::string> name_;
    std::shared_ptr<DispatchQueue> queue_;
    PeripheralState state_ = PeripheralState::Disconnected;
    std::weak_ptr<PlatformPeripheralDelegate> delegate_;
    std::vector<std::shared_ptr<PlatformService>> services_;
    std::deque<Pending> pendingWrites_, pendingNotify_;
};

inline std::shared_ptr<PlatformService> FakeCharacteristic::service() const { return service_.lock(); }
inline std::shared_ptr<PlatformPeripheral> FakeService::peripheral() const { return peripheral_.lock(); }

/// One recorded scan request.
struct FakeScan {
    std::optional<std::vector<BleUUID>> serviceUUIDs;
    ScanOptions options;
};

class FakeCentral final : public PlatformCentral, public std::enable_shared_from_this<FakeCentral> {
public:
    using Report = std::function<void(PlatformCentralDelegate&, const std::shared_ptr<FakeCentral>&)>;
    FakeCentral(std::weak_ptr<PlatformCentralDelegate> delegate, std::shared_ptr<DispatchQueue> callbackQueue)
        : delegate_(std::move(delegate)), queue_(std::move(callbackQueue)) {}

    ManagerState state() const override { return state_; }
    void scanForPeripherals(const std::optional<std::vector<BleUUID>>& serviceUUIDs, const ScanOptions& options) override {
        scans.push_back({serviceUUIDs, options});
    }
    void stopScan() override { ++stopScans; }
    void connectPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral) override {
        connects_.push_back(peripheral);
        auto fake = std::dynamic_pointer_cast<FakePeripheral>(peripheral);
        if (fake && fake->state() == PeripheralState::Disconnected) fake->setState(PeripheralState::Connecting);
        if (fake && autoConnect) reportConnect(fake);
    }
    void cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>& peripheral) override {
        cancels_.push_back(peripheral);
        if (auto fake = std::dynamic_pointer_cast<FakePeripheral>(peripheral); fake && autoDisconnect) reportDisconnect(fake);
    }
    std::vector<std::shared_ptr<PlatformPeripheral>> retrievePeripheralsWithIdentifiers(const std::vector<std::string>& identifiers) override {
        std::vector<std::shared_ptr<PlatformPeripheral>> out;
        for (const auto& id : identifiers)
            for (const auto& p : known_)
                if (p->identifier() == id) out.push_back(p);
        return out;
    }
    std::vector<std::shared_ptr<PlatformPeripheral>> retrieveConnectedPeripheralsWithServices(const std::vector<BleUUID>& uuids) override {
        std::vector<std::shared_ptr<PlatformPeripheral>> out;
        for (const auto& p : known_)
            if (p->state() == PeripheralState::Connected &&
                std::any_of(p->declared.begin(), p->declared.end(), [&](const auto& s) { return fakeFilterPasses(uuids, s->uuid()); }))
                out.push_back(p);
        return out;
    }

    /// A device known to this central, calling back on the central's queue.
    std::shared_ptr<FakePeripheral> makePeripheral(std::string identifier, std::optional<std::string> name = std::nullopt) {
        known_.push_back(std::make_shared<FakePeripheral>(std::move(identifier), std::move(name), queue_));
        return known_.back();
    }
    /// Delivers any report on the callback queue.
    void deliver(Report call) {
        queue_->async([weak = weak_from_this(), call = std::move(call)] {
            auto self = weak.lock();
            if (auto delegate = self ? self->delegate_.lock() : nullptr) call(*delegate, self);
        });
    }
    /// Changes the state at once and reports the update.
    void setState(ManagerState state) {
        state_ = state;
        deliver([](auto& d, const auto& self) { d.centralManagerDidUpdateState(self); });
    }
    void advertise(const std::shared_ptr<PlatformPeripheral>& p, AdvertisementData data, int64_t rssi) {
        deliver([p, data = std::move(data), rssi](auto& d, const auto& self) { d.centralManagerDidDiscoverPeripheral(self, p, data, rssi); });
    }
    /// The peripheral becomes connected (or disconnected) when the report is delivered.
    void reportConnect(const std::shared_ptr<FakePeripheral>& p) {
        deliver([p](auto& d, const auto& self) {
            p->setState(PeripheralState::Connected);
            d.centralManagerDidConnectPeripheral(self, p);
        });
    }
    void reportFailToConnect(const std::shared_ptr<FakePeripheral>& p, const OptError& error) {
        deliver([p, error](auto& d, const auto& self) {
            p->setState(PeripheralState::Disconnected);
            d.centralManagerDidFailToConnectPeripheral(self, p, error);
        });
    }
    void reportDisconnect(const std::shared_ptr<FakePeripheral>& p, const OptError& error = std::nullopt) {
        deliver([p, error](auto& d, const auto& self) {
            p->setState(PeripheralState::Disconnected);
            d.centralManagerDidDisconnectPeripheral(self, p, error);
        });
    }
    std::vector<std::shared_ptr<PlatformPeripheral>> connectRequests() const { return connects_; }
    std::vector<std::shared_ptr<PlatformPeripheral>> cancelRequests() const { return cancels_; }

    /// Connect requests are answered by a connection report; cancel requests by a disconnection
    /// report (no error). Both off by default.
    bool autoConnect = false, autoDisconnect = false;
    std::vector<FakeScan> scans;
    int stopScans = 0;

private:
    std::weak_ptr<PlatformCentralDelegate> delegate_;
    std::shared_ptr<DispatchQueue> queue_;
    ManagerState state_ = ManagerState::PoweredOn;
    std::vector<std::shared_ptr<FakePeripheral>> known_;
    std::vector<std::shared_ptr<PlatformPeripheral>> connects_, cancels_;
};

class FakeBleBackend final : public BleBackend {
public:
    std::string name() const override { return "fake"; }
    std::shared_ptr<PlatformCentral> createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                   std::shared_ptr<DispatchQueue> callbackQueue) override {
        central_ = std::make_shared<FakeCentral>(std::move(delegate), std::move(callbackQueue));
        return central_;
    }
    /// The last central made (null before the first).
    std::shared_ptr<FakeCentral> central() const { return central_; }

private:
    std::shared_ptr<FakeCentral> central_;
};

}  // namespace vexa::test
