#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "Platform/MainQueue.h"
#include "Platform/NotificationCenter.h"
#include "Platform/SerialQueue.h"

namespace vexa {
namespace {

// The central used when no backend was chosen: Bluetooth LE is reported as unsupported and every
// request is ignored, so callers see "not ready" instead of crashing.
class UnsupportedCentral final : public PlatformCentral {
public:
    ManagerState state() const override { return ManagerState::Unsupported; }
    void scanForPeripherals(const std::optional<std::vector<BleUUID>>&, const ScanOptions&) override {}
    void stopScan() override {}
    void connectPeripheral(const std::shared_ptr<PlatformPeripheral>&) override {}
    void cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>&) override {}
    std::vector<std::shared_ptr<PlatformPeripheral>> retrievePeripheralsWithIdentifiers(const std::vector<std::string>&) override {
        return {};
    }
    std::vector<std::shared_ptr<PlatformPeripheral>> retrieveConnectedPeripheralsWithServices(const std::vector<BleUUID>&) override {
        return {};
    }
};

// (reported + stored) / 2, truncated toward zero, without overflowing on absurd inputs.
int64_t smoothedRSSI(int64_t reported, int64_t stored) {
    int64_t sum = 0;
    if (!__builtin_add_overflow(reported, stored, &sum)) return sum / 2;
    return reported / 2 + stored / 2;
}

}  // namespace

std::shared_ptr<LumoCentralManager> LumoCentralManager::sharedInstance() {
    static std::mutex mutex;
    // Never destroyed: the central lives as long as the process, and no thread joins at exit.
    static auto* instance = new std::shared_ptr<LumoCentralManager>();
    std::lock_guard lock(mutex);
    if (!*instance) *instance = create(bleBackend(), bleCallbackQueue());
    return *instance;
}

std::shared_ptr<LumoCentralManager> LumoCentralManager::create(std::shared_ptr<BleBackend> backend,
                                                               std::shared_ptr<DispatchQueue> centralQueue) {
    std::shared_ptr<LumoCentralManager> central(new LumoCentralManager());
    central->init(backend, std::move(centralQueue));
    return central;
}

void LumoCentralManager::init(const std::shared_ptr<BleBackend>& backend, std::shared_ptr<DispatchQueue> centralQueue) {
    centralQueue_ = centralQueue ? std::move(centralQueue) : std::make_shared<SerialQueue>(kLumoCentralQueueLabel);
    if (backend) manager_ = backend->createCentral(weak_from_this(), centralQueue_);
    if (!manager_) manager_ = std::make_shared<UnsupportedCentral>();
}

LumoCentralManager::~LumoCentralManager() { cancelTimedStops(); }

// --- State ------------------------------------------------------------------------------------

bool LumoCentralManager::isCentralReady() const { return manager_->state() == ManagerState::PoweredOn; }

std::optional<std::string> LumoCentralManager::centralNotReadyReason() const { return stateMessage(); }

std::optional<std::string> LumoCentralManager::stateMessage() const {
    switch (manager_->state()) {
    case ManagerState::Unknown:
        return "Central not initialized yet.";
    case ManagerState::Unsupported:
        return "The platform/hardware doesn't support Bluetooth Low Energy.";
    case ManagerState::Unauthorized:
        return "The app is not authorized to use Bluetooth Low Energy.";
    case ManagerState::PoweredOff:
        return "Bluetooth is currently powered off.";
    default:
        return std::nullopt;  // powered on, resetting, or a state this library does not know
    }
}

LumoPeripheralList LumoCentralManager::peripherals() const {
    LumoPeripheralList sorted = scannedPeripherals_;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a->RSSI() > b->RSSI(); });
    return sorted;
}

// --- Scanning ---------------------------------------------------------------------------------

void LumoCentralManager::scanForPeripheralsWithServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs,
                                                        const ScanOptions& options) {
    scannedPeripherals_.clear();
    scanning_ = true;
    manager_->scanForPeripherals(serviceUUIDs, options);
}

void LumoCentralManager::scanForPeripheralsWithServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs,
                                                        const ScanOptions& options, LumoPeripheralsCallback peripherals) {
    peripheralBlock_ = std::move(peripherals);
    scanForPeripheralsWithServices(serviceUUIDs, options);
}

void LumoCentralManager::scanForPeripherals() { scanForPeripheralsWithServices(std::nullopt, ScanOptions{.allowDuplicates = true}); }

void LumoCentralManager::scanForPeripheralsByInterval(unsigned seconds, const std::optional<std::vector<BleUUID>>& serviceUUIDs,
                                                      const ScanOptions& options, LumoPeripheralsCallback completion) {
    scanBlock_ = std::move(completion);
    scanForPeripheralsWithServices(serviceUUIDs, options);
    cancelTimedStops();
    timedStops_.push_back(mainQueue()->asyncAfter(std::chrono::seconds(seconds), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->stopScanForPeripherals();
    }));
}

void LumoCentralManager::scanForPeripheralsByInterval(unsigned seconds, LumoPeripheralsCallback completion) {
    scanForPeripheralsByInterval(seconds, std::nullopt, ScanOptions{.allowDuplicates = true}, std::move(completion));
}

void LumoCentralManager::stopScanForPeripherals() {
    scanning_ = false;
    manager_->stopScan();
    cancelTimedStops();
    // Both slots are cleared before the completion runs, so a scan it starts keeps its callbacks.
    auto completion = std::move(scanBlock_);
    scanBlock_ = nullptr;
    peripheralBlock_ = nullptr;
    if (completion) completion(peripherals());
}

void LumoCentralManager::cancelTimedStops() {
    for (auto& call : timedStops_) call.cancel();
    timedStops_.clear();
}

// --- Wrappers ---------------------------------------------------------------------------------

LumoPeripheralList LumoCentralManager::retrievePeripheralsWithIdentifiers(const std::vector<std::string>& identifiers) {
    return wrappersByPeripherals(manager_->retrievePeripheralsWithIdentifiers(identifiers));
}

LumoPeripheralList LumoCentralManager::retrieveConnectedPeripheralsWithServices(const std::vector<BleUUID>& serviceUUIDs) {
    return wrappersByPeripherals(manager_->retrieveConnectedPeripheralsWithServices(serviceUUIDs));
}

std::shared_ptr<LumoPeripheral> LumoCentralManager::wrapperByPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    if (!peripheral) return nullptr;
    for (const auto& wrapper : scannedPeripherals_)
        if (wrapper->cbPeripheral() == peripheral) return wrapper;

    // A wrapper that left the list but is still held keeps receiving its peripheral's reports
    // (and stays its delegate): a pending connect completion must not be orphaned by a rescan.
    std::shared_ptr<LumoPeripheral> wrapper;
    if (auto it = liveWrappers_.find(peripheral.get()); it != liveWrappers_.end()) {
        wrapper = it->second.lock();
        if (wrapper && wrapper->cbPeripheral() != peripheral) wrapper = nullptr;
    }
    if (wrapper) {
        // Back in the list like a new wrapper: the signal and advertisement of an earlier scan are
        // not carried into this one.
        wrapper->setRSSI(0);
        wrapper->setAdvertisingData({});
    } else {
        std::erase_if(liveWrappers_, [](const auto& entry) { return entry.second.expired(); });
        wrapper = LumoPeripheral::create(peripheral, weak_from_this());
        liveWrappers_[peripheral.get()] = wrapper;
    }
    joinList(wrapper);
    return wrapper;
}

void LumoCentralManager::joinList(const std::shared_ptr<LumoPeripheral>& wrapper) {
    scannedPeripherals_.push_back(wrapper);
    if (auto block = peripheralBlock_) block(LumoPeripheralList(scannedPeripherals_));
}

LumoPeripheralList LumoCentralManager::wrappersByPeripherals(const std::vector<std::shared_ptr<PlatformPeripheral>>& peripherals) {
    LumoPeripheralList wrappers;
    for (const auto& peripheral : peripherals)
        if (auto wrapper = wrapperByPeripheral(peripheral)) wrappers.push_back(std::move(wrapper));
    return wrappers;
}

// --- Platform callbacks (centralQueue) --------------------------------------------------------

void LumoCentralManager::onMain(std::function<void(LumoCentralManager&)> work) {
    // Called back on the main queue itself (a run loop: on the thread running it): the work runs in
    // place, in the order the callbacks come.
    const auto* loop = dynamic_cast<const RunLoop*>(centralQueue_.get());
    if (isMainQueue(centralQueue_.get()) && (!loop || loop->isCurrent())) {
        const auto self = shared_from_this();
        work(*self);
        return;
    }
    mainQueue()->async([weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock()) work(*self);
    });
}

void LumoCentralManager::centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>&) {
    onMain([](LumoCentralManager& self) {
        NotificationCenter::defaultCenter().post(kLumoCentralManagerDidUpdateState, std::static_pointer_cast<void>(self.shared_from_this()));
    });
}

void LumoCentralManager::centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                             const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                             const AdvertisementData& advertisementData, int64_t rssi) {
    onMain([peripheral, advertisementData, rssi](LumoCentralManager& self) { self.handleDiscovery(peripheral, advertisementData, rssi); });
}

void LumoCentralManager::handleDiscovery(const std::shared_ptr<PlatformPeripheral>& peripheral, AdvertisementData data, int64_t rssi) {
    auto wrapper = wrapperByPeripheral(peripheral);  // a newcomer is announced here, before RSSI and data are set
    if (!wrapper) return;
    wrapper->setRSSI(wrapper->RSSI() == 0 ? rssi : smoothedRSSI(rssi, wrapper->RSSI()));
    wrapper->setAdvertisingData(std::move(data));
    if (scannedPeripherals_.size() >= peripheralsCountToStop_) {
        cancelTimedStops();
        stopScanForPeripherals();
    }
}

void LumoCentralManager::centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                            const std::shared_ptr<PlatformPeripheral>& peripheral) {
    onMain([peripheral](LumoCentralManager& self) {
        if (auto wrapper = self.wrapperByPeripheral(peripheral)) wrapper->handleConnectionWithError(std::nullopt);
    });
}

void LumoCentralManager::centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                                  const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                                  const OptError& error) {
    onMain([peripheral, error](LumoCentralManager& self) {
        if (auto wrapper = self.wrapperByPeripheral(peripheral)) wrapper->handleConnectionWithError(error);
    });
}

void LumoCentralManager::centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                               const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                               const OptError& error) {
    onMain([peripheral, error](LumoCentralManager& self) {
        auto wrapper = self.wrapperByPeripheral(peripheral);
        if (!wrapper) return;
        wrapper->handleDisconnectWithError(error);
        std::erase(self.scannedPeripherals_, wrapper);
    });
}

}  // namespace vexa
