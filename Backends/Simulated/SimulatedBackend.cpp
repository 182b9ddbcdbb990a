#include "Backends/Simulated/SimulatedBackend.h"

namespace vexa {

SimulatedBackend::SimulatedBackend(std::shared_ptr<SimulatedRadio> radio)
    : radio_(radio ? std::move(radio) : SimulatedRadio::create()) {}

std::shared_ptr<PlatformCentral> SimulatedBackend::createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                                 std::shared_ptr<DispatchQueue> callbackQueue) {
    return radio_->createCentral(std::move(delegate), std::move(callbackQueue));
}

}  // namespace vexa
