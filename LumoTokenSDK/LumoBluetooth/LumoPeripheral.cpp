#include "LumoTokenSDK/LumoBluetooth/LumoPeripheral.h"

#include <any>
#include <chrono>
#include <cstdio>

#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "Platform/MainQueue.h"
#include "Platform/NotificationCenter.h"

namespace vexa {

std::shared_ptr<LumoPeripheral> LumoPeripheral::create(std::shared_ptr<PlatformPeripheral> peripheral,
                                                       std::weak_ptr<LumoCentralManager> central) {
    std::shared_ptr<LumoPeripheral> wrapper(new LumoPeripheral(std::move(peripheral), std::move(central)));
    wrapper->cbPeripheral_->setDelegate(wrapper);
    return wrapper;
}

LumoPeripheral::LumoPeripheral(std::shared_ptr<PlatformPeripheral> peripheral, std::weak_ptr<LumoCentralManager> central)
    : cbPeripheral_(std::move(peripheral)), central_(std::move(central)) {}

LumoPeripheral::~LumoPeripheral() = default;

bool LumoPeripheral::isConnected() const { return cbPeripheral_->state() == PeripheralState::Connected; }

std::string LumoPeripheral::UUIDString() const { return cbPeripheral_->identifier(); }

std::optional<std::string> LumoPeripheral::name() const { return cbPeripheral_->name(); }

std::string LumoPeripheral::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return std::string("<LumoPeripheral: ") + address + "> UUIDString: " + UUIDString();
}

std::shared_ptr<PlatformCentral> LumoPeripheral::platformCentral() const {
    auto central = central_.lock();
    return central ? central->manager() : nullptr;
}

template <class Callback>
Callback LumoPeripheral::takeSlot(Callback& slot) {
    std::lock_guard lock(slotMutex_);
    Callback taken = std::move(slot);
    slot = nullptr;
    return taken;
}

template <class Callback>
void LumoPeripheral::replaceSlot(Callback& slot, Callback callback) {
    Callback old;
    {
        std::lock_guard lock(slotMutex_);
        old = std::move(slot);
        slot = std::move(callback);
    }
    // `old` is released here, outside the lock: its captures may do anything when destroyed.
}

// --- Requests ---------------------------------------------------------------------------------

void LumoPeripheral::connectWithCompletion(LumoErrorCallback completion) {
    watchDogRaised_ = false;
    replaceSlot(connectionBlock_, std::move(completion));
    if (auto central = platformCentral()) central->connectPeripheral(cbPeripheral_);
}

void LumoPeripheral::connectWithTimeout(unsigned seconds, LumoErrorCallback completion) {
    connectWithCompletion(std::move(completion));
    // Like a retained timer target: the wrapper lives until its watchdog has fired or been cancelled.
    auto self = shared_from_this();
    watchDogs_.push_back(mainQueue()->asyncAfter(std::chrono::seconds(seconds), [self] { self->connectionWatchDogFired(); }));
}

void LumoPeripheral::disconnectWithCompletion(LumoErrorCallback completion) {
    replaceSlot(disconnectBlock_, std::move(completion));
    if (auto central = platformCentral()) central->cancelPeripheralConnection(cbPeripheral_);
}

void LumoPeripheral::discoverServicesWithCompletion(LumoServicesCallback completion) {
    discoverServices(std::nullopt, std::move(completion));
}

void LumoPeripheral::discoverServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs, LumoServicesCallback completion) {
    replaceSlot(discoverServicesBlock_, std::move(completion));
    if (isConnected()) {
        discoveringServices_ = true;
        cbPeripheral_->discoverServices(serviceUUIDs);
        return;
    }
    if (auto held = takeSlot(discoverServicesBlock_))
        held(std::nullopt, connectionErrorWithCode(kConnectionMissingErrorCode, kConnectionMissingErrorMessage));
}

void LumoPeripheral::readRSSIValueCompletion(LumoRSSICallback completion) {
    replaceSlot(rssiValueBlock_, std::move(completion));
    if (isConnected()) {
        cbPeripheral_->readRSSI();
        return;
    }
    if (auto held = takeSlot(rssiValueBlock_))
        held(std::nullopt, connectionErrorWithCode(kConnectionMissingErrorCode, kConnectionMissingErrorMessage));
}

// --- Connection reports -----------------------------------------------------------------------

void LumoPeripheral::post(const char* name, const OptError& error) {
    std::map<std::string, std::any> info;
    info[kLumoPeripheralErrorKey] = error ? std::any(*error) : std::any(NullMarker{});
    NotificationCenter::defaultCenter().post(name, std::static_pointer_cast<void>(shared_from_this()), std::move(info));
}

void LumoPeripheral::handleConnectionWithError(const OptError& error) {
    auto keepAlive = shared_from_this();
    for (auto& call : watchDogs_) call.cancel();
    watchDogs_.clear();
    // Taken out before the call, so a connect request made from the completion keeps its own.
    if (auto completion = takeSlot(connectionBlock_)) completion(error);
    post(kLumoeripheralDidConnect, error);
}

void LumoPeripheral::handleDisconnectWithError(const OptError& error) {
    auto keepAlive = shared_from_this();
    if (auto completion = takeSlot(disconnectBlock_)) {
        completion(error);
        return;
    }
    post(kLumoPeripheralDidDisconnect, error);
}

Error LumoPeripheral::connectionErrorWithCode(int64_t code, const std::string& message) {
    return Error{kLumoPeripheralErrorDomain, code, message};
}

void LumoPeripheral::connectionWatchDogFired() {
    watchDogRaised_ = true;
    // The completion holds the wrapper until the disconnection has been reported.
    auto self = shared_from_this();
    disconnectWithCompletion([self](const OptError&) {
        if (auto completion = self->takeSlot(self->connectionBlock_))
            completion(connectionErrorWithCode(kConnectionTimeoutErrorCode, kConnectionTimeoutErrorMessage));
    });
}

// --- Wrappers ---------------------------------------------------------------------------------

void LumoPeripheral::updateServiceWrappers() {
    LumoServiceList list;
    for (auto& service : cbPeripheral_->services()) list.push_back(std::make_shared<LumoService>(std::move(service)));
    if (services_) {
        for (const auto& old : *services_) old->retireCharacteristics();
    }
    services_ = std::move(list);
}

std::shared_ptr<LumoService> LumoPeripheral::wrapperByService(const std::shared_ptr<PlatformService>& service) const {
    if (!services_ || !service) return nullptr;
    for (const auto& wrapper : *services_)
        if (wrapper->cbService() == service) return wrapper;
    return nullptr;
}

std::shared_ptr<LumoCharacteristic> LumoPeripheral::characteristicWrapper(
    const std::shared_ptr<PlatformService>& service, const std::shared_ptr<PlatformCharacteristic>& characteristic) const {
    auto serviceWrapper = wrapperByService(service);
    return serviceWrapper ? serviceWrapper->wrapperByCharacteristic(characteristic) : nullptr;
}

std::shared_ptr<LumoCharacteristic> LumoPeripheral::characteristicWrapper(
    const std::shared_ptr<PlatformCharacteristic>& characteristic) const {
    if (!services_ || !characteristic) return nullptr;
    for (const auto& service : *services_)
        if (auto wrapper = service->wrapperByCharacteristic(characteristic)) return wrapper;
    return nullptr;
}

// --- Platform callbacks (central's queue) -----------------------------------------------------

bool LumoPeripheral::callsBackOnMain() const {
    // The queue is looked up through the central once; after that, the central still being alive
    // is enough, as its queue never changes.
    const DispatchQueue* queue = centralQueue_.load(std::memory_order_acquire);
    if (!queue) {
        const auto central = central_.lock();
        if (!central || !central->centralQueue()) return false;
        queue = central->centralQueue().get();
        centralQueueIsLoop_.store(dynamic_cast<const RunLoop*>(queue) != nullptr, std::memory_order_relaxed);
        centralQueue_.store(queue, std::memory_order_release);
    } else if (central_.expired()) {
        return false;
    }
    if (!isMainQueue(queue)) return false;
    // A run loop tells whether this thread is running it; another queue calls back on itself.
    return !centralQueueIsLoop_.load(std::memory_order_relaxed) || static_cast<const RunLoop*>(queue)->isCurrent();
}

template <class Work>
void LumoPeripheral::onMain(Work&& work) {
    // A central that calls back on the main queue itself is already there: the work runs in place,
    // in the order the callbacks come.
    if (callsBackOnMain()) {
        const auto self = shared_from_this();
        work(*self);
        return;
    }
    mainQueue()->async([weak = weak_from_this(), work = std::forward<Work>(work)]() mutable {
        if (auto self = weak.lock()) work(*self);
    });
}

void LumoPeripheral::peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>&, const OptError& error) {
    onMain([error](LumoPeripheral& self) {
        self.discoveringServices_ = false;
        self.updateServiceWrappers();
        if (auto completion = self.takeSlot(self.discoverServicesBlock_)) completion(self.services_, error);
    });
}

void LumoPeripheral::peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<PlatformPeripheral>&,
                                                                    const std::shared_ptr<PlatformService>& service,
                                                                    const OptError& error) {
    onMain([service, characteristics = service->characteristics(), error](LumoPeripheral& self) {
        if (auto wrapper = self.wrapperByService(service)) wrapper->handleDiscoveredCharacteristics(characteristics, error);
    });
}

void LumoPeripheral::peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>&,
                                                               const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                               const OptError& error) {
    if (!updatingValue_ && callsBackOnMain()) {
        // Handled in place: the value is read into a buffer the wrapper keeps (unless a handler
        // nests another update in it). The platform holds this delegate for the whole call.
        // The wrapper of the last such update is kept: values mostly come from one characteristic.
        updatingValue_ = true;
        characteristic->copyValue(*valueBuffer_);
        if (!valueWrapper_ || valueWrapper_->cbCharacteristic() != characteristic || valueWrapper_->isRetired())
            valueWrapper_ = characteristicWrapper(characteristic);
        if (valueWrapper_) valueWrapper_->handleReadValue(valueBuffer_, error);
        updatingValue_ = false;
        return;
    }
    // The value is copied now: the platform may change it before the main queue runs.
    std::optional<Bytes> value = characteristic->value();
    onMain([service = characteristic->service(), characteristic, value = std::move(value), error](LumoPeripheral& self) {
        if (auto wrapper = self.characteristicWrapper(service, characteristic)) wrapper->handleReadValue(value, error);
    });
}

void LumoPeripheral::peripheralDidUpdateNotificationStateForCharacteristic(const std::shared_ptr<PlatformPeripheral>&,
                                                                           const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                                           const OptError& error) {
    onMain([service = characteristic->service(), characteristic, error](LumoPeripheral& self) {
        if (auto wrapper = self.characteristicWrapper(service, characteristic)) wrapper->handleSetNotifiedWithError(error);
    });
}

void LumoPeripheral::peripheralDidWriteValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>&,
                                                              const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                              const OptError& error) {
    onMain([service = characteristic->service(), characteristic, error](LumoPeripheral& self) {
        if (auto wrapper = self.characteristicWrapper(service, characteristic)) wrapper->handleWrittenValueWithError(error);
    });
}

void LumoPeripheral::peripheralDidReadRSSI(const std::shared_ptr<PlatformPeripheral>&, int64_t rssi, const OptError& error) {
    onMain([rssi, error](LumoPeripheral& self) {
        if (auto completion = self.takeSlot(self.rssiValueBlock_)) completion(rssi, error);
    });
}

}  // namespace vexa
