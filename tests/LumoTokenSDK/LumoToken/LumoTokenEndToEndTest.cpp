// The session against the virtual token over the simulated Bluetooth LE stack.
#include <gtest/gtest.h>

#include "Backends/Simulated/SimulatedBackend.h"
#include "Emulator/VirtualToken.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "VexaTokenKit/VexaCrypto.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;

// The owner's side of the session key: MD5 of the key string, AES-256 with it.
class KeyDelegate : public LumoTokenDelegate {
public:
    explicit KeyDelegate(std::string key) : key_(std::move(key)) {}
    Bytes needHashSessionKey(LumoToken&) override { return MD5Data(key_); }
    void didConnect(LumoToken&, const OptError& error, bool needUpdate) override {
        connects.push_back(error);
        needUpdates.push_back(needUpdate);
    }
    void didDisconnect(LumoToken&, const OptError& error) override { disconnects.push_back(error); }
    std::optional<Bytes> willEncryptData(LumoToken&, const Bytes& package) override { return AES256EncryptWithKey(package, key_); }
    std::optional<Bytes> willDecryptData(LumoToken&, const Bytes& package) override { return AES256DecryptWithKey(package, key_); }
    std::vector<OptError> connects;
    std::vector<bool> needUpdates;
    std::vector<OptError> disconnects;

private:
    std::string key_;
};

class EndToEnd : public ::testing::Test {
protected:
    void start(const std::string& tokenKey, const std::string& hostKey) {
        central = LumoCentralManager::create(std::make_shared<SimulatedBackend>(radio), main.loop);
        VirtualTokenConfig config;
        config.name = "Token A";
        config.key = tokenKey;
        device = VirtualToken::create(radio, config);
        auto wrappers = central->retrievePeripheralsWithIdentifiers({device->identifier()});
        ASSERT_EQ(wrappers.size(), 1u);
        token = LumoToken::create(wrappers[0]);
        delegate = std::make_shared<KeyDelegate>(hostKey);
        token->setDelegate(delegate);
        token->discover();
        ASSERT_TRUE(main.runUntil([&] { return !delegate->connects.empty(); }));
    }
    // Runs until `done` (or a minute of virtual time).
    template <class F>
    void until(F done) {
        ASSERT_TRUE(main.runUntil(done, 60s));
    }

    VirtualMainLoop main;
    std::shared_ptr<SimulatedRadio> radio = SimulatedRadio::create();
    std::shared_ptr<LumoCentralManager> central;
    std::shared_ptr<VirtualToken> device;
    std::shared_ptr<LumoToken> token;
    std::shared_ptr<KeyDelegate> delegate;
};

const std::string kKey = "0123456789ABCDEF0123456789ABCDEF";

TEST_F(EndToEnd, EveryCommandOverAnEncryptedSession) {
    start(kKey, kKey);
    ASSERT_FALSE(delegate->connects[0]);
    EXPECT_FALSE(delegate->needUpdates[0]);
    EXPECT_EQ(device->session(), VirtualToken::Session::Encrypted);

    int steps = 0;
    auto ok = [&](const OptError& e) {
        EXPECT_FALSE(e) << e->description();
        ++steps;
    };
    token->synDateTime(ok);
    token->getSerial([&](const std::string& s, const OptError& e) { EXPECT_EQ(s, "VX2400000001"); ok(e); });
    token->getBatteryLevel([&](uint8_t level, const OptError& e) { EXPECT_EQ(level, 100); ok(e); });
    token->getFirmwareVersion([&](const std::optional<std::string>& v, const OptError& e) { EXPECT_EQ(v, "12"); ok(e); });
    token->getHardwareVersion([&](const std::optional<std::string>& v, const OptError& e) { EXPECT_EQ(v, "03"); ok(e); });
    token->powerSecureElementOn([&](const std::optional<Bytes>& atr, const OptError& e) { EXPECT_EQ(atr, VirtualTokenConfig::defaultAtr()); ok(e); });
    token->setCommunicationProtocol(1, ok);
    token->sendAPDU({0x00, 0x84, 0x00, 0x00, 0x08}, [&](const std::optional<Bytes>& r, const OptError& e) {
        ASSERT_TRUE(r);
        EXPECT_EQ(r->size(), 10u);
        EXPECT_EQ(Bytes(r->end() - 2, r->end()), (Bytes{0x90, 0x00}));
        ok(e);
    });
    token->powerSecureElementOff(ok);
    until([&] { return steps == 9; });

    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);
    uint8_t handle = 0;
    std::optional<Bytes> read;
    token->selectStorage(1, ok);
    token->openFile("/notes.bin", 1, [&](uint8_t h, const OptError& e) {
        handle = h;
        ok(e);
        token->writeToFile(h, data, [&, h](const OptError& we) {
            ok(we);
            token->closeFile(h, ok);
            token->openFile("/notes.bin", 0, [&](uint8_t h2, const OptError& e2) {
                ok(e2);
                token->readFile(h2, 6000, [&](const std::optional<Bytes>& d, const OptError& re) {
                    read = d;
                    ok(re);
                });
                token->closeFile(h2, ok);
            });
        });
    });
    until([&] { return steps == 16; });
    EXPECT_NE(handle, 0);
    EXPECT_EQ(read, data);

    std::vector<LumoToken::DirEntry> entries;
    std::function<void(const std::optional<LumoToken::DirEntry>&, const OptError&)> next =
        [&](const std::optional<LumoToken::DirEntry>& entry, const OptError& e) {
            ok(e);
            if (!entry) return;
            entries.push_back(*entry);
            token->getDirItem(next);
        };
    token->openDir("/", [&](const OptError& e) {
        ok(e);
        token->getDirItem(next);
    });
    until([&] { return steps == 19; });
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].at(kFSName), "notes.bin");
    EXPECT_EQ(entries[0].at(kFSFileSize), "5000");
    EXPECT_EQ(entries[0].at(kFSAttributes), "F");
    token->removeFile("/notes.bin", ok);

    std::optional<std::string> value;
    token->writeEnvironmentVariable("colour", "vert é", ok);
    token->readEnvironmentVariable("colour", [&](const auto& n, const auto& v, const OptError& e) {
        EXPECT_EQ(n, "colour");
        value = v;
        ok(e);
    });
    token->removeEnvironmentVariable("colour", ok);
    OptError missing;
    token->readEnvironmentVariable("colour", [&](const auto&, const auto&, const OptError& e) { missing = e; ++steps; });
    until([&] { return steps == 24; });
    EXPECT_EQ(value, "vert é");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->code, 0xFF0C);

    token->powerOff(ok);
    until([&] { return !delegate->disconnects.empty(); });
    EXPECT_EQ(steps, 25);
    EXPECT_FALSE(token->isConnected());
    EXPECT_EQ(device->frameErrorCount(), 0u);
}

TEST_F(EndToEnd, WrongKeyIsReportedAsNeedingAnUpdate) {
    start(kKey, "another key, not the token's one.");
    ASSERT_EQ(delegate->connects.size(), 1u);
    EXPECT_FALSE(delegate->connects[0]);
    EXPECT_TRUE(delegate->needUpdates[0]);
    OptError error;
    token->getSerial([&](const std::string&, const OptError& e) { error = e; });
    until([&] { return error.has_value(); });
    // The locked token answers in plain text, which does not decrypt: an unparsable reply.
    EXPECT_EQ(*error, (Error{"LumoCommandError", 2, "Invalid lenght of package"}));
}

TEST_F(EndToEnd, TokenFaultsEachFailOneCommandAndTheSessionGoesOn) {
    start(kKey, kKey);
    std::vector<OptError> errors;
    auto record = [&](const std::string&, const OptError& e) { errors.push_back(e); };
    // Each fault is armed for the next serial request only.
    const std::function<void()> arm[] = {[&] { device->replyStatus(kCodeSerial, 7, 1); }, [&] { device->corruptReplies(kCodeSerial, 1); },
                                         [&] { device->sendEmptyReplies(kCodeSerial, 1); }, [] {}};
    for (const auto& fault : arm) {
        fault();
        token->getSerial(record);
        until([&, n = errors.size()] { return errors.size() == n + 1; });
    }
    EXPECT_EQ(*errors[0], (Error{kLumoTokenErrorDomain, 0xFF07, "Unable to get serial number"}));
    EXPECT_EQ(errors[1]->code, 2);
    EXPECT_EQ(errors[1]->domain, "LumoCommandError");
    EXPECT_EQ(*errors[2], lumoTokenError(kLumoTokenErrorInvalidResponse));
    EXPECT_FALSE(errors[3]);

    // A reply whose frames come out of order.
    std::vector<std::pair<std::optional<Bytes>, OptError>> apdus;
    auto apdu = [&](const std::optional<Bytes>& r, const OptError& e) { apdus.emplace_back(r, e); };
    device->reorderReplyFrames(kCodeSecureElementOn, 1);
    token->powerSecureElementOn(apdu);
    token->powerSecureElementOn(apdu);
    until([&] { return apdus.size() == 2; });
    ASSERT_TRUE(apdus[0].second);
    EXPECT_EQ(apdus[0].second->code, 2);
    EXPECT_EQ(apdus[0].second->domain, "LumoBleSocketError");
    EXPECT_EQ(apdus[1].first, VirtualTokenConfig::defaultAtr());
    EXPECT_TRUE(token->isConnected());
}

TEST_F(EndToEnd, SilentTokenTimesOutAndTheLinkIsDropped) {
    start(kKey, kKey);
    device->ignoreCommand(kCodeBattery);
    std::vector<OptError> errors;
    token->getBatteryLevel([&](uint8_t, const OptError& e) { errors.push_back(e); });
    token->getSerial([&](const std::string&, const OptError& e) { errors.push_back(e); });
    until([&] { return errors.size() == 2; });
    EXPECT_EQ(errors[0]->code, 4);
    EXPECT_EQ(*errors[1], lumoTokenError(kLumoTokenErrorConnectionLost));
    EXPECT_EQ(delegate->disconnects.size(), 1u);
    EXPECT_FALSE(token->isConnected());
}

TEST_F(EndToEnd, LinkFaults) {
    start(kKey, kKey);
    // A lost write: the command fails with the platform's error and the link is dropped.
    device->peripheral()->faults().failWrite(Error{"SimulatedBleError", 3, "write failed"});
    std::vector<OptError> errors;
    token->getSerial([&](const std::string&, const OptError& e) { errors.push_back(e); });
    token->getSerial([&](const std::string&, const OptError& e) { errors.push_back(e); });
    until([&] { return errors.size() == 2; });
    EXPECT_EQ(*errors[0], (Error{"SimulatedBleError", 3, "write failed"}));
    EXPECT_EQ(errors[1]->code, 1);
    until([&] { return !delegate->disconnects.empty(); });
    EXPECT_FALSE(token->isConnected());
}

TEST_F(EndToEnd, OutOfRangeDuringACommand) {
    start(kKey, kKey);
    device->delayReplies(kCodeSerial, 5s);
    OptError error;
    token->getSerial([&](const std::string&, const OptError& e) { error = e; });
    main.runFor(1s);
    radio->removePeripheral(device->peripheral());
    until([&] { return error.has_value(); });
    EXPECT_EQ(error->code, 1);
    ASSERT_EQ(delegate->disconnects.size(), 1u);
    ASSERT_TRUE(delegate->disconnects[0]);
    EXPECT_EQ(delegate->disconnects[0]->code, 1);
    EXPECT_EQ(delegate->disconnects[0]->message, error->message);
}

TEST_F(EndToEnd, RefusedConnection) {
    central = LumoCentralManager::create(std::make_shared<SimulatedBackend>(radio), main.loop);
    device = VirtualToken::create(radio, {});
    device->peripheral()->faults().refuseConnections(Error{"SimulatedBleError", 9, "refused"});
    token = LumoToken::create(central->retrievePeripheralsWithIdentifiers({device->identifier()})[0]);
    delegate = std::make_shared<KeyDelegate>("k");
    token->setDelegate(delegate);
    token->discover();
    until([&] { return !delegate->connects.empty(); });
    EXPECT_EQ(*delegate->connects[0], (Error{"SimulatedBleError", 9, "refused"}));
    EXPECT_FALSE(token->delegate());
    // A retry on the same session succeeds (a token without a key accepts any hash).
    token->setDelegate(delegate);
    token->discover();
    until([&] { return delegate->connects.size() == 2; });
    EXPECT_FALSE(delegate->connects[1]);
}

}  // namespace
}  // namespace vexa::test
