// The session against the virtual token over the simulated Bluetooth LE stack.
#include <gtest/gtest.h>

#include "Backends/Simulated/SimulatedBackend.h"
#include "Emulator/VirtualToken.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "VexaTokenKit/VexaCrypto.h"
#include "tests/support/VirtualMainLoop.h"
#include "tests/support/KeyDelegate.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;
const std::string kKey = "0123456789ABCDEF0123456789ABCDEF";

class EndToEnd : public ::testing::Test {
protected:
    void start(const std::string& hostKey = kKey, std::optional<std::string> tokenKey = kKey) {
        central = LumoCentralManager::create(std::make_shared<SimulatedBackend>(radio), main.loop);
        VirtualTokenConfig config;
        config.key = std::move(tokenKey);
        device = VirtualToken::create(radio, config);
        token = LumoToken::create(central->retrievePeripheralsWithIdentifiers({device->identifier()}).at(0));
        delegate = std::make_shared<KeyDelegate>(hostKey);
        connect();
    }
    void connect() {
        token->setDelegate(delegate);
        token->discover();
        const size_t n = delegate->connects.size();
        until([&] { return delegate->connects.size() > n; });
    }
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

TEST_F(EndToEnd, EveryCommandOverAnEncryptedSession) {
    start();
    ASSERT_EQ(delegate->connects.at(0), (std::pair<OptError, bool>{std::nullopt, false}));
    EXPECT_EQ(device->session(), VirtualToken::Session::Encrypted);
    std::vector<std::string> log;  // one entry per answer: a value, or the error code
    auto ok = [&](const OptError& e) { log.push_back(e ? std::to_string(e->code) : "ok"); };
    auto text = [&](const auto& v, const OptError& e) { e ? ok(e) : log.push_back(std::string(*v)); };
    token->synDateTime(ok);
    token->getSerial([&](const std::string& s, const OptError& e) { text(&s, e); });
    token->getBatteryLevel([&](uint8_t v, const OptError& e) { text(std::optional(std::to_string(v)), e); });
    token->getFirmwareVersion(text);
    token->getHardwareVersion(text);
    token->powerSecureElementOn([&](const auto& atr, const OptError& e) { ok(atr == VirtualTokenConfig::defaultAtr() ? e : Error{}); });
    token->setCommunicationProtocol(1, ok);
    token->sendAPDU({0x00, 0x84, 0x00, 0x00, 0x08}, [&](const auto& r, const OptError& e) { text(std::optional(std::to_string(r ? r->size() : 0)), e); });
    token->powerSecureElementOff(ok);
    token->selectStorage(1, ok);
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);
    token->openFile("/notes.bin", 1, [&](uint8_t h, const OptError& e) {
        ok(e);
        token->writeToFile(h, data, ok);
        token->closeFile(h, ok);
        token->openFile("/notes.bin", 0, [&](uint8_t h2, const OptError& e2) {
            ok(e2);
            token->readFile(h2, 6000, [&](const auto& d, const OptError& re) { ok(d == data ? re : Error{}); });
            token->closeFile(h2, ok);
            token->openDir("/", ok);
            token->getDirItem([&](const auto& entry, const OptError& de) {
                text(std::optional(entry ? entry->at(kFSName) + " " + entry->at(kFSFileSize) : "-"), de);
                token->getDirItem([&](const auto& end, const OptError& ee) { ok(end ? Error{} : ee); });
                token->removeFile("/notes.bin", ok);
                token->writeEnvironmentVariable("colour", "vert é", ok);
                token->readEnvironmentVariable("colour", [&](const auto& n, const auto& v, const OptError& ve) {
                    text(std::optional(n.value_or("-") + "=" + v.value_or("-")), ve);
                });
                token->removeEnvironmentVariable("colour", ok);
                token->readEnvironmentVariable("colour", [&](const auto&, const auto&, const OptError& ve) { ok(ve); });
                token->powerOff(ok);
            });
        });
    });
    until([&] { return !delegate->disconnects.empty(); });
    EXPECT_EQ(log, (std::vector<std::string>{"ok", "VX2400000001", "100", "12", "03", "ok", "ok", "10", "ok", "ok", "ok", "ok", "ok",
                                             "ok", "ok", "ok", "ok", "notes.bin 5000", "ok", "ok", "ok", "colour=vert é", "ok",
                                             "65292", "ok"}));
    EXPECT_FALSE(token->isConnected());
}

TEST_F(EndToEnd, WrongKeyConnectsWithTheUpdateFlag) {
    start("another key, not the token's one.");
    EXPECT_EQ(delegate->connects.at(0), (std::pair<OptError, bool>{std::nullopt, true}));
    OptError error;
    token->getSerial([&](const std::string&, const OptError& e) { error = e; });
    until([&] { return error.has_value(); });
    // The locked token answers in plain text, which does not decrypt: an unparsable reply.
    EXPECT_EQ(*error, (Error{"LumoCommandError", 2, "Invalid lenght of package"}));
}

TEST_F(EndToEnd, TokenFaultsFailOneCommandEachAndTheSessionGoesOn) {
    start();
    std::vector<OptError> errors;
    const std::function<void()> faults[] = {[&] { device->replyStatus(kCodeSerial, 7, 1); }, [&] { device->corruptReplies(kCodeSerial, 1); },
                                            [&] { device->sendEmptyReplies(kCodeSerial, 1); },
                                            [&] { device->reorderReplyFrames(kCodeSerial, 1); }, [] {}};
    for (const auto& arm : faults) {  // each armed for the next request only
        arm();
        token->getSerial([&](const std::string&, const OptError& e) { errors.push_back(e); });
        until([&, n = errors.size()] { return errors.size() == n + 1; });
    }
    EXPECT_EQ(errors, (std::vector<OptError>{Error{kLumoTokenErrorDomain, 0xFF07, "Unable to get serial number"},
                                             Error{"LumoCommandError", 2, "Invalid crc of package"},
                                             lumoTokenError(kLumoTokenErrorInvalidResponse),
                                             // a lone frame numbered 1 reads as an overlong continuation
                                             Error{"LumoBleSocketError", 2, "An invalid lenght of package."}, std::nullopt}));
}

TEST_F(EndToEnd, LinkFaultsNeverHandAReplyToAnotherCommand) {
    start();
    ASSERT_TRUE(device->device().variables().write("long", std::string(400, 'x')));  // a reply of four frames
    ASSERT_TRUE(device->device().variables().write("short", "v"));
    auto& link = device->peripheral()->faults();
    const std::pair<const char*, std::function<void()>> faults[] = {
        {"serial", [&] { link.duplicateNotification(); }},
        {"long", [&] { link.swapNotifications(); }},
        {"long", [&] { link.swapNotifications(), link.swapNotifications(); }},  // frames 2, 0, 1, 3
    };
    for (const auto& [first, arm] : faults) {
        SCOPED_TRACE(first);
        std::vector<std::string> got;  // each answer: its value, or "error"
        auto text = [&](const auto& v, const OptError& e) { got.push_back(e ? "error" : std::string(*v)); };
        auto variable = [&](const auto&, const auto& v, const OptError& e) { text(v, e); };
        arm();
        if (std::string(first) == "serial") token->getSerial([&](const std::string& s, const OptError& e) { text(&s, e); });
        else token->readEnvironmentVariable("long", variable);
        token->getBatteryLevel([&](uint8_t v, const OptError& e) { text(std::optional(std::to_string(v)), e); });
        token->getFirmwareVersion(text);
        token->readEnvironmentVariable("short", variable);
        until([&] { return got.size() == 4; });
        const std::string firstValue = std::string(first) == "serial" ? "VX2400000001" : std::string(400, 'x');
        EXPECT_TRUE(got[0] == firstValue || got[0] == "error") << got[0];
        EXPECT_EQ(std::vector<std::string>(got.begin() + 1, got.end()), (std::vector<std::string>{"100", "12", "v"}));
    }
}

}  // namespace
}  // namespace vexa::test
