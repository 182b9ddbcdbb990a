#pragma once
// One virtual token and a central to reach it, over either Bluetooth LE stack: the simulated
// radio (virtual clock) or the BlueZ backend against the fake org.bluez on a private bus (steady
// clock, real threads), where the token emulator serves the token on the fake's second adapter.
// Session-level scenarios are written once against this interface.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "Backends/Simulated/SimulatedBackend.h"
#include "Emulator/VirtualToken.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "tests/bluez/BlueZFixture.h"
#include "Tools/vexatoken/emulate/TokenEmulator.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::test {

class SessionRig {
public:
    virtual ~SessionRig() = default;
    /// Empty when the rig is usable; otherwise why not.
    virtual std::string problem() const { return {}; }
    /// Runs the main queue until `done()` holds or the rig's bound passes (virtual or real time).
    virtual bool runUntil(const std::function<bool()>& done) = 0;
    /// The token's protocol end: session, faults, records.
    virtual VirtualTokenEndpoint& token() = 0;
    /// The token's side drops the link.
    virtual void dropLinkFromToken() = 0;

    std::shared_ptr<LumoCentralManager> central;
};

/// The simulated radio with a VirtualToken on it, on a virtual clock.
class SimulatedRig final : public SessionRig {
public:
    explicit SimulatedRig(const VirtualTokenConfig& config) {
        central = LumoCentralManager::create(std::make_shared<SimulatedBackend>(radio), main.loop);
        device = VirtualToken::create(radio, config);
    }
    bool runUntil(const std::function<bool()>& done) override { return main.runUntil(done, std::chrono::seconds(120)); }
    VirtualTokenEndpoint& token() override { return device->endpoint(); }
    void dropLinkFromToken() override { device->peripheral()->disconnect(); }

    VirtualMainLoop main;
    std::shared_ptr<SimulatedRadio> radio = SimulatedRadio::create();
    std::shared_ptr<VirtualToken> device;
};

/// The BlueZ backend against the fake org.bluez on a private bus, and the token emulator: its GATT
/// application and advertisement on the fake's second adapter, looped back to the first over a link
/// of `mtu` (23: the smallest, 20-byte notifications). The central's platform callbacks come on a
/// serial queue of its own, as in an application; the emulator's endpoint runs on the main queue.
class EmulatorRig final : public SessionRig {
public:
    EmulatorRig(const VirtualTokenConfig& config, uint16_t mtu) {
        if (!f.started) return;
        f.fake.enablePeripheralRole(mtu);
        EmulatorSettings settings{config, {}, {}};
        settings.options.adapter = "hci1";
        emulator = TokenEmulator::create(settings, sdbus::createSessionBusConnectionWithAddress(f.bus.address()), f.loop, {});
        emulator->start();
        central = LumoCentralManager::create(f.backend, nullptr);
    }
    ~EmulatorRig() override {
        central.reset();
        if (emulator) emulator->stop();
        f.fake.stop();  // no more calls from the fake's thread
        f.loop->runUntilIdle();
    }
    std::string problem() const override { return f.started ? std::string() : "no private bus: " + f.bus.error(); }
    bool runUntil(const std::function<bool()>& done) override { return f.waitFor(done, std::chrono::seconds(15)); }
    VirtualTokenEndpoint& token() override { return emulator->endpoint(); }
    void dropLinkFromToken() override { emulator->disconnectCentral(); }

    BlueZFixture f;
    std::shared_ptr<TokenEmulator> emulator;
};

}  // namespace vexa::test
