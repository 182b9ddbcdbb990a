// Connection set-up (connect, find the service and characteristics, subscribe, synchronise the
// session key), the end of a set-up, and the loss of the link.
#include <any>
#include <utility>

#include "LumoTokenSDK/LumoBluetooth/LumoCharacteristic.h"
#include "LumoTokenSDK/LumoBluetooth/LumoPeripheral.h"
#include "LumoTokenSDK/LumoBluetooth/LumoService.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenDataField.h"
#include "Platform/HostDevice.h"
#include "Platform/NotificationCenter.h"

namespace vexa {
namespace {

// At most `limit` bytes of `text`, cut before a UTF-8 sequence that would not fit whole.
ByteView utf8Prefix(const std::string& text, size_t limit) {
    size_t n = std::min(text.size(), limit);
    if (n < text.size()) {
        while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
    }
    return ByteView(reinterpret_cast<const uint8_t*>(text.data()), n);
}

void append(Bytes& out, const LumoTokenDataField& field) { out.insert(out.end(), field.toData().begin(), field.toData().end()); }

// The "error" entry of a peripheral notification: an error, or nothing for the null marker.
OptError notificationError(const Notification& notification) {
    const auto it = notification.userInfo.find(kLumoPeripheralErrorKey);
    if (it == notification.userInfo.end()) return std::nullopt;
    if (const auto* error = std::any_cast<Error>(&it->second)) return *error;
    if (const auto* error = std::any_cast<OptError>(&it->second)) return *error;
    return std::nullopt;
}

}  // namespace

const std::vector<BleUUID>& LumoToken::UUIDServices() {
    static const std::vector<BleUUID> services{BleUUID::fromString(kLumoTokenServiceUUID)};
    return services;
}

void LumoToken::discover() {
    if (peripheral_) {
        discoverWithPeripheral(peripheral_);
    } else {
        // No session can start without a peripheral, so the delegate is not kept.
        delegate_.reset();
    }
}

void LumoToken::discoverWithPeripheral(std::shared_ptr<LumoPeripheral> peripheral) {
    if (!peripheral) return;
    const auto keepAlive = weak_from_this().lock();
    // A new set-up replaces whatever session ran before: its commands end as on a lost link.
    std::vector<LumoReplyHandler> stale = takeAllCommands();
    if (peripheral_ != peripheral) stopObservingDisconnect();
    peripheral_ = std::move(peripheral);
    wCharacterisric_.reset();
    rCharacteristic_.reset();
    dropping_ = false;
    replyGuard_.reset();
    sessionOpen_ = false;
    setupRunning_ = true;
    const uint64_t generation = ++setupGeneration_;
    // Observed from the start, so that a link lost during the set-up ends it.
    observeDisconnect();
    for (const auto& handler : stale) handler(std::nullopt, lumoTokenError(kLumoTokenErrorConnectionLost));
    if (!setupIsCurrent(generation)) return;

    const std::weak_ptr<LumoToken> weak = weak_from_this();
    peripheral_->connectWithCompletion([weak, generation](const OptError& error) {
        if (auto self = weak.lock(); self && self->setupIsCurrent(generation)) self->setupConnected(error);
    });
}

void LumoToken::setupConnected(const OptError& error) {
    if (error) return notyConnected(error);
    const std::weak_ptr<LumoToken> weak = weak_from_this();
    const uint64_t generation = setupGeneration_;
    // Asking for the token service by name lets a stack that exports its GATT objects late wait for it.
    peripheral_->discoverServices(UUIDServices(), [weak, generation](const std::optional<LumoServiceList>& services, const OptError& e) {
        if (auto self = weak.lock(); self && self->setupIsCurrent(generation)) self->setupServicesFound(services, e);
    });
}

void LumoToken::setupServicesFound(const std::optional<std::vector<std::shared_ptr<LumoService>>>& services, const OptError& error) {
    if (error) return notyConnected(error);
    std::shared_ptr<LumoService> tokenService;
    for (const auto& service : services.value_or(LumoServiceList{})) {
        if (service && service->UUIDString() == kLumoTokenServiceUUID) {
            tokenService = service;
            break;
        }
    }
    if (!tokenService) return notyConnected(lumoTokenError(kLumoTokenErrorCharacteristicsMissing));

    const std::weak_ptr<LumoToken> weak = weak_from_this();
    const uint64_t generation = setupGeneration_;
    static const std::vector<BleUUID> kCharacteristics{BleUUID::fromString(kLumoTokenWriteCharacteristicUUID),
                                                       BleUUID::fromString(kLumoTokenNotifyCharacteristicUUID)};
    tokenService->discoverCharacteristicsWithUUIDs(
        kCharacteristics, [weak, generation](const std::optional<LumoCharacteristicList>& characteristics, const OptError& e) {
            if (auto self = weak.lock(); self && self->setupIsCurrent(generation)) self->setupCharacteristicsFound(characteristics, e);
        });
}

void LumoToken::setupCharacteristicsFound(const std::optional<std::vector<std::shared_ptr<LumoCharacteristic>>>& chars,
                                          const OptError& error) {
    if (error) return notyConnected(error);
    wCharacterisric_.reset();
    rCharacteristic_.reset();
    for (const auto& characteristic : chars.value_or(LumoCharacteristicList{})) {
        if (!characteristic) continue;
        const std::string uuid = characteristic->UUIDString();
        if (uuid == kLumoTokenWriteCharacteristicUUID) wCharacterisric_ = characteristic;
        if (uuid == kLumoTokenNotifyCharacteristicUUID) rCharacteristic_ = characteristic;
    }
    if (!wCharacterisric_ || !rCharacteristic_) {
        wCharacterisric_.reset();
        rCharacteristic_.reset();
        return notyConnected(lumoTokenError(kLumoTokenErrorCharacteristicsMissing));
    }

    const std::weak_ptr<LumoToken> weak = weak_from_this();
    const uint64_t generation = setupGeneration_;
    rCharacteristic_->setNotifyValue(
        true,
        [weak, generation](const OptError& e) {
            if (auto self = weak.lock(); self && self->setupIsCurrent(generation)) self->setupSubscribed(e);
        },
        // Per frame: everything runs on the main queue, so a session still there when a frame
        // arrives stays until code that may let it go runs, and notyReceivedData holds it from then.
        [weak, token = this](const std::optional<Bytes>& value, const OptError& e) {
            if (!weak.expired()) token->notyReceivedData(value, e);
        });
}

void LumoToken::setupSubscribed(const OptError& error) {
    // Without notifications no reply could arrive: the set-up ends here.
    if (error) return notyConnected(error);
    const std::weak_ptr<LumoToken> weak = weak_from_this();
    const uint64_t generation = setupGeneration_;
    syncSessionKey([weak, generation](const OptError& e) {
        if (auto self = weak.lock(); self && self->setupIsCurrent(generation)) self->notyConnected(e);
    });
}

void LumoToken::syncSessionKey(ErrorCallback completion) {
    const auto delegate = delegate_;
    if (!delegate) return;
    const Bytes hash = delegate->needHashSessionKey(*this);
    syncModeSK_ = delegate->requireSynModeSK(*this);

    Bytes payload;
    const ByteView hashView(hash);
    append(payload, LumoTokenDataField(0, hashView.first(std::min(hashView.size(), LumoTokenDataField::kMaxDataLength))));
    const uint8_t mode[] = {syncModeSK_};
    append(payload, LumoTokenDataField(1, mode));
    append(payload, LumoTokenDataField(2, utf8Prefix(hostDeviceName(), LumoTokenDataField::kMaxDataLength)));

    // The synchronisation and its reply travel unencrypted; from its reply on, all traffic is.
    m_needEncryptFlag = false;
    const std::weak_ptr<LumoToken> weak = weak_from_this();
    submit(
        kCmdSyncSessionKey, payload,
        [weak, completion = std::move(completion)](const std::optional<Bytes>& reply, const OptError& error) {
            if (auto self = weak.lock()) self->m_needEncryptFlag = true;
            if (!completion) return;
            if (error) return completion(error);
            if (reply && !reply->empty() && (*reply)[0] != 0) return completion(replyStatusError((*reply)[0]));
            completion(std::nullopt);
        },
        nullptr, setupRunning_);
}

void LumoToken::notyConnected(const OptError& error) {
    const auto keepAlive = weak_from_this().lock();
    observeDisconnect();
    setupRunning_ = false;
    // The engine goes idle; commands that waited for the set-up are dropped.
    resetEngine();

    OptError reported = error;
    bool needUpdate = false;
    if (error && error->code == (kLumoTokenErrorReplyStatusBase | kReplyStatusInvalidSessionKey)) {
        reported.reset();
        needUpdate = true;
    }
    sessionOpen_ = !reported;
    // A failed set-up never leaves a usable link behind: the session drops a link that is up, and
    // its disconnect is not reported (the delegate hears the failure only).
    if (reported && isConnected()) dropConnection();
    const auto delegate = delegate_;
    const uint64_t generation = setupGeneration_;
    if (delegate) delegate->didConnect(*this, reported, needUpdate);
    // A failed set-up ends the session, and with it the hold on the delegate (unless the
    // delegate started a new set-up meanwhile).
    if (reported && generation == setupGeneration_ && !setupRunning_ && delegate_ == delegate) delegate_.reset();
}

void LumoToken::notyDisconnected(const Notification& notification) {
    if (!isOwnPeripheral(notification)) return;
    const auto keepAlive = weak_from_this().lock();
    stopObservingDisconnect();
    const OptError platformError = notificationError(notification);
    const Error lost = platformError ? *decodeError(platformError, kLumoTokenErrorConnectionLost)
                                     : lumoTokenError(kLumoTokenErrorConnectionLost);
    dropping_ = false;
    replyGuard_.reset();

    if (setupRunning_) {
        // The link went down during the set-up: the set-up fails with that loss (through the
        // synchronisation's completion when it waits) and keeps the peripheral for a retry.
        if (replyPending_) finishCurrent(std::nullopt, lost);
        if (setupRunning_) notyConnected(lost);
        return;
    }

    const std::vector<LumoReplyHandler> pending = takeAllCommands();
    // The link of a failed set-up went down: that session has ended already, and the peripheral
    // stays for another attempt.
    const bool wasOpen = std::exchange(sessionOpen_, false);
    const auto delegate = delegate_;
    if (delegate && wasOpen) delegate->didDisconnect(*this, decodeError(platformError, kLumoTokenErrorConnectionLost));
    if (!setupRunning_ && wasOpen) {
        peripheral_.reset();
        if (delegate_ == delegate) delegate_.reset();  // the session has ended
    }
    for (const auto& handler : pending) handler(std::nullopt, lost);
}

void LumoToken::observeDisconnect() {
    if (observing_ || !peripheral_) return;
    observing_ = true;
    const std::weak_ptr<LumoToken> weak = weak_from_this();
    NotificationCenter::defaultCenter().addObserver(this, kLumoPeripheralDidDisconnect, static_cast<const void*>(peripheral_.get()),
                                                    [weak](const Notification& notification) {
                                                        if (auto self = weak.lock()) self->notyDisconnected(notification);
                                                    });
}

void LumoToken::stopObservingDisconnect() {
    NotificationCenter::defaultCenter().removeObserver(this);
    observing_ = false;
}

bool LumoToken::isOwnPeripheral(const Notification& notification) const {
    return peripheral_ && notification.object.get() == static_cast<const void*>(peripheral_.get());
}

}  // namespace vexa
