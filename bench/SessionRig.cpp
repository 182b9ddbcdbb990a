#include "bench/SessionRig.h"

#include <chrono>

#include "Backends/Simulated/SimulatedBackend.h"
#include "LumoTokenSDK/LumoBluetooth/LumoPeripheral.h"
#include "Platform/MainQueue.h"
#include "VexaTokenKit/VexaCrypto.h"

namespace vexa::bench {

Bytes BenchDelegate::needHashSessionKey(LumoToken&) { return key_ ? MD5Data(*key_) : Bytes(16, 0); }

void BenchDelegate::didConnect(LumoToken&, const OptError& error, bool sessionKeyNeedUpdate) {
    answered = true;
    ready = !error && !sessionKeyNeedUpdate;
}

void BenchDelegate::didDisconnect(LumoToken&, const OptError&) { disconnected = true; }

std::optional<Bytes> BenchDelegate::willEncryptData(LumoToken& token, const Bytes& package) {
    if (!key_) return LumoTokenDelegate::willEncryptData(token, package);
    return AES256EncryptWithKey(package, *key_);
}

std::optional<Bytes> BenchDelegate::willDecryptData(LumoToken& token, const Bytes& package) {
    if (!key_) return LumoTokenDelegate::willDecryptData(token, package);
    return AES256DecryptWithKey(package, *key_);
}

SessionRig::SessionRig(std::optional<std::string> key, LinkTiming timing)
    : clock_(std::make_shared<VirtualClock>()), loop_(std::make_shared<RunLoop>(clock_)), radio_(SimulatedRadio::create()) {
    setMainQueue(loop_);
    radio_->setLinkTiming(timing);
    // The central calls back on the main loop itself, as an application's central would.
    central_ = LumoCentralManager::create(std::make_shared<SimulatedBackend>(radio_), loop_);

    VirtualTokenConfig config;
    config.name = "Bench Token";
    config.key = key;
    device_ = VirtualToken::create(radio_, config);
    device_->setRecordLimit(0);  // long runs keep no inspection records

    const auto wrappers = central_->retrievePeripheralsWithIdentifiers({device_->identifier()});
    if (wrappers.size() != 1) return;
    token_ = LumoToken::create(wrappers[0]);
    delegate_ = std::make_shared<BenchDelegate>(std::move(key));
    token_->setDelegate(delegate_);
    token_->discover();
    runUntil([this] { return delegate_->answered; }, std::chrono::minutes(1));
}

SessionRig::~SessionRig() {
    radio_->setTrafficObserver(nullptr);
    if (token_ && token_->isConnected()) {
        // Ended through the central so that the session hears the loss and lets its delegate go.
        central_->manager()->cancelPeripheralConnection(token_->getPeripheral()->cbPeripheral());
        runUntil([this] { return delegate_->disconnected; }, std::chrono::minutes(1));
    }
    loop_->runUntilIdle();
    setMainQueue(nullptr);
}

bool SessionRig::runUntil(const std::function<bool()>& done, Duration timeout) { return loop_->runUntil(done, timeout); }

void SessionRig::countFrames() {
    *frames_ = FrameCount{};
    radio_->setTrafficObserver([frames = frames_](const TrafficRecord& record) {
        if (record.kind == TrafficKind::WriteWithResponse) {
            ++frames->written;
            frames->writtenBytes += record.bytes.size();
        } else if (record.kind == TrafficKind::Notification) {
            ++frames->notified;
            frames->notifiedBytes += record.bytes.size();
        }
    });
}

}  // namespace vexa::bench
