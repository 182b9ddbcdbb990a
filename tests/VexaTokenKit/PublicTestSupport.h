#pragma once
// End-to-end fixture for the public interface: a token manager over its own central on the
// simulated radio, virtual tokens on that radio, and delegates that record every event.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Backends/Simulated/SimulatedBackend.h"
#include "Backends/Simulated/SimulatedRadio.h"
#include "Emulator/VirtualToken.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "Platform/HostDevice.h"
#include "VexaTokenKit/VexaTokenKit.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::test {

/// Every manager event, in order, as "<event>:<token name>".
class ManagerEvents : public VexaTokenManagerDelegate {
public:
    std::vector<VexaTokenList> discovered;
    VexaTokenList connected;
    VexaTokenList disconnected;
    VexaTokenList notPaired;
    std::vector<Error> failures;
    std::vector<std::string> notReady;
    std::vector<std::string> log;
    uint8_t mode = 0;
    bool answersMode = false;   // overrides the synchronisation mode with `mode`
    bool inConnectCall = false;

    void tokenManagerDidDiscoverTokens(const Manager&, const VexaTokenList& tokens) override { discovered.push_back(tokens); }
    void tokenManagerDidConnectToToken(const Manager&, const Token& token) override {
        inConnectCall = true;
        connected.push_back(token);
        log.push_back("connect:" + token->name());
        inConnectCall = false;
    }
    void tokenManagerDidFailToConnectToToken(const Manager&, const Token& token, const Error& error) override {
        failures.push_back(error);
        log.push_back("fail:" + token->name());
    }
    void tokenIsNotPaired(const Token& token) override {
        notPaired.push_back(token);
        log.push_back(std::string(inConnectCall ? "notPaired-inside:" : "notPaired:") + token->name());
    }
    void tokenManagerDidDisconnectFromToken(const Manager&, const Token& token) override {
        disconnected.push_back(token);
        log.push_back("disconnect:" + token->name());
    }
    uint8_t tokenManagerRequireSyncSKMethod(const Manager& manager, const Token& token) override {
        if (!answersMode) return VexaTokenManagerDelegate::tokenManagerRequireSyncSKMethod(manager, token);
        return mode;
    }
    void tokenManagerCentralNotReady(const Manager&, const std::string& reason) override { notReady.push_back(reason); }
};

/// One call of a token delegate method with the values it carried.
struct TokenEvent {
    std::string method{};
    OptError error{};
    int32_t serial = 0;
    double level = 0;
    bool success = false;
    uint8_t handle = 0;
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
        size_t n = 0;
        for (const auto& e : events) n += e.method == method;
        return n;
    }
    const TokenEvent* last(const std::string& method) const {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->method == method) return &*it;
        return nullptr;
    }

    void didInitializeToken(const Token&, const OptError& error) override { events.push_back({.method = "initialize", .error = error}); }
    void tokenDidGetSerial(const Token&, int32_t serial, const OptError& error) override {
        events.push_back({.method = "serial", .error = error, .serial = serial});
    }
    void tokenDidGetBatteryLevel(const Token&, double level, const OptError& error) override {
        events.push_back({.method = "battery", .error = error, .level = level});
    }
    void tokenDidGetFirmwareVersion(const Token&, const std::optional<std::string>& v, const OptError& error) override {
        events.push_back({.method = "firmware", .error = error, .text = v});
    }
    void tokenDidGetHardwareVersion(const Token&, const std::optional<std::string>& v, const OptError& error) override {
        events.push_back({.method = "hardware", .error = error, .text = v});
    }
    void didPowerOffToken(const Token&, const OptError& error) override { events.push_back({.method = "powerOff", .error = error}); }
    void tokenDidPowerSecureElementOnWithAtr(const Token&, const std::optional<Bytes>& atr, const OptError& error) override {
        events.push_back({.method = "atr", .error = error, .data = atr});
    }
    void tokenDidSetCommunicationProtocol(const Token&, bool success, const OptError& error) override {
        events.push_back({.method = "protocol", .error = error, .success = success});
    }
    void tokenDidGetResponseAPDU(const Token&, const std::optional<Bytes>& response, const OptError& error) override {
        events.push_back({.method = "apdu", .error = error, .data = response});
    }
    void tokenDidOpenFile(const Token&, uint8_t handle, const OptError& error) override {
        events.push_back({.method = "open", .error = error, .handle = handle});
    }
    void tokenDidCloseFile(const Token&, uint8_t handle, const OptError& error) override {
        events.push_back({.method = "close", .error = error, .handle = handle});
    }
    void tokenDidWriteFile(const Token&, uint8_t handle, const OptError& error) override {
        events.push_back({.method = "write", .error = error, .handle = handle});
    }
    void tokenDidReadFile(const Token&, uint8_t handle, const std::optional<Bytes>& data, const OptError& error) override {
        events.push_back({.method = "read", .error = error, .handle = handle, .data = data});
    }
    void tokenDidRemoveFile(const Token&, const OptError& error) override { events.push_back({.method = "removeFile", .error = error}); }
    void tokenDidListFiles(const Token&, const std::optional<std::vector<VexaFileEntry>>& files, const OptError& error) override {
        events.push_back({.method = "list", .error = error, .files = files});
    }
    void tokenDidSelectDeviceStorage(const Token&, const OptError& error) override { events.push_back({.method = "storage", .error = error}); }
    void tokenDidReadEnvironmentVariable(const Token&, const std::optional<std::string>& name, const std::optional<std::string>& value,
                                         const OptError& error) override {
        events.push_back({.method = "readVar", .error = error, .text = value, .name = name});
    }
    void tokenDidWriteEnvironmentVariable(const Token&, const OptError& error) override { events.push_back({.method = "writeVar", .error = error}); }
    void tokenDidRemoveEnvironmentVariable(const Token&, const OptError& error) override {
        events.push_back({.method = "removeVar", .error = error});
    }
    void tokenDidPairedDevices(const Token&, const std::vector<VexaPairedDevice>& devices, const OptError& error) override {
        events.push_back({.method = "paired", .error = error, .devices = devices});
    }
    void tokenDidRemovePairedDevice(const Token&, const OptError& error) override { events.push_back({.method = "removePaired", .error = error}); }
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
        radio->setTrafficObserver([this](const TrafficRecord& record) { traffic.push_back(record); });
    }

    void TearDown() override {
        // Ends every link, so that no session keeps its manager alive past the test.
        manager->stopScanning();
        for (const auto& token : manager->connectedTokens()) manager->disconnectFromToken(token);
        main.runUntil([&] { return manager->connectedTokens().empty(); }, std::chrono::seconds(5));
        main.runUntilIdle();
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

    /// Connects and waits for the outcome (connected or failed).
    void connect(const std::shared_ptr<VexaToken>& token) {
        const size_t before = managerEvents->connected.size() + managerEvents->failures.size();
        manager->connectToToken(token);
        ASSERT_TRUE(main.runUntil([&] { return managerEvents->connected.size() + managerEvents->failures.size() > before; }));
    }

    /// A scanned, connected token whose delegate is tokenEvents.
    std::shared_ptr<VexaToken> connectedToken(const std::string& name = "Token A") {
        auto token = tokenNamed(name);
        if (!token) {
            scan(devices.size());
            token = tokenNamed(name);
        }
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
    std::vector<TrafficRecord> traffic;
};

}  // namespace vexa::test
