#pragma once
// A token manager for Python: the library's VexaTokenManager over its own central on the chosen
// backend, whose delegate events (discoveries, disconnections, Bluetooth not ready) go to Python
// handlers. Used on the event loop's thread; calls into the library run with the GIL released.
#include <pybind11/pybind11.h>

#include <map>
#include <memory>
#include <string>

#include "VexaTokenKit/VexaTokenManager.h"
#include "python/src/PyCallback.h"

namespace vexa {
class LumoCentralManager;
class SimulatedRadio;
}  // namespace vexa

namespace vexa::python {

class TokenManagerBridge final : public VexaTokenManagerDelegate, public std::enable_shared_from_this<TokenManagerBridge> {
public:
    /// `backend`: "sim" (on `radio`, or the default radio), "bluez" (on the system bus or
    /// `busAddress`, adapter `adapter` or the first), or "auto" (BlueZ when it answers with an
    /// adapter, else "sim"). Throws std::invalid_argument for an unknown or unavailable backend.
    static std::shared_ptr<TokenManagerBridge> create(const std::string& backend, const std::string& adapter, const std::string& busAddress,
                                                      std::shared_ptr<SimulatedRadio> radio);
    ~TokenManagerBridge() override;

    /// "sim" or "bluez".
    const std::string& backend() const { return backend_; }
    void setHandlers(py::object discovered, py::object disconnected, py::object notReady);
    void startScanning();
    void stopScanning();
    /// Connects with the key-synchronisation mode `mode`; done(outcome, error) with outcome
    /// 0 connected, 1 not paired, 2 failed.
    void connect(const std::shared_ptr<VexaToken>& token, uint8_t mode, py::object done);
    void disconnect(const std::shared_ptr<VexaToken>& token);
    /// Stops scanning and lets the manager and its central go.
    void close();

    void tokenManagerDidDiscoverTokens(const Manager& manager, const VexaTokenList& tokens) override;
    void tokenManagerDidDisconnectFromToken(const Manager& manager, const Token& token) override;
    uint8_t tokenManagerRequireSyncSKMethod(const Manager& manager, const Token& token) override;
    void tokenManagerCentralNotReady(const Manager& manager, const std::string& reason) override;

    TokenManagerBridge(std::string backend, std::shared_ptr<LumoCentralManager> central);

private:
    std::string backend_;
    std::shared_ptr<LumoCentralManager> central_;
    std::shared_ptr<VexaTokenManager> manager_;
    PyCallback discovered_, disconnected_, notReady_;
    std::map<std::string, uint8_t> modes_;  // by token identifier
};

}  // namespace vexa::python
