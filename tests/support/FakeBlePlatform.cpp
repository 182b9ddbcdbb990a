#include "tests/support/FakeBlePlatform.h"

#include <algorithm>

namespace vexa::test {
namespace {

bool passes(const std::optional<std::vector<BleUUID>>& filter, const BleUUID& uuid) {
    return !filter || std::find(filter->begin(), filter->end(), uuid) != filter->end();
}

}  // namespace

// --- FakeCharacteristic -----------------------------------------------------------------------

FakeCharacteristic::FakeCharacteristic(BleUUID uuid, uint32_t properties, std::weak_ptr<FakeService> service)
    : uuid_(std::move(uuid)), properties_(properties), service_(std::move(service)) {}

std::shared_ptr<PlatformService> FakeCharacteristic::service() const { return service_.lock(); }

Bytes FakeCharacteristic::value() const {
    std::lock_guard lock(mutex_);
    return value_;
}

void FakeCharacteristic::setValue(Bytes value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
}

// --- FakeService ------------------------------------------------------------------------------

FakeService::FakeService(BleUUID uuid, std::weak_ptr<FakePeripheral> peripheral)
    : uuid_(std::move(uuid)), peripheral_(std::move(peripheral)) {}

std::shared_ptr<PlatformPeripheral> FakeService::peripheral() const { return peripheral_.lock(); }

std::vector<std::shared_ptr<PlatformCharacteristic>> FakeService::characteristics() const {
    std::lock_guard lock(mutex_);
    return discovered_;
}

std::shared_ptr<FakeCharacteristic> FakeService::addCharacteristic(BleUUID uuid, uint32_t properties) {
    auto characteristic = std::make_shared<FakeCharacteristic>(std::move(uuid), properties, weak_from_this());
    std::lock_guard lock(mutex_);
    declared_.push_back(characteristic);
    return characteristic;
}

void FakeService::publishCharacteristics(const std::optional<std::vector<BleUUID>>& filter) {
    std::lock_guard lock(mutex_);
    discovered_.clear();
    for (const auto& c : declared_)
        if (passes(filter, c->uuid())) discovered_.push_back(c);
}

void FakeService::setDiscoveredCharacteristics(std::vector<std::shared_ptr<PlatformCharacteristic>> list) {
    std::lock_guard lock(mutex_);
    discovered_ = std::move(list);
}

// --- FakePeripheral ---------------------------------------------------------------------------

FakePeripheral::FakePeripheral(std::string identifier, std::optional<std::string> name, std::shared_ptr<DispatchQueue> callbackQueue)
    : identifier_(std::move(identifier)), queue_(std::move(callbackQueue)), name_(std::move(name)) {}

std::optional<std::string> FakePeripheral::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void FakePeripheral::setName(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

std::vector<std::shared_ptr<PlatformService>> FakePeripheral::services() const {
    std::lock_guard lock(mutex_);
    return services_;
}

void FakePeripheral::setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<PlatformPeripheralDelegate> FakePeripheral::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

std::shared_ptr<FakeService> FakePeripheral::addService(BleUUID uuid) {
    auto service = std::make_shared<FakeService>(std::move(uuid), weak_from_this());
    std::lock_guard lock(mutex_);
    declared_.push_back(service);
    return service;
}

std::vector<std::shared_ptr<FakeService>> FakePeripheral::declaredServices() const {
    std::lock_guard lock(mutex_);
    return declared_;
}

void FakePeripheral::deliver(std::function<void(PlatformPeripheralDelegate&, const std::shared_ptr<FakePeripheral>&)> call) {
    queue_->async([weak = weak_from_this(), call = std::move(call)] {
        auto self = weak.lock();
        if (!self) return;
        if (auto delegate = self->delegate()) call(*delegate, self);
    });
}

void FakePeripheral::discoverServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs) {
    {
        std::lock_guard lock(mutex_);
        ++discoverServicesCount_;
        lastServiceFilter_ = serviceUUIDs;
    }
    if (autoAnswerDiscovery) answerDiscoverServices();
}

void FakePeripheral::discoverCharacteristics(const std::optional<std::vector<BleUUID>>& characteristicUUIDs,
                                             const std::shared_ptr<PlatformService>& service) {
    {
        std::lock_guard lock(mutex_);
        ++discoverCharacteristicsCount_;
        lastCharacteristicFilter_ = characteristicUUIDs;
    }
    if (autoAnswerDiscovery) {
        if (auto fake = std::dynamic_pointer_cast<FakeService>(service))
            answerDiscoverCharacteristics(fake);
        else
            reportCharacteristicsDiscovered(service);
    }
}

void FakePeripheral::setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    {
        std::lock_guard lock(mutex_);
        pendingNotify_.push_back({characteristic, enabled});
        notifyLog_.push_back({characteristic, enabled});
    }
    if (autoAnswerNotify) answerNotify(characteristic);
}

void FakePeripheral::readValue(const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    std::lock_guard lock(mutex_);
    ++readCount_;
    pendingReads_.push_back({characteristic});
}

void FakePeripheral::writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic, WriteType type) {
    FakeWrite write{characteristic, data, type};
    std::function<void(const FakeWrite&)> hook;
    {
        std::lock_guard lock(mutex_);
        writes_.push_back(write);
        if (type == WriteType::WithResponse) pendingWrites_.push_back({characteristic});
        hook = onWrite;
    }
    if (hook) hook(write);
    if (autoAnswerWrites && type == WriteType::WithResponse) answerWrite(characteristic);
}

size_t FakePeripheral::maximumWriteValueLength(WriteType type) const {
    return type == WriteType::WithoutResponse ? maxWriteLength_.load() : 512;
}

void FakePeripheral::readRSSI() {
    std::lock_guard lock(mutex_);
    ++readRSSICount_;
}

void FakePeripheral::answerDiscoverServices(const OptError& error) {
    {
        std::lock_guard lock(mutex_);
        services_.clear();
        for (const auto& s : declared_)
            if (passes(lastServiceFilter_, s->uuid())) services_.push_back(s);
    }
    reportServicesDiscovered(error);
}

void FakePeripheral::reportServicesDiscovered(const OptError& error) {
    deliver([error](PlatformPeripheralDelegate& d, const std::shared_ptr<FakePeripheral>& self) { d.peripheralDidDiscoverServices(self, error); });
}

void FakePeripheral::answerDiscoverCharacteristics(const std::shared_ptr<FakeService>& service, const OptError& error) {
    service->publishCharacteristics(lastCharacteristicFilter());
    reportCharacteristicsDiscovered(service, error);
}

void FakePeripheral::reportCharacteristicsDiscovered(const std::shared_ptr<PlatformService>& service, const OptError& error) {
    deliver([service, error](PlatformPeripheralDelegate& d, const std::shared_ptr<FakePeripheral>& self) {
        d.peripheralDidDiscoverCharacteristicsForService(self, service, error);
    });
}

bool FakePeripheral::takePending(std::deque<Pending>& queue, const std::shared_ptr<PlatformCharacteristic>& characteristic, Pending* out) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(queue.begin(), queue.end(), [&](const Pending& p) { return p.characteristic == characteristic; });
    if (it == queue.end()) return false;
    if (out) *out = *it;
    queue.erase(it);
    return true;
}

size_t FakePeripheral::countPending(const std::deque<Pending>& queue, const std::shared_ptr<PlatformCharacteristic>& characteristic) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(
        std::count_if(queue.begin(), queue.end(), [&](const Pending& p) { return p.characteristic == characteristic; }));
}

bool FakePeripheral::answerWrite(const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error) {
    if (!takePending(pendingWrites_, characteristic)) return false;
    reportWrite(characteristic, error);
    return true;
}

void FakePeripheral::reportWrite(const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error) {
    deliver([characteristic, error](PlatformPeripheralDelegate& d, const std::shared_ptr<FakePeripheral>& self) {
        d.peripheralDidWriteValueForCharacteristic(self, characteristic, error);
    });
}

bool FakePeripheral::answerNotify(const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error) {
    Pending request;
    if (!takePending(pendingNotify_, characteristic, &request)) return false;
    if (!error)
        if (auto fake = std::dynamic_pointer_cast<FakeCharacteristic>(characteristic)) fake->setNotifying(request.enable);
    reportNotifyState(characteristic, error);
    return true;
}

void FakePeripheral::reportNotifyState(const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError& error) {
    deliver([characteristic, error](PlatformPeripheralDelegate& d, const std::shared_ptr<FakePeripheral>& self) {
        d.peripheralDidUpdateNotificationStateForCharacteristic(self, characteristic, error);
    });
}

bool FakePeripheral::answerRead(const std::shared_ptr<PlatformCharacteristic>& characteristic, Bytes value, const OptError& error) {
    if (!takePending(pendingReads_, characteristic)) return false;
    notify(characteristic, std::move(value), error);
    return true;
}

void FakePeripheral::notify(const std::shared_ptr<PlatformCharacteristic>& characteristic, Bytes value, const OptError& error) {
    // The value changes when the update is delivered, as on a real stack: a later update may
    // overwrite it before the delegate's work runs elsewhere.
    deliver([characteristic, value = std::move(value), error](PlatformPeripheralDelegate& d, const std::shared_ptr<FakePeripheral>& self) {
        if (auto fake = std::dynamic_pointer_cast<FakeCharacteristic>(characteristic)) fake->setValue(value);
        d.peripheralDidUpdateValueForCharacteristic(self, characteristic, error);
    });
}

void FakePeripheral::answerRSSI(int64_t rssi, const OptError& error) {
    deliver([rssi, error](PlatformPeripheralDelegate& d, const std::shared_ptr<FakePeripheral>& self) { d.peripheralDidReadRSSI(self, rssi, error); });
}

std::vector<FakeWrite> FakePeripheral::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::vector<Bytes> FakePeripheral::writesTo(const std::shared_ptr<PlatformCharacteristic>& characteristic) const {
    std::lock_guard lock(mutex_);
    std::vector<Bytes> out;
    for (const auto& w : writes_)
        if (w.characteristic == characteristic) out.push_back(w.data);
    return out;
}

size_t FakePeripheral::pendingWriteCount(const std::shared_ptr<PlatformCharacteristic>& c) const { return countPending(pendingWrites_, c); }
size_t FakePeripheral::pendingNotifyCount(const std::shared_ptr<PlatformCharacteristic>& c) const { return countPending(pendingNotify_, c); }
size_t FakePeripheral::pendingReadCount(const std::shared_ptr<PlatformCharacteristic>& c) const { return countPending(pendingReads_, c); }

std::vector<bool> FakePeripheral::notifyRequests(const std::shared_ptr<PlatformCharacteristic>& characteristic) const {
    std::lock_guard lock(mutex_);
    std::vector<bool> out;
    for (const auto& p : notifyLog_)
        if (p.characteristic == characteristic) out.push_back(p.enable);
    return out;
}

int FakePeripheral::discoverServicesCount() const {
    std::lock_guard lock(mutex_);
    return discoverServicesCount_;
}
std::optional<std::vector<BleUUID>> FakePeripheral::lastServiceFilter() const {
    std::lock_guard lock(mutex_);
    return lastServiceFilter_;
}
int FakePeripheral::discoverCharacteristicsCount() const {
    std::lock_guard lock(mutex_);
    return discoverCharacteristicsCount_;
}
std::optional<std::vector<BleUUID>> FakePeripheral::lastCharacteristicFilter() const {
    std::lock_guard lock(mutex_);
    return lastCharacteristicFilter_;
}
int FakePeripheral::readCount() const {
    std::lock_guard lock(mutex_);
    return readCount_;
}
int FakePeripheral::readRSSICount() const {
    std::lock_guard lock(mutex_);
    return readRSSICount_;
}
void FakePeripheral::clearWrites() {
    std::lock_guard lock(mutex_);
    writes_.clear();
}

// --- FakeCentral ------------------------------------------------------------------------------

FakeCentral::FakeCentral(std::weak_ptr<PlatformCentralDelegate> delegate, std::shared_ptr<DispatchQueue> callbackQueue)
    : delegate_(std::move(delegate)), queue_(std::move(callbackQueue)) {}

void FakeCentral::deliver(std::function<void(PlatformCentralDelegate&, const std::shared_ptr<FakeCentral>&)> call) {
    queue_->async([weak = weak_from_this(), call = std::move(call)] {
        auto self = weak.lock();
        if (!self) return;
        if (auto delegate = self->delegate_.lock()) call(*delegate, self);
    });
}

void FakeCentral::scanForPeripherals(const std::optional<std::vector<BleUUID>>& serviceUUIDs, const ScanOptions& options) {
    std::lock_guard lock(mutex_);
    scans_.push_back({serviceUUIDs, options});
    scanning_ = true;
}

void FakeCentral::stopScan() {
    std::lock_guard lock(mutex_);
    ++stopScanCount_;
    scanning_ = false;
}

void FakeCentral::connectPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    {
        std::lock_guard lock(mutex_);
        connectRequests_.push_back(peripheral);
    }
    if (auto fake = std::dynamic_pointer_cast<FakePeripheral>(peripheral)) {
        if (fake->state() == PeripheralState::Disconnected) fake->setState(PeripheralState::Connecting);
        if (autoConnect) reportConnect(fake);
    }
}

void FakeCentral::cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    {
        std::lock_guard lock(mutex_);
        cancelRequests_.push_back(peripheral);
    }
    if (autoDisconnect)
        if (auto fake = std::dynamic_pointer_cast<FakePeripheral>(peripheral)) reportDisconnect(fake);
}

std::vector<std::shared_ptr<PlatformPeripheral>> FakeCentral::retrievePeripheralsWithIdentifiers(const std::vector<std::string>& identifiers) {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<PlatformPeripheral>> out;
    for (const auto& id : identifiers)
        for (const auto& p : known_)
            if (p->identifier() == id) out.push_back(p);
    return out;
}

std::vector<std::shared_ptr<PlatformPeripheral>> FakeCentral::retrieveConnectedPeripheralsWithServices(const std::vector<BleUUID>& serviceUUIDs) {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<PlatformPeripheral>> out;
    for (const auto& p : known_) {
        if (p->state() != PeripheralState::Connected) continue;
        const auto declared = p->declaredServices();
        if (std::any_of(declared.begin(), declared.end(), [&](const auto& s) { return passes(serviceUUIDs, s->uuid()); }))
            out.push_back(p);
    }
    return out;
}

std::shared_ptr<FakePeripheral> FakeCentral::makePeripheral(std::string identifier, std::optional<std::string> name) {
    auto peripheral = std::make_shared<FakePeripheral>(std::move(identifier), std::move(name), queue_);
    std::lock_guard lock(mutex_);
    known_.push_back(peripheral);
    return peripheral;
}

void FakeCentral::setState(ManagerState state) {
    state_ = state;
    deliver([](PlatformCentralDelegate& d, const std::shared_ptr<FakeCentral>& self) { d.centralManagerDidUpdateState(self); });
}

void FakeCentral::advertise(const std::shared_ptr<PlatformPeripheral>& peripheral, AdvertisementData data, int64_t rssi) {
    deliver([peripheral, data = std::move(data), rssi](PlatformCentralDelegate& d, const std::shared_ptr<FakeCentral>& self) {
        d.centralManagerDidDiscoverPeripheral(self, peripheral, data, rssi);
    });
}

void FakeCentral::reportConnect(const std::shared_ptr<FakePeripheral>& peripheral) {
    deliver([peripheral](PlatformCentralDelegate& d, const std::shared_ptr<FakeCentral>& self) {
        peripheral->setState(PeripheralState::Connected);
        d.centralManagerDidConnectPeripheral(self, peripheral);
    });
}

void FakeCentral::reportFailToConnect(const std::shared_ptr<FakePeripheral>& peripheral, const OptError& error) {
    deliver([peripheral, error](PlatformCentralDelegate& d, const std::shared_ptr<FakeCentral>& self) {
        peripheral->setState(PeripheralState::Disconnected);
        d.centralManagerDidFailToConnectPeripheral(self, peripheral, error);
    });
}

void FakeCentral::reportDisconnect(const std::shared_ptr<FakePeripheral>& peripheral, const OptError& error) {
    deliver([peripheral, error](PlatformCentralDelegate& d, const std::shared_ptr<FakeCentral>& self) {
        peripheral->setState(PeripheralState::Disconnected);
        d.centralManagerDidDisconnectPeripheral(self, peripheral, error);
    });
}

std::vector<FakeScan> FakeCentral::scans() const {
    std::lock_guard lock(mutex_);
    return scans_;
}
int FakeCentral::stopScanCount() const {
    std::lock_guard lock(mutex_);
    return stopScanCount_;
}
bool FakeCentral::isScanning() const {
    std::lock_guard lock(mutex_);
    return scanning_;
}
std::vector<std::shared_ptr<PlatformPeripheral>> FakeCentral::connectRequests() const {
    std::lock_guard lock(mutex_);
    return connectRequests_;
}
std::vector<std::shared_ptr<PlatformPeripheral>> FakeCentral::cancelRequests() const {
    std::lock_guard lock(mutex_);
    return cancelRequests_;
}

// --- FakeBleBackend ---------------------------------------------------------------------------

std::shared_ptr<PlatformCentral> FakeBleBackend::createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                               std::shared_ptr<DispatchQueue> callbackQueue) {
    auto central = std::make_shared<FakeCentral>(std::move(delegate), std::move(callbackQueue));
    std::lock_guard lock(mutex_);
    central_ = central;
    ++created_;
    return central;
}

std::shared_ptr<FakeCentral> FakeBleBackend::central() const {
    std::lock_guard lock(mutex_);
    return central_;
}

int FakeBleBackend::centralsCreated() const {
    std::lock_guard lock(mutex_);
    return created_;
}

}  // namespace vexa::test
