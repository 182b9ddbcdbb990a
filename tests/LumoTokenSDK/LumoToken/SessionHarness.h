#pragma once
// A token session over the scriptable fake platform: the device answers discoveries, writes and
// subscriptions by itself; the test reads the packages written and feeds reply frames.
#include <gtest/gtest.h>

#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "Platform/HostDevice.h"
#include "VexaTokenKit/VexaCrypto.h"
#include "tests/support/FakeBlePlatform.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::test {

// Stand-in cipher: two filler bytes after the package, then every byte XOR 0x5A.
inline Bytes toyCipher(Bytes b, bool encrypt) {
    if (encrypt) b.insert(b.end(), {0, 0});
    for (auto& x : b) x ^= 0x5A;
    return b;
}

class RecordingDelegate : public LumoTokenDelegate {
public:
    Bytes hash{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    std::optional<uint8_t> mode;        // nothing: not overridden
    bool cipher = false, failEncrypt = false;  // cipher: the hooks count as implemented
    std::optional<std::string> key;     // a real key instead: its MD5 as the hash, AES-256 with it both ways
    std::vector<std::pair<OptError, bool>> connects;
    std::vector<OptError> disconnects;
    std::function<void(LumoToken&)> onConnect;

    Bytes needHashSessionKey(LumoToken&) override { return key ? MD5Data(*key) : hash; }
    void didConnect(LumoToken& token, const OptError& error, bool needUpdate) override {
        connects.emplace_back(error, needUpdate);
        if (onConnect) onConnect(token);
    }
    void didDisconnect(LumoToken&, const OptError& error) override { disconnects.push_back(error); }
    std::optional<Bytes> willEncryptData(LumoToken& t, const Bytes& p) override {
        if (key) return AES256EncryptWithKey(p, *key);
        if (!cipher) return LumoTokenDelegate::willEncryptData(t, p);
        return failEncrypt ? std::nullopt : std::optional<Bytes>(toyCipher(p, true));
    }
    std::optional<Bytes> willDecryptData(LumoToken& t, const Bytes& p) override {
        if (key) return AES256DecryptWithKey(p, *key);
        return cipher ? toyCipher(p, false) : LumoTokenDelegate::willDecryptData(t, p);
    }
    uint8_t requireSynModeSK(LumoToken& t) override { return mode ? *mode : LumoTokenDelegate::requireSynModeSK(t); }
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
        fake = backend->central();
        fake->autoConnect = fake->autoDisconnect = true;
        device = fake->makePeripheral("ID-1", "Token");
        device->autoAnswerDiscovery = device->autoAnswerWrites = device->autoAnswerNotify = true;
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

    void discover() {
        token->setDelegate(delegate);
        token->discover();
        main.runUntilIdle();
    }
    /// Runs the set-up and answers the synchronisation with `status`.
    void connect(uint8_t status = 0) {
        discover();
        ASSERT_EQ(sent().back().code, kCmdSyncSessionKey);
        reply({status});
    }
    /// Every package written so far (parsed; still encrypted ones are skipped).
    std::vector<Sent> sent() const {
        std::vector<Sent> out;
        BleSocketFormat joiner;
        for (const Bytes& frame : frames())
            joiner.addFrameWithCompletion(frame, [&](const std::optional<Bytes>& package, const OptError&) {
                if (package) LumoTokenCommand::parseCommand(*package, [&](uint8_t c, Bytes p) { out.push_back({c, p}); }, nullptr);
            });
        return out;
    }
    std::vector<Bytes> frames() const { return writeChar ? device->writesTo(writeChar) : std::vector<Bytes>{}; }
    /// Notifies a reply package with `payload` (encrypted when the session encrypts).
    void reply(const Bytes& payload) {
        Bytes package = LumoTokenCommand::buildPackage(0, payload);
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
    std::shared_ptr<FakeCentral> fake;
    std::shared_ptr<FakePeripheral> device;
    std::shared_ptr<FakeService> service;
    std::shared_ptr<FakeCharacteristic> writeChar, notifyChar;
    std::shared_ptr<LumoPeripheral> wrapper;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<LumoToken> token;
};

/// Collects the answers of reply handlers.
struct Answers {
    std::vector<std::pair<std::optional<Bytes>, OptError>> list;
    LumoReplyHandler handler() {
        return [this](const std::optional<Bytes>& p, const OptError& e) { list.emplace_back(p, e); };
    }
    OptError error(size_t i) const { return i < list.size() ? list[i].second : std::nullopt; }
};

inline Error tokenError(int64_t code, const char* message) { return Error{kLumoTokenErrorDomain, code, message}; }

}  // namespace vexa::test
