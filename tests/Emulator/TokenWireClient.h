#pragma once
// A bare central for the virtual-token tests: connects through the simulated platform interface,
// writes raw frames to the token's write characteristic and collects the notified frames.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Backends/Simulated/SimulatedRadio.h"
#include "Emulator/VirtualToken.h"
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "VexaTokenKit/VexaCrypto.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::test {

class TokenWireClient : public PlatformCentralDelegate, public PlatformPeripheralDelegate, public std::enable_shared_from_this<TokenWireClient> {
public:
    using P = std::shared_ptr<PlatformPeripheral>;
    using C = std::shared_ptr<PlatformCharacteristic>;
    explicit TokenWireClient(VirtualMainLoop& loop) : loop_(loop) {}
    static std::shared_ptr<TokenWireClient> create(const std::shared_ptr<SimulatedRadio>& radio, VirtualMainLoop& loop) {
        auto client = std::make_shared<TokenWireClient>(loop);
        client->central = radio->createCentral(client, loop.loop);
        return client;
    }

    /// Connects, discovers the token service and subscribes to the notify characteristic.
    bool connect(const std::string& identifier) {
        const auto found = central->retrievePeripheralsWithIdentifiers({identifier});
        if (found.empty()) return false;
        peripheral = found.front();
        peripheral->setDelegate(weak_from_this());
        central->connectPeripheral(peripheral);
        if (!loop_.runUntil([&] { return connected; })) return false;
        peripheral->discoverServices(std::vector<BleUUID>{BleUUID::fromString(kVirtualTokenServiceUUID)});
        if (!loop_.runUntil([&] { return !peripheral->services().empty(); })) return false;
        const auto service = peripheral->services().front();
        peripheral->discoverCharacteristics(std::nullopt, service);
        if (!loop_.runUntil([&] { return service->characteristics().size() == 2u; })) return false;
        for (const auto& c : service->characteristics())
            (c->uuid() == BleUUID::fromString(kVirtualTokenWriteUUID) ? writeCharacteristic : notifyCharacteristic) = c;
        peripheral->setNotifyValue(true, notifyCharacteristic);
        return loop_.runUntil([&] { return notifyCharacteristic->isNotifying(); });
    }
    void disconnect() {
        central->cancelPeripheralConnection(peripheral);
        loop_.runUntil([&] { return !connected; });
    }
    /// Writes each frame with response, in order.
    void writeFrames(const std::vector<Bytes>& frames) {
        for (const auto& frame : frames) peripheral->writeValue(frame, writeCharacteristic, WriteType::WithResponse);
    }
    void writePackage(const Bytes& package) { writeFrames(BleSocketFormat().pack2Frames(package)); }
    /// The next reply package joined from the notifications, within `timeout` of virtual time;
    /// decrypted with `key` when one is given.
    std::optional<Bytes> awaitPackage(const std::optional<std::string>& key = std::nullopt, Duration timeout = std::chrono::seconds(5)) {
        if (!loop_.runUntil([&] { return !packages_.empty(); }, timeout)) return std::nullopt;
        Bytes package = packages_.front();
        packages_.erase(packages_.begin());
        return key ? AES256DecryptWithKey(package, *key) : package;
    }
    /// Sends one command (encrypted with `key` when given) and returns the reply payload.
    std::optional<Bytes> command(uint8_t code, const Bytes& payload = {}, const std::optional<std::string>& key = std::nullopt) {
        Bytes package = LumoTokenCommand::buildPackage(code, payload);
        writePackage(key ? *AES256EncryptWithKey(package, *key) : package);
        const auto reply = awaitPackage(key);
        std::optional<Bytes> result;
        if (reply) LumoTokenCommand::parseCommand(*reply, [&](uint8_t, Bytes p) { result = std::move(p); }, {});
        return result;
    }

    std::vector<Bytes> notifications;  // every notified frame, in arrival order
    std::vector<OptError> writeAnswers;
    std::vector<Error> joinErrors;     // errors of joining the notified frames
    bool connected = false, disconnected = false;
    std::shared_ptr<PlatformCentral> central;
    P peripheral;
    C writeCharacteristic, notifyCharacteristic;

    void centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>&) override {}
    void centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>&, const P&, const AdvertisementData&, int64_t) override {}
    void centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>&, const P&) override { connected = true, disconnected = false; }
    void centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>&, const P&, const OptError&) override {}
    void centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>&, const P&, const OptError&) override {
        connected = false, disconnected = true;
    }
    void peripheralDidDiscoverServices(const P&, const OptError&) override {}
    void peripheralDidDiscoverCharacteristicsForService(const P&, const std::shared_ptr<PlatformService>&, const OptError&) override {}
    void peripheralDidUpdateValueForCharacteristic(const P&, const C& characteristic, const OptError&) override {
        notifications.push_back(characteristic->value());
        joiner_.addFrameWithCompletion(notifications.back(), [this](const std::optional<Bytes>& package, const OptError& error) {
            if (error) joinErrors.push_back(*error);
            if (package) packages_.push_back(*package);
        });
    }
    void peripheralDidUpdateNotificationStateForCharacteristic(const P&, const C&, const OptError&) override {}
    void peripheralDidWriteValueForCharacteristic(const P&, const C&, const OptError& error) override { writeAnswers.push_back(error); }
    void peripheralDidReadRSSI(const P&, int64_t, const OptError&) override {}

private:
    VirtualMainLoop& loop_;
    BleSocketFormat joiner_;
    std::vector<Bytes> packages_;  // joined, not yet taken
};

}  // namespace vexa::test
