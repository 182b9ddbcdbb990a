#include "Emulator/VirtualToken.h"

#include <utility>

#include "Platform/MainQueue.h"

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
    : peripheral_(std::move(peripheral)), endpoint_(VirtualTokenEndpoint::create(std::move(config), std::move(queue))) {}

void VirtualToken::install() {
    const VirtualTokenConfig& config = device().config();
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
        if (auto self = weak.lock()) self->endpoint_->receiveFrame(value);
        return std::nullopt;
    });
    peripheral_->setConnectedHandler([weak] {
        if (auto self = weak.lock()) self->endpoint_->connected();
    });
    peripheral_->setDisconnectedHandler([weak](const OptError&) {
        if (auto self = weak.lock()) self->endpoint_->disconnected();
    });
    // The endpoint, which this token alone owns, is the only caller of its sink: the sink never
    // runs without the token, so it takes no hold on it for every frame.
    endpoint_->setFrameSink([this](Bytes& frame) { return peripheral_->notifyReusing(notifyCharacteristic_, frame); });
    // Each notification occupies the link for the notification delay, behind what is already queued.
    endpoint_->setDrainTime([weak](size_t frames) {
        auto self = weak.lock();
        if (!self) return Duration::zero();
        return self->peripheral_->effectiveLinkTiming().notification * static_cast<int64_t>(frames + 1) + std::chrono::milliseconds(1);
    });
    endpoint_->setPowerOffHandler([weak] {
        if (auto self = weak.lock()) self->dropFromRadio();
    });
    radio_ = peripheral_->radio();
}

void VirtualToken::dropFromRadio() {
    if (auto radio = peripheral_->radio()) radio_ = radio;
    peripheral_->disconnect();
    if (auto radio = radio_.lock()) radio->removePeripheral(peripheral_);
}

void VirtualToken::powerOn() {
    device().setPoweredOn(true);
    auto radio = radio_.lock();
    if (radio && !radio->contains(peripheral_.get())) radio->addPeripheral(peripheral_);
}

void VirtualToken::replyStatus(std::optional<uint8_t> command, uint8_t status, int times) {
    faults().add({command, VirtualTokenFault::ReplyStatus, status, {}, times});
}
void VirtualToken::ignoreCommand(std::optional<uint8_t> command, int times) {
    faults().add({command, VirtualTokenFault::NoReply, 0, {}, times});
}
void VirtualToken::delayReplies(std::optional<uint8_t> command, Duration delay, int times) {
    faults().add({command, VirtualTokenFault::Delay, 0, delay, times});
}
void VirtualToken::corruptReplies(std::optional<uint8_t> command, int times) {
    faults().add({command, VirtualTokenFault::BadCrc, 0, {}, times});
}
void VirtualToken::sendEmptyReplies(std::optional<uint8_t> command, int times) {
    faults().add({command, VirtualTokenFault::EmptyPayload, 0, {}, times});
}
void VirtualToken::reorderReplyFrames(std::optional<uint8_t> command, int times) {
    faults().add({command, VirtualTokenFault::FramesOutOfOrder, 0, {}, times});
}

}  // namespace vexa
