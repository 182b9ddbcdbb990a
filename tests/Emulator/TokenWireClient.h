#pragma once
// A bare central for the virtual-token tests: connects through the simulated platform interface,
// writes raw frames to the token's write characteristic and collects the notified frames.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Backends/Simulated/SimulatedRadio.h"
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "Platform/BlePlatform.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::test {

class TokenWireClient : public PlatformCentralDelegate,
                        public PlatformPeripheralDelegate,
                        public std::enable_shared_from_this<TokenWireClient> {
public:
    static std::shared_ptr<TokenWireClient> create(const std::shared_ptr<SimulatedRadio>& radio, VirtualMainLoop& loop);

    /// Connects, discovers the token service and subscribes to the notify characteristic.
    bool connect(const std::string& identifier);
    void disconnect();

    /// Writes each frame with response, in order (answers are collected in writeErrors).
    void writeFrames(const std::vector<Bytes>& frames);
    /// Splits `package` into frames and writes them.
    void writePackage(const Bytes& package);
    /// Runs the loop until a whole reply package has been joined from the notifications, for at
    /// most `timeout` of virtual time; the package is decrypted with `key` when one is given.
    std::optional<Bytes> awaitPackage(const std::optional<std::string>& key = std::nullopt,
                                      Duration timeout = std::chrono::seconds(5));
    /// Sends one command (encrypted with `key` when given) and returns the reply payload.
    std::optional<Bytes> command(uint8_t code, const Bytes& payload = {}, const std::optional<std::string>& key = std::nullopt);

    /// Every notified frame, in arrival order.
    std::vector<Bytes> notifications;
    std::vector<OptError> writeAnswers;
    /// Errors of joining the notified frames (wrong index or length).
    std::vector<Error> joinErrors;
    bool connected = false;
    bool disconnected = false;

    std::shared_ptr<PlatformCentral> central;
    std::shared_ptr<PlatformPeripheral> peripheral;
    std::shared_ptr<PlatformCharacteristic> writeCharacteristic;
    std::shared_ptr<PlatformCharacteristic> notifyCharacteristic;

    // Delegate callbacks.
    void centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>&) override {}
    void centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>&, const std::shared_ptr<PlatformPeripheral>&,
                                             const AdvertisementData&, int64_t) override {}
    void centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>&, const std::shared_ptr<PlatformPeripheral>&) override;
    void centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>&, const std::shared_ptr<PlatformPeripheral>&,
                                                  const OptError&) override {}
    void centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>&, const std::shared_ptr<PlatformPeripheral>&,
                                               const OptError& error) override;
    void peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>&, const OptError&) override { ++servicesDone_; }
    void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<PlatformPeripheral>&, const std::shared_ptr<PlatformService>&,
                                                        const OptError&) override {
        ++characteristicsDone_;
    }
    void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>&,
                                                   const std::shared_ptr<PlatformCharacteristic>& characteristic, const OptError&) override {
        notifications.push_back(characteristic->value());
        joiner_.addFrameWithCompletion(notifications.back(), [this](const std::optional<Bytes>& package, const OptError& error) {
            if (error) joinErrors.push_back(*error);
            if (package) packages_.push_back(*package);
        });
    }
    void peripheralDidUpdateNotificationStateForCharacteristic(const std::shared_ptr<PlatformPeripheral>&,
                                                               const std::shared_ptr<PlatformCharacteristic>&, const OptError& error) override {
        subscribed_ = !error;
    }
    void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>&, const std::shared_ptr<PlatformCharacteristic>&,
                                                  const OptError& error) override {
        writeAnswers.push_back(error);
    }
    void peripheralDidReadRSSI(const std::shared_ptr<PlatformPeripheral>&, int64_t, const OptError&) override {}

    explicit TokenWireClient(VirtualMainLoop& loop) : loop_(loop) {}

private:
    VirtualMainLoop& loop_;
    int servicesDone_ = 0;
    int characteristicsDone_ = 0;
    bool subscribed_ = false;
    BleSocketFormat joiner_;
    std::vector<Bytes> packages_;  // joined, not yet taken
};

}  // namespace vexa::test
