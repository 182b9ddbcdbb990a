#pragma once
// Where the tool's token work runs: a run loop installed as the library's main queue and a
// Bluetooth LE central on some backend. The simulated environment (SimEnvironment.h) adds the
// virtual token; a hardware backend only needs PlatformEnvironment.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "Platform/BlePlatform.h"
#include "Platform/Clock.h"
#include "Platform/RunLoop.h"

namespace vexa {
class LumoCentralManager;
}

namespace vexa::tool {

class ToolEnvironment {
public:
    /// Installs a run loop on `clock` as the main queue for the life of the environment.
    explicit ToolEnvironment(std::shared_ptr<Clock> clock);
    /// Runs what is left on the loop, then gives the main queue back.
    virtual ~ToolEnvironment();
    ToolEnvironment(const ToolEnvironment&) = delete;
    ToolEnvironment& operator=(const ToolEnvironment&) = delete;

    RunLoop& loop() { return *loop_; }
    const std::shared_ptr<RunLoop>& loopPtr() const { return loop_; }
    /// The central every token manager of this run uses.
    const std::shared_ptr<LumoCentralManager>& central() const { return central_; }
    /// Called once the command is over, whatever its outcome: keeps what should outlive the run.
    virtual void finish() {}

protected:
    /// Makes the central over `backend`; its callbacks come on `callbackQueue` (null: a serial
    /// queue of its own).
    void useBackend(const std::shared_ptr<BleBackend>& backend, std::shared_ptr<DispatchQueue> callbackQueue);

private:
    std::shared_ptr<RunLoop> loop_;
    std::shared_ptr<LumoCentralManager> central_;
};

/// A real Bluetooth LE stack: the steady clock and the backend's own callback queue.
class PlatformEnvironment final : public ToolEnvironment {
public:
    explicit PlatformEnvironment(const std::shared_ptr<BleBackend>& backend);
};

/// Makes the Bluetooth LE backend of a hardware stack.
using BackendFactory = std::function<std::shared_ptr<BleBackend>()>;
/// Hardware backends by the name --backend takes (e.g. "bluez"), registered by the program.
using BackendFactories = std::map<std::string, BackendFactory>;

}  // namespace vexa::tool
