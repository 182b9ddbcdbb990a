#include "Tools/vexatoken/SimEnvironment.h"

#include "Backends/Simulated/SimulatedBackend.h"
#include "Tools/vexatoken/HexText.h"
#include "Tools/vexatoken/SimState.h"

namespace vexa::tool {

SimEnvironment::SimEnvironment(SimSettings settings)
    : ToolEnvironment(std::make_shared<VirtualClock>()), settings_(std::move(settings)), radio_(SimulatedRadio::create()) {
    // Callbacks come on the main loop itself: the whole simulation runs on one thread.
    useBackend(std::make_shared<SimulatedBackend>(radio_), loopPtr());
    if (settings_.traffic) {
        std::ostream* traffic = settings_.traffic;
        radio_->setTrafficObserver([traffic](const TrafficRecord& record) {
            *traffic << (record.fromCentral() ? "> " : "< ") << formatHex(record.bytes) << '\n';
        });
    }
    addToken(defaultConfig(), settings_.tokenKey);
    if (settings_.statePath) loadSimState(token()->device(), *settings_.statePath);
}

SimEnvironment::~SimEnvironment() { radio_->setTrafficObserver(nullptr); }

VirtualTokenConfig SimEnvironment::defaultConfig() {
    VirtualTokenConfig config;
    config.name = kSimTokenName;
    config.identifier = kSimTokenIdentifier;
    // The public interface reports the serial number as a number, so the virtual one is digits.
    config.serial = "24000017";
    config.batteryLevel = 87;
    config.storageCapacity = 8 * 1024 * 1024;
    return config;
}

std::shared_ptr<VirtualToken> SimEnvironment::addToken(VirtualTokenConfig config, const std::optional<std::string>& password) {
    if (password) config.key = keyFromPassword(*password, config.name);
    tokens_.push_back(VirtualToken::create(radio_, std::move(config)));
    return tokens_.back();
}

void SimEnvironment::finish() {
    if (settings_.statePath) saveSimState(token()->device(), *settings_.statePath);
}

}  // namespace vexa::tool
