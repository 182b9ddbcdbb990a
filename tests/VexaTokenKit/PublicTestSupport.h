#pragma once
// End-to-end fixture for the public interface: a token manager over its own central on the
// simulated radio, virtual tokens on that radio, and delegates that record every event.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Backends/Simulated/SimulatedBackend.h"
#include "Emulator/VirtualToken.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "Platform/HostDevice.h"
#include "VexaTokenKit/VexaTokenKit.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::test {

class ManagerEvents : public VexaTokenManagerDelegate {
public:
    std::vector<VexaTokenList> discovered;
    VexaTokenList connected, disconnected, notPaired;
    std::vector<Error> failures;
    std::vector<std::string> notReady;
    std::vector<std::string> log;  // "<event>:<token name>", in order
    std::optional<uint8_t> mode;   // answer of tokenManagerRequireSyncSKMethod; none: not overridden

    void tokenManagerDidDiscoverTokens(const Manager&, const VexaTokenList& tokens) override { discovered.push_back(tokens); }
    void tokenManagerDidConnectToToken(const Manager&, const Token& token) override {
        connected.push_back(token);
        log.push_back("connect:" + token->name());
    }
    void tokenManagerDidFailToConnectToToken(const Manager&, const Token& token, const Error& error) override {
        failures.push_back(error);
        log.push_back("fail:" + token->name());
    }
    void tokenIsNotPaired(const Token& token) override {
        notPaired.push_back(token);
        log.push_back("notPaired:" + token->name());
    }
    void tokenManagerDidDisconnectFromToken(const Manager&, const Token& token) override {
        disconnected.push_back(token);
        log.push_back("disconnect:" + token->name());
    }
    uint8_t tokenManagerRequireSyncSKMethod(const Manager& m, const Token& t) override {
        return mode ? *mode : VexaTokenManagerDelegate::tokenManagerRequireSyncSKMethod(m, t);
    }
    void tokenManagerCentralNotReady(const Manager&, const std::string& reason) override { notReady.push_back(reason); }
};

/// One call of a token delegate method with the values it carried.
struct TokenEvent {
    std::string method{};
    OptError error{};
    double number = 0;                   // serial, battery level, handle, success
    std::optional<std::string> text{};   // version, variable value
    std::optional<std::string> name{};   // variable name
    std::optional<Bytes> data{};         // ATR, APDU response, bytes read
    std::optional<std::vector<VexaFileEntry>> files{};
    std::vector<VexaPairedDevice> devices{};
};

class TokenEvents : public VexaTokenDelegate {
public:
    std::vector<TokenEvent> events;

    size_t count(const std::string& method) const {
        return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const auto& e) { return e.method == method; }));
    }
    const TokenEvent* last(const std::string& method) const {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->method == method) return &*it;
        return nullptr;
    }

    using OptText = std::optional<std::string>;
    using OptData = std::optional<Bytes>;
    void didInitializeToken(const Token&, const OptError& e) override { add({"initialize", e}); }
    void tokenDidGetSerial(const Token&, int32_t v, const OptError& e) override { add({"serial", e, double(v)}); }
    void tokenDidGetBatteryLevel(const Token&, double v, const OptError& e) override { add({"battery", e, v}); }
    void tokenDidGetFirmwareVersion(const Token&, const OptText& v, const OptError& e) override { add({"firmware", e, 0, v}); }
    void tokenDidGetHardwareVersion(const Token&, const OptText& v, const OptError& e) override { add({"hardware", e, 0, v}); }
    void didPowerOffToken(const Token&, const OptError& e) override { add({"powerOff", e}); }
    void tokenDidPowerSecureElementOnWithAtr(const Token&, const OptData& d, const OptError& e) override { add({"atr", e, 0, {}, {}, d}); }
    void tokenDidSetCommunicationProtocol(const Token&, bool ok, const OptError& e) override { add({"protocol", e, double(ok)}); }
    void tokenDidGetResponseAPDU(const Token&, const OptData& d, const OptError& e) override { add({"apdu", e, 0, {}, {}, d}); }
    void tokenDidOpenFile(const Token&, uint8_t h, const OptError& e) override { add({"open", e, double(h)}); }
    void tokenDidCloseFile(const Token&, uint8_t h, const OptError& e) override { add({"close", e, double(h)}); }
    void tokenDidWriteFile(const Token&, uint8_t h, const OptError& e) override { add({"write", e, double(h)}); }
    void tokenDidReadFile(const Token&, uint8_t h, const OptData& d, const OptError& e) override { add({"read", e, double(h), {}, {}, d}); }
    void tokenDidRemoveFile(const Token&, const OptError& e) override { add({"removeFile", e}); }
    void tokenDidListFiles(const Token&, const std::optional<std::vector<VexaFileEntry>>& f, const OptError& e) override {
        add({"list", e, 0, {}, {}, {}, f});
    }
    void tokenDidSelectDeviceStorage(const Token&, const OptError& e) override { add({"storage", e}); }
    void tokenDidReadEnvironmentVariable(const Token&, const OptText& n, const OptText& v, const OptError& e) override {
        add({"readVar", e, 0, v, n});
    }
    void tokenDidWriteEnvironmentVariable(const Token&, const OptError& e) override { add({"writeVar", e}); }
    void tokenDidRemoveEnvironmentVariable(const Token&, const OptError& e) override { add({"removeVar", e}); }
    void tokenDidPairedDevices(const Token&, const std::vector<VexaPairedDevice>& d, const OptError& e) override {
        add({"paired", e, 0, {}, {}, {}, {}, d});
    }
    void tokenDidRemovePairedDevice(const Token&, const OptError& e) override { add({"removePaired", e}); }

private:
    void add(TokenEvent event) { events.push_back(std::move(event)); }
};

class PublicTest : public ::testing::Test {
protected:
    static constexpr const char* kHostName = "Test Host";

    void SetUp() override {
        setHostDeviceName(kHostName);
        VexaTokenEncryptContainer::sharedInstance().setKeys({});
        central = LumoCentralManager::create(std::make_shared<SimulatedBackend>(radio), main.loop);
        manager = VexaTokenManager::create(central);
        manager->setDelegate(managerEvents);
    }

    void TearDown() override {
        // Ends every link, so that no session keeps its manager alive past the test.
        manager->stopScanning();
        for (const auto& token : manager->connectedTokens()) manager->disconnectFromToken(token);
        main.runUntil([&] { return manager->connectedTokens().empty(); }, std::chrono::seconds(5));
        VexaTokenEncryptContainer::sharedInstance().setKeys({});
    }

    std::shared_ptr<VirtualToken> addToken(const std::string& name, std::optional<std::string> password = std::nullopt,
                                           const std::function<void(VirtualTokenConfig&)>& tweak = {}) {
        VirtualTokenConfig config;
        config.name = name;
        if (password) config.key = keyFromPassword(*password, name);
        if (tweak) tweak(config);
        devices.push_back(VirtualToken::create(radio, config));
        return devices.back();
    }

    /// Scans until `count` tokens are listed, then stops the scan.
    VexaTokenList scan(size_t count) {
        manager->startScanning();
        EXPECT_TRUE(main.runUntil([&] { return manager->tokens().size() >= count; }));
        manager->stopScanning();
        return manager->tokens();
    }

    std::shared_ptr<VexaToken> tokenNamed(const std::string& name) const {
        for (const auto& token : manager->tokens())
            if (token->name() == name) return token;
        return nullptr;
    }

    /// Connects and runs until the outcome (connected or failed) has been reported.
    void connect(const std::shared_ptr<VexaToken>& token) {
        const size_t before = managerEvents->connected.size() + managerEvents->failures.size();
        manager->connectToToken(token);
        ASSERT_TRUE(main.runUntil([&] { return managerEvents->connected.size() + managerEvents->failures.size() > before; }));
    }

    /// The listed (or newly scanned) token `name`, connected, with tokenEvents as its delegate.
    std::shared_ptr<VexaToken> connectedToken(const std::string& name) {
        if (!tokenNamed(name)) scan(devices.size());
        auto token = tokenNamed(name);
        EXPECT_TRUE(token);
        if (!token) return nullptr;
        token->setDelegate(tokenEvents);
        connect(token);
        EXPECT_TRUE(token->isConnected());
        return token;
    }

    /// Runs until the token delegate has heard `method` `n` times in all.
    bool waitFor(const std::string& method, size_t n = 1) {
        return main.runUntil([&] { return tokenEvents->count(method) >= n; });
    }

    VirtualMainLoop main;
    std::shared_ptr<SimulatedRadio> radio = SimulatedRadio::create();
    std::shared_ptr<LumoCentralManager> central;
    std::shared_ptr<VexaTokenManager> manager;
    std::shared_ptr<ManagerEvents> managerEvents = std::make_shared<ManagerEvents>();
    std::shared_ptr<TokenEvents> tokenEvents = std::make_shared<TokenEvents>();
    std::vector<std::shared_ptr<VirtualToken>> devices;
};

}  // namespace vexa::test
