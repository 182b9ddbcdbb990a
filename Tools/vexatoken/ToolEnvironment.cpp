#include "Tools/vexatoken/ToolEnvironment.h"

#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "Platform/MainQueue.h"

namespace vexa::tool {

ToolEnvironment::ToolEnvironment(std::shared_ptr<Clock> clock) : loop_(std::make_shared<RunLoop>(std::move(clock))) {
    setMainQueue(loop_);
}

ToolEnvironment::~ToolEnvironment() {
    central_.reset();
    loop_->runUntilIdle();
    setMainQueue(nullptr);
}

void ToolEnvironment::useBackend(const std::shared_ptr<BleBackend>& backend, std::shared_ptr<DispatchQueue> callbackQueue) {
    central_ = LumoCentralManager::create(backend, std::move(callbackQueue));
}

PlatformEnvironment::PlatformEnvironment(const std::shared_ptr<BleBackend>& backend) : ToolEnvironment(std::make_shared<SteadyClock>()) {
    useBackend(backend, nullptr);
}

}  // namespace vexa::tool
