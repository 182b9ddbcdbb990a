#include "tests/Emulator/TokenWireClient.h"

#include "Emulator/VirtualToken.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "VexaTokenKit/VexaCrypto.h"

namespace vexa::test {

std::shared_ptr<TokenWireClient> TokenWireClient::create(const std::shared_ptr<SimulatedRadio>& radio, VirtualMainLoop& loop) {
    auto client = std::make_shared<TokenWireClient>(loop);
    client->central = radio->createCentral(client, loop.loop);
    loop.runUntilIdle();
    return client;
}

void TokenWireClient::centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                         const std::shared_ptr<PlatformPeripheral>&) {
    connected = true;
    disconnected = false;
}

void TokenWireClient::centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                            const std::shared_ptr<PlatformPeripheral>&, const OptError&) {
    connected = false;
    disconnected = true;
}

bool TokenWireClient::connect(const std::string& identifier) {
    const auto found = central->retrievePeripheralsWithIdentifiers({identifier});
    if (found.empty()) return false;
    peripheral = found.front();
    peripheral->setDelegate(weak_from_this());
    central->connectPeripheral(peripheral);
    if (!loop_.runUntil([&] { return connected; })) return false;

    const int services = servicesDone_;
    peripheral->discoverServices(std::nullopt);
    if (!loop_.runUntil([&] { return servicesDone_ > services; })) return false;
    std::shared_ptr<PlatformService> tokenService;
    for (const auto& s : peripheral->services())
        if (s->uuid() == BleUUID::fromString(kVirtualTokenServiceUUID)) tokenService = s;
    if (!tokenService) return false;
    const int characteristics = characteristicsDone_;
    peripheral->discoverCharacteristics(std::nullopt, tokenService);
    if (!loop_.runUntil([&] { return characteristicsDone_ > characteristics; })) return false;
    for (const auto& c : tokenService->characteristics()) {
        if (c->uuid() == BleUUID::fromString(kVirtualTokenWriteUUID)) writeCharacteristic = c;
        if (c->uuid() == BleUUID::fromString(kVirtualTokenNotifyUUID)) notifyCharacteristic = c;
    }
    if (!writeCharacteristic || !notifyCharacteristic) return false;
    subscribed_ = false;
    peripheral->setNotifyValue(true, notifyCharacteristic);
    return loop_.runUntil([&] { return subscribed_; });
}

void TokenWireClient::disconnect() {
    central->cancelPeripheralConnection(peripheral);
    loop_.runUntil([&] { return disconnected; });
}

void TokenWireClient::writeFrames(const std::vector<Bytes>& frames) {
    for (const auto& frame : frames) peripheral->writeValue(frame, writeCharacteristic, WriteType::WithResponse);
}

void TokenWireClient::writePackage(const Bytes& package) { writeFrames(BleSocketFormat().pack2Frames(package)); }

std::optional<Bytes> TokenWireClient::awaitPackage(const std::optional<std::string>& key, Duration timeout) {
    if (!loop_.runUntil([&] { return !packages_.empty(); }, timeout)) return std::nullopt;
    Bytes package = packages_.front();
    packages_.erase(packages_.begin());
    if (!key) return package;
    return AES256DecryptWithKey(package, *key);
}

std::optional<Bytes> TokenWireClient::command(uint8_t code, const Bytes& payload, const std::optional<std::string>& key) {
    Bytes package = LumoTokenCommand::buildPackage(code, payload);
    if (key) package = *AES256EncryptWithKey(package, *key);
    writePackage(package);
    const auto reply = awaitPackage(key);
    if (!reply) return std::nullopt;
    std::optional<Bytes> result;
    LumoTokenCommand::parseCommand(*reply, [&](uint8_t, Bytes p) { result = std::move(p); }, {});
    return result;
}

}  // namespace vexa::test
