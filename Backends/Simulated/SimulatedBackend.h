#pragma once
// The simulated stack as a BleBackend: setBleBackend(std::make_shared<SimulatedBackend>(radio)).
#include <memory>

#include "Backends/Simulated/SimulatedRadio.h"
#include "Platform/BlePlatform.h"

namespace vexa {

class SimulatedBackend final : public BleBackend {
public:
    /// A backend over `radio`, or over a new radio when none is given.
    explicit SimulatedBackend(std::shared_ptr<SimulatedRadio> radio = nullptr);

    std::string name() const override { return "simulated"; }
    std::shared_ptr<PlatformCentral> createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                   std::shared_ptr<DispatchQueue> callbackQueue) override;
    const std::shared_ptr<SimulatedRadio>& radio() const { return radio_; }

private:
    std::shared_ptr<SimulatedRadio> radio_;
};

}  // namespace vexa
