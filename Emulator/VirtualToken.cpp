#include "Emulator/VirtualToken.h"

#include <utility>

#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "Platform/MainQueue.h"
#include "VexaTokenKit/VexaCrypto.h"

namespace vexa {

std::shared_ptr<VirtualToken> VirtualToken::create(const std::shared_ptr<SimulatedRadio>& radio, VirtualTokenConfig config) {
    auto peripheral = VirtualPeripheral::create(config.name, config.identifier);
    auto token = attach(std::move(peripheral), std::move(config));
    if (radio) radio->addPeripheral(token->peripheral());
    return token;
}

std::shared_ptr<VirtualToken> VirtualToken::attach(std::shared_ptr<VirtualPeripheral> peripheral, VirtualTokenConfig config) {
    auto token = std::make_shared<VirtualToken>(std::move(peripheral), std::move(config), mainQueue());
    token->install();
    return token;
}

VirtualToken::VirtualToken(std::shared_ptr<VirtualPeripheral> peripheral, VirtualTokenConfig config, std::shared_ptr<DispatchQueue> queue)
    : peripheral_(std::move(peripheral)), queue_(queue), device_(std::move(config), queue) {}

void VirtualToken::install() {
    const VirtualTokenConfig& config = device_.config();
    auto write = VirtualCharacteristic::create(BleUUID::fromString(kVirtualTokenWriteUUID), kPropertyWrite);
    notifyCharacteristic_ = VirtualCharacteristic::create(BleUUID::fromString(kVirtualTokenNotifyUUID), kPropertyNotify);
    const BleUUID serviceUUID = BleUUID::fromString(kVirtualTokenServiceUUID);
    peripheral_->addService(VirtualService::create(serviceUUID, {write, notifyCharacteristic_}));
    peripheral_->setName(config.name);
    peripheral_->setRssi(config.rssi);
    peripheral_->setAdvertisingInterval(config.advertisingInterval);
    peripheral_->setAdvertisedServices({serviceUUID});

    // The handlers hold the token weakly: the application owns it, the radio only the peripheral.
    std::weak_ptr<VirtualToken> weak = weak_from_this();
    write->setWriteHandler([weak](const Bytes& value, WriteType) -> OptError {
        if (auto self = weak.lock()) self->receiveFrame(value);
        return std::nullopt;
    });
    peripheral_->setConnectedHandler([weak] {
        if (auto self = weak.lock()) self->connected();
    });
    peripheral_->setDisconnectedHandler([weak](const OptError&) {
        if (auto self = weak.lock()) self->disconnected();
    });
    radio_ = peripheral_->radio();
}

void VirtualToken::connected() {
    ++connection_;
    joiner_ = BleSocketFormat();
    session_ = device_.key() ? Session::Locked : Session::Open;
    sessionKey_.clear();
}

void VirtualToken::disconnected() {
    ++connection_;
    joiner_ = BleSocketFormat();
    session_ = device_.key() ? Session::Locked : Session::Open;
    sessionKey_.clear();
    device_.linkDropped();
}

void VirtualToken::receiveFrame(const Bytes& frame) {
    joiner_.addFrameWithCompletion(frame, [this](const std::optional<Bytes>& package, const OptError& error) {
        if (error || !package) {
            ++frameErrors_;
            return;
        }
        handlePackage(Bytes(*package));
    });
}

void VirtualToken::handlePackage(const Bytes& raw) {
    ReceivedPackage seen;
    auto parse = [&seen](ByteView package, bool encrypted) {
        bool ok = false;
        LumoTokenCommand::parseCommand(
            package,
            [&](uint8_t code, Bytes payload) {
                seen = ReceivedPackage{code, std::move(payload), encrypted, true, Bytes(package.begin(), package.end())};
                ok = true;
            },
            {});
        return ok;
    };

    bool parsed = false;
    if (session_ == Session::Encrypted) {
        const auto plain = AES256DecryptWithKey(raw, sessionKey_);
        parsed = plain && parse(*plain, true);
        // A new synchronisation always travels in plain text.
        if (!parsed) parsed = parse(raw, false) && seen.code == kCodeSyncSessionKey;
    } else {
        parsed = parse(raw, false);
    }
    if (!parsed) {
        record(ReceivedPackage{0, {}, false, false, raw});
        const uint8_t status = session_ == Session::Locked ? kStatusInvalidSessionKey : kStatusInvalidMessage;
        sendReply(0, Bytes{status}, {}, session_ == Session::Encrypted, false);
        return;
    }
    const uint8_t code = seen.code;
    const Bytes payload = seen.payload;
    record(std::move(seen));
    const VirtualTokenFaultPlan plan = faults_.take(code);
    if (plan.noReply) return;
    Bytes reply;
    bool powerOff = false;
    if (plan.status) {
        reply = Bytes{*plan.status};
    } else if (code == kCodeSyncSessionKey) {
        const auto outcome = device_.synchronise(payload);
        reply = Bytes{outcome.status};
        if (outcome.accepted) {
            session_ = outcome.encrypted ? Session::Encrypted : Session::Open;
            sessionKey_ = outcome.encrypted ? *device_.key() : std::string();
        } else if (device_.key()) {
            session_ = Session::Locked;
            sessionKey_.clear();
        }
    } else if (session_ == Session::Locked) {
        reply = Bytes{kStatusInvalidSessionKey};
    } else {
        reply = device_.execute(code, payload);
        powerOff = code == kCodePowerOff && !device_.isPoweredOn();
    }
    // The reply to a synchronisation is always plain text: the host expects it so.
    const bool encrypt = session_ == Session::Encrypted && code != kCodeSyncSessionKey;
    sendReply(code, reply, plan, encrypt, powerOff);
}

void VirtualToken::sendReply(uint8_t code, const Bytes& payload, const VirtualTokenFaultPlan& plan, bool encrypt, bool thenPowerOff) {
    Bytes package = LumoTokenCommand::buildPackage(code, plan.emptyPayload ? ByteView{} : ByteView(payload));
    if (plan.badCrc) package.back() ^= 0xFF;
    recordReply(package);
    if (encrypt) {
        auto sealed = AES256EncryptWithKey(package, sessionKey_);
        if (!sealed) return;
        package = std::move(*sealed);
    }
    std::vector<Bytes> frames = joiner_.pack2Frames(package);
    if (plan.framesOutOfOrder && !frames.empty()) {
        if (frames.size() >= 2)
            std::swap(frames[0], frames[1]);
        else
            frames[0][0] = 1;
    }
    if (plan.delay <= Duration::zero()) {
        notifyFrames(frames, thenPowerOff);
        return;
    }
    std::weak_ptr<VirtualToken> weak = weak_from_this();
    queue_->asyncAfter(plan.delay, [weak, connection = connection_, frames = std::move(frames), thenPowerOff] {
        auto self = weak.lock();
        if (!self) return;
        if (connection == self->connection_)
            self->notifyFrames(frames, thenPowerOff);
        else if (thenPowerOff)
            self->powerOffNow();
    });
}

void VirtualToken::notifyFrames(const std::vector<Bytes>& frames, bool thenPowerOff) {
    for (const Bytes& frame : frames)
        if (!peripheral_->notify(notifyCharacteristic_, frame)) break;
    if (!thenPowerOff) return;
    // The link drops once the reply's notifications have gone out: each occupies the link for the
    // notification delay, behind what is already queued.
    const Duration drain = peripheral_->effectiveLinkTiming().notification * static_cast<int64_t>(frames.size() + 1) +
                           std::chrono::milliseconds(1);
    std::weak_ptr<VirtualToken> weak = weak_from_this();
    queue_->asyncAfter(drain, [weak] {
        if (auto self = weak.lock()) self->powerOffNow();
    });
}

void VirtualToken::powerOffNow() {
    if (device_.isPoweredOn()) return;  // switched on again meanwhile
    if (auto radio = peripheral_->radio()) radio_ = radio;
    peripheral_->disconnect();
    if (auto radio = radio_.lock()) radio->removePeripheral(peripheral_);
}

void VirtualToken::powerOff() {
    device_.setPoweredOn(false);
    powerOffNow();
}

void VirtualToken::powerOn() {
    device_.setPoweredOn(true);
    auto radio = radio_.lock();
    if (radio && !radio->contains(peripheral_.get())) radio->addPeripheral(peripheral_);
}

void VirtualToken::replyStatus(std::optional<uint8_t> command, uint8_t status, int times) {
    faults_.add({command, VirtualTokenFault::ReplyStatus, status, {}, times});
}
void VirtualToken::ignoreCommand(std::optional<uint8_t> command, int times) {
    faults_.add({command, VirtualTokenFault::NoReply, 0, {}, times});
}
void VirtualToken::delayReplies(std::optional<uint8_t> command, Duration delay, int times) {
    faults_.add({command, VirtualTokenFault::Delay, 0, delay, times});
}
void VirtualToken::corruptReplies(std::optional<uint8_t> command, int times) {
    faults_.add({command, VirtualTokenFault::BadCrc, 0, {}, times});
}
void VirtualToken::sendEmptyReplies(std::optional<uint8_t> command, int times) {
    faults_.add({command, VirtualTokenFault::EmptyPayload, 0, {}, times});
}
void VirtualToken::reorderReplyFrames(std::optional<uint8_t> command, int times) {
    faults_.add({command, VirtualTokenFault::FramesOutOfOrder, 0, {}, times});
}

void VirtualToken::record(ReceivedPackage package) {
    if (recordLimit_ == 0) return;
    if (received_.size() >= recordLimit_) received_.pop_front();
    received_.push_back(std::move(package));
}

void VirtualToken::recordReply(const Bytes& package) {
    if (recordLimit_ == 0) return;
    if (replies_.size() >= recordLimit_) replies_.pop_front();
    replies_.push_back(package);
}

void VirtualToken::setRecordLimit(size_t limit) {
    recordLimit_ = limit;
    while (received_.size() > limit) received_.pop_front();
    while (replies_.size() > limit) replies_.pop_front();
}

void VirtualToken::clearRecords() {
    received_.clear();
    replies_.clear();
    frameErrors_ = 0;
}

}  // namespace vexa
