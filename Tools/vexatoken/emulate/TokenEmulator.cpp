#include "Tools/vexatoken/emulate/TokenEmulator.h"

#include <algorithm>

#include "Emulator/VirtualToken.h"

namespace vexa {

namespace {

constexpr uint16_t kMinimumMtu = 23;  // every LE link carries at least this, before any MTU exchange

}  // namespace

std::shared_ptr<TokenEmulator> TokenEmulator::create(EmulatorSettings settings, std::unique_ptr<sdbus::IConnection> connection,
                                                     std::shared_ptr<DispatchQueue> queue, std::weak_ptr<EmulatorEvents> events) {
    GattServerConfig server{settings.options, settings.config.name, BleUUID::fromString(kVirtualTokenServiceUUID),
                            BleUUID::fromString(kVirtualTokenWriteUUID), BleUUID::fromString(kVirtualTokenNotifyUUID)};
    auto emulator = std::make_shared<TokenEmulator>(std::move(settings), queue, std::move(events));
    emulator->server_ = BlueZGattServer::create(std::move(server), std::move(connection), emulator->weak_from_this(), std::move(queue));
    return emulator;
}

TokenEmulator::TokenEmulator(EmulatorSettings settings, std::shared_ptr<DispatchQueue> queue, std::weak_ptr<EmulatorEvents> listener)
    : settings_(std::move(settings)), queue_(queue), events_(std::move(listener)), endpoint_(VirtualTokenEndpoint::create(settings_.config, queue)) {
    for (const auto& rule : settings_.faults) endpoint_->faults().add(rule);
    endpoint_->setMaxFrameLength(kMinimumMtu - 3);
    // The endpoint lives as long as this object; its callbacks reach it through plain pointers.
    endpoint_->setFrameSink([this](const Bytes& frame) {
        if (!session_ || !notifying_ || !server_) return false;
        if (auto e = events()) e->frame(frame, false);
        server_->notify(frame);
        return true;
    });
    // BlueZ queues notifications and sends them a few per connection event; a link dropped at
    // once would lose the last reply (the one to 0x40).
    endpoint_->setDrainTime([](size_t frames) { return std::chrono::milliseconds(200 + 30 * static_cast<int64_t>(frames)); });
    endpoint_->setPowerOffHandler([this] {
        disconnectCentral();
        if (auto e = events()) e->switchedOff();
    });
    endpoint_->setObserver({[this](const VirtualTokenEndpoint::ReceivedPackage& p) {
                                if (auto e = events()) e->received(p);
                            },
                            [this](const Bytes& reply) {
                                if (auto e = events()) e->replied(reply);
                            }});
}

TokenEmulator::~TokenEmulator() {
    server_.reset();  // ends the D-Bus thread before the endpoint goes
    endpoint_->setFrameSink({});
    endpoint_->setDrainTime({});
    endpoint_->setPowerOffHandler({});
    endpoint_->setObserver({});
}

void TokenEmulator::start() { server_->start(); }

void TokenEmulator::disconnectCentral() {
    if (server_) server_->disconnectCentral();
}

void TokenEmulator::stop() {
    if (server_) server_->stop();
    if (session_) endpoint_->disconnected();
    session_ = false;
}

// ---- server events ----

void TokenEmulator::serverStarted(const std::string& adapter) {
    if (auto e = events()) e->advertising(adapter);
}

void TokenEmulator::serverFailed(const Error& error) {
    if (auto e = events()) e->failed(error);
}

void TokenEmulator::linkChanged(const std::string& address, bool connected) {
    if (auto e = events()) e->linkChanged(address, connected);
}

void TokenEmulator::centralStarted(const std::string& address) {
    session_ = true;
    if (!endpoint_->device().isPoweredOn()) endpoint_->device().setPoweredOn(true);
    endpoint_->connected();
    if (auto e = events()) e->sessionChanged(address, true);
}

void TokenEmulator::centralEnded(const std::string& address) {
    session_ = false;
    endpoint_->disconnected();
    if (auto e = events()) e->sessionChanged(address, false);
}

void TokenEmulator::valueWritten(const Bytes& value, uint16_t mtu) {
    if (!session_) return;
    const size_t usable = std::max<uint16_t>(mtu, kMinimumMtu) - 3;
    endpoint_->setMaxFrameLength(std::min(usable, BleSocketFormat::kMaxFrameSize));
    if (auto e = events()) e->frame(value, true);
    endpoint_->receiveFrame(value);
}

void TokenEmulator::writeRefused(const std::string& address) {
    if (auto e = events()) e->refused(address);
}

}  // namespace vexa
