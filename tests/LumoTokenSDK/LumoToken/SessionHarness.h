#pragma once
// A token session over the scriptable fake platform: the device answers discoveries, writes and
// subscriptions by itself; the test reads the packages written and feeds reply frames.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "Platform/HostDevice.h"
#include "tests/support/FakeBlePlatform.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::test {

// Stand-in cipher: every byte XOR 0x5A, plus two filler bytes after the package.
inline Bytes toyCipher(const Bytes& in, bool encrypt) {
    Bytes out = in;
    if (encrypt) out.insert(out.end(), {0, 0});
    for (auto& b : out) b ^= 0x5A;
    return out;
}

class RecordingDelegate : public LumoTokenDelegate {
public:
    struct Connect {
        OptError error;
        bool needUpdate;
    };
    Bytes hash{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    std::optional<uint8_t> mode;  // nothing: not overridden
    bool cipher = false;          // the cipher hooks count as implemented
    bool failEncrypt = false;
    std::vector<Connect> connects;
    std::vector<OptError> disconnects;
    std::function<void(LumoToken&)> onConnect;

    Bytes needHashSessionKey(LumoToken&) override { return hash; }
    void didConnect(LumoToken& token, const OptError& error, bool needUpdate) override {
        connects.push_back({error, needUpdate});
        if (onConnect) onConnect(token);
    }
    void didDisconnect(LumoToken&, const OptError& error) override { disconnects.push_back(error); }
    std::optional<Bytes> willEncryptData(LumoToken& token, const Bytes& package) override {
        if (!cipher) return LumoTokenDelegate::willEncryptData(token, package);
        if (failEncrypt) return std::nullopt;
        return toyCipher(package, true);
    }
    std::optional<Bytes> willDecryptData(LumoToken& token, const Bytes& package) override {
        if (!cipher) return LumoTokenDelegate::willDecryptData(token, package);
        return toyCipher(package, false);
    }
    uint8_t requireSynModeSK(LumoToken& token) override { return mode ? *mode : LumoTokenDelegate::requireSynModeSK(token); }
};

struct Sent {
    uint8_t code;
    Bytes payload;
};

class SessionHarness {
public:
    explicit SessionHarness(bool withNotifyCharacteristic = true, bool withService = true) {
        setHostDeviceName("AB");
        central = LumoCentralManager::create(backend, main.loop);
        fakeCentral = backend->central();
        fakeCentral->autoConnect = true;
        fakeCentral->autoDisconnect = true;
        device = fakeCentral->makePeripheral("ID-1", "Token");
        device->autoAnswerDiscovery = true;
        device->autoAnswerWrites = true;
        device->autoAnswerNotify = true;
        device->addService(BleUUID::fromString("180a"));
        if (withService) {
            service = device->addService(BleUUID::fromString(kLumoTokenServiceUUID));
            writeChar = service->addCharacteristic(BleUUID::fromString(kLumoTokenWriteCharacteristicUUID), kPropertyWrite);
            if (withNotifyCharacteristic)
                notifyChar = service->addCharacteristic(BleUUID::fromString(kLumoTokenNotifyCharacteristicUUID), kPropertyNotify);
        }
        wrapper = central->wrapperByPeripheral(device);
        token = LumoToken::create(wrapper);
    }

    /// Runs the set-up up to the synchronisation and answers it with `status`.
    void connect(uint8_t status = 0) {
        token->setDelegate(delegate);
        token->discover();
        main.runUntilIdle();
        ASSERT_FALSE(sent().empty());
        ASSERT_EQ(sent().back().code, kCmdSyncSessionKey);
        reply({status});
    }

    /// Every package written so far, decrypted when the toy cipher is on and `decrypt` is set.
    std::vector<Sent> sent(bool decrypt = false) const {
        std::vector<Sent> out;
        BleSocketFormat joiner;
        for (const Bytes& frame : device->writesTo(writeChar)) {
            joiner.addFrameWithCompletion(frame, [&](const std::optional<Bytes>& package, const OptError&) {
                if (!package) return;
                Bytes plain = decrypt ? toyCipher(*package, false) : *package;
                LumoTokenCommand::parseCommand(
                    plain, [&](uint8_t code, Bytes payload) { out.push_back({code, std::move(payload)}); }, [](const Error&) {});
            });
        }
        return out;
    }
    std::vector<Bytes> frames() const { return device->writesTo(writeChar); }

    /// Sends a reply package with `payload` (encrypted when the session encrypts) in frames.
    void reply(const Bytes& payload, uint8_t code = 0) {
        Bytes package = LumoTokenCommand::buildPackage(code, payload);
        if (token->needEncryptFlag() && delegate->cipher) package = toyCipher(package, true);
        for (const Bytes& frame : BleSocketFormat().pack2Frames(package)) device->notify(notifyChar, frame);
        main.runUntilIdle();
    }
    void notifyFrame(const Bytes& frame) {
        device->notify(notifyChar, frame);
        main.runUntilIdle();
    }

    VirtualMainLoop main;
    std::shared_ptr<FakeBleBackend> backend = std::make_shared<FakeBleBackend>();
    std::shared_ptr<LumoCentralManager> central;
    std::shared_ptr<FakeCentral> fakeCentral;
    std::shared_ptr<FakePeripheral> device;
    std::shared_ptr<FakeService> service;
    std::shared_ptr<FakeCharacteristic> writeChar, notifyChar;
    std::shared_ptr<LumoPeripheral> wrapper;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<LumoToken> token;
};

/// Collects (payload, error) answers of reply handlers.
struct Answers {
    std::vector<std::pair<std::optional<Bytes>, OptError>> list;
    LumoReplyHandler handler() {
        return [this](const std::optional<Bytes>& payload, const OptError& error) { list.emplace_back(payload, error); };
    }
};

}  // namespace vexa::test
