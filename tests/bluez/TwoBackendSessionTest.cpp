// Token sessions over both Bluetooth LE stacks: the simulated radio, and BlueZ (the fake org.bluez)
// against the token emulator, the virtual token served as a GATT peripheral on the fake's second
// adapter, over a link of 140-byte frames ("bluez") and of 20-byte frames ("emulate"). The same
// scenarios must give the same results on each.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "tests/Emulator/TokenTestBytes.h"
#include "tests/LumoTokenSDK/LumoToken/SessionHarness.h"
#include "tests/bluez/SessionRig.h"

namespace vexa::test {
namespace {

const std::string kKey = "FEDCBA9876543210FEDCBA9876543210";

class TwoBackendSessionTest : public ::testing::TestWithParam<std::string> {
protected:
    /// Makes the rig, scans for the token, and runs the session set-up with `hostKey`.
    void start(std::optional<std::string> tokenKey = kKey, const std::string& hostKey = kKey) {
        VirtualTokenConfig config;
        config.name = "Rig Token";
        config.key = std::move(tokenKey);
        if (GetParam() == "sim") rig = std::make_unique<SimulatedRig>(config);
        else rig = std::make_unique<EmulatorRig>(config, GetParam() == "bluez" ? 247 : 23);
        ASSERT_EQ(rig->problem(), "");
        LumoCentralManager& central = *rig->central;
        ASSERT_TRUE(rig->runUntil([&] { return central.isCentralReady(); }));
        central.scanForPeripheralsWithServices(std::vector<BleUUID>{BleUUID::fromString(kLumoTokenServiceUUID)});
        ASSERT_TRUE(rig->runUntil([&] { return !central.scannedPeripherals().empty(); }));
        auto wrapper = central.scannedPeripherals().front();
        central.stopScanForPeripherals();
        EXPECT_EQ(wrapper->name(), "Rig Token");
        token = LumoToken::create(wrapper);
        delegate->key = hostKey;
        token->setDelegate(delegate);
        token->discover();
        ASSERT_TRUE(rig->runUntil([&] { return !delegate->connects.empty(); }));
    }

    void TearDown() override {
        if (token && token->isConnected()) {
            bool done = false;
            token->getPeripheral()->disconnectWithCompletion([&](const OptError&) { done = true; });
            EXPECT_TRUE(rig->runUntil([&] { return done; }));
        }
        token.reset();
        delegate.reset();
        rig.reset();
    }

    bool until(const std::function<bool()>& done) { return rig->runUntil(done); }

    std::unique_ptr<SessionRig> rig;
    std::shared_ptr<LumoToken> token;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

// Another key than the token's: the session comes up asking for an update, and the locked
// token's plain-text status does not decrypt.
TEST_P(TwoBackendSessionTest, RejectedKeyConnectsWithTheUpdateFlagAndTheLockedTokenAnswersNothing) {
    ASSERT_NO_FATAL_FAILURE(start(kKey, "not the token's key at all, no...."));
    EXPECT_EQ(delegate->connects.at(0), (std::pair<OptError, bool>{std::nullopt, true}));
    EXPECT_EQ(rig->token().session(), VirtualTokenEndpoint::Session::Locked);
    OptError error;
    token->getSerial([&](const std::string&, const OptError& e) { error = e; });
    ASSERT_TRUE(until([&] { return error.has_value(); }));
    EXPECT_EQ(*error, (Error{"LumoCommandError", 2, "Invalid lenght of package"}));
    EXPECT_TRUE(token->isConnected());
}

// The matching key: an encrypted session in which every command runs once.
TEST_P(TwoBackendSessionTest, EveryDeviceCommandOnceWithAMultiFrameFileThenPowerOffDropsTheLink) {
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(delegate->connects.at(0), (std::pair<OptError, bool>{std::nullopt, false}));
    EXPECT_TRUE(token->needEncryptFlag());
    EXPECT_EQ(rig->token().session(), VirtualTokenEndpoint::Session::Encrypted);
    std::vector<std::string> log;  // one entry per answer: a value, "ok", or the error code
    auto ok = [&](const OptError& e) { log.push_back(e ? std::to_string(e->code) : "ok"); };
    auto text = [&](const std::optional<std::string>& v, const OptError& e) { e ? ok(e) : log.push_back(v.value_or("-")); };
    auto handle = [&](uint8_t h, const OptError& e) { text(std::to_string(h), e); };
    Bytes data(3000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    token->synDateTime(ok);
    token->getSerial([&](const std::string& s, const OptError& e) { text(s, e); });
    token->getBatteryLevel([&](uint8_t v, const OptError& e) { text(std::to_string(v), e); });
    token->getFirmwareVersion(text);
    token->getHardwareVersion(text);
    token->powerSecureElementOn([&](const auto& atr, const OptError& e) { ok(atr == VirtualTokenConfig::defaultAtr() ? e : Error{}); });
    token->setCommunicationProtocol(1, ok);
    token->sendAPDU({0x00, 0x84, 0x00, 0x00, 0x08}, [&](const auto& r, const OptError& e) { text(std::to_string(r ? r->size() : 0), e); });
    token->powerSecureElementOff(ok);
    token->selectStorage(1, ok);
    token->openFile("/blob.bin", 1, handle);  // the token hands out handle 1 first
    token->writeToFile(1, data, ok);          // many frames, in pieces
    token->closeFile(1, ok);
    token->openFile("/blob.bin", 0, handle);
    token->readFile(1, 4000, [&](const auto& d, const OptError& e) { ok(d == data ? e : Error{}); });
    token->closeFile(1, ok);
    token->writeEnvironmentVariable("colour", "vert", ok);
    token->readEnvironmentVariable("colour", [&](const auto& n, const auto& v, const OptError& e) { text(n.value_or("-") + "=" + v.value_or("-"), e); });
    token->removeEnvironmentVariable("colour", ok);
    token->powerOff(ok);
    ASSERT_TRUE(until([&] { return !delegate->disconnects.empty(); }));
    EXPECT_EQ(log, (std::vector<std::string>{"ok", "VX2400000001", "100", "12", "03", "ok", "ok", "10", "ok", "ok", "1", "ok", "ok", "1", "ok",
                                             "ok", "ok", "colour=vert", "ok", "ok"}));
    EXPECT_FALSE(rig->token().device().isPoweredOn());
    EXPECT_FALSE(token->isConnected());
    EXPECT_EQ(rig->token().frameErrorCount(), 0u);
    EXPECT_GT(expectEncryptedAfterSync(rig->token()), 0u);
}

TEST_P(TwoBackendSessionTest, TokenFaultsFailOneCommandEachAndTheSessionGoesOn) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::pair<VirtualTokenFault, std::string> rows[] = {
        {VirtualTokenFault::ReplyStatus, "org.vexatokenkit.LumoToken 65287"},   // status 7
        {VirtualTokenFault::BadCrc, "LumoCommandError 2"},
        {VirtualTokenFault::EmptyPayload, "org.vexatokenkit.LumoToken 2"},      // an invalid reply
        {VirtualTokenFault::FramesOutOfOrder, "LumoBleSocketError 2"},
        {VirtualTokenFault::Delay, "VX2400000001"},                             // late, but answered
    };
    for (const auto& [fault, expected] : rows) {
        SCOPED_TRACE(expected);
        rig->token().faults().add({kCmdGetSerial, fault, 7, std::chrono::milliseconds(50), 1});  // the next request only
        std::optional<std::string> got;
        token->getSerial([&](const std::string& s, const OptError& e) { got = e ? e->domain + " " + std::to_string(e->code) : s; });
        ASSERT_TRUE(until([&] { return got.has_value(); }));
        EXPECT_EQ(*got, expected);
    }
    EXPECT_TRUE(token->isConnected());
}

TEST_P(TwoBackendSessionTest, RemoteDisconnectFailsTheWaitingAndQueuedCommandsWithCode1) {
    ASSERT_NO_FATAL_FAILURE(start());
    rig->token().faults().add({kCmdGetSerial, VirtualTokenFault::NoReply, 0, {}, 1});
    std::vector<OptError> errors;
    token->getSerial([&](const std::string&, const OptError& e) { errors.push_back(e); });
    token->getBatteryLevel([&](uint8_t, const OptError& e) { errors.push_back(e); });
    ASSERT_TRUE(until([&] {
        const auto& seen = rig->token().receivedPackages();
        return !seen.empty() && seen.back().code == kCmdGetSerial;
    }));
    rig->dropLinkFromToken();
    ASSERT_TRUE(until([&] { return errors.size() == 2 && !delegate->disconnects.empty(); }));
    // The platform's disconnect error, re-coded to 1 (its domain is the backend's).
    for (const auto& e : errors) EXPECT_EQ(e.value_or(Error{}).code, 1);
    EXPECT_EQ(delegate->disconnects.size(), 1u);
    EXPECT_FALSE(token->isConnected());
}

INSTANTIATE_TEST_SUITE_P(Backends, TwoBackendSessionTest, ::testing::Values("sim", "bluez", "emulate"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
}  // namespace vexa::test
