#include "python/src/TokenManagerBridge.h"

#include <pybind11/stl.h>

#include <stdexcept>

#include "Backends/Simulated/SimulatedBackend.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "Platform/MainQueue.h"
#include "VexaTokenKit/VexaToken.h"
#include "python/src/Bindings.h"

#ifdef VEXA_HAVE_BLUEZ
#include "Backends/BlueZ/BlueZBackend.h"
#include "Tools/vexatoken/BlueZProbe.h"
#endif

namespace vexa::python {
namespace {

#ifdef VEXA_HAVE_BLUEZ
std::shared_ptr<BleBackend> bluezBackend(const std::string& adapter, const std::string& busAddress) {
    BlueZOptions options;
    options.adapter = adapter;
    return busAddress.empty() ? BlueZBackend::create(options) : BlueZBackend::createWithBusAddress(busAddress, options);
}
bool bluezReady(const std::string& adapter, const std::string& busAddress) {
    return tool::probeBlueZ(busAddress, adapter).status == tool::BlueZProbe::Ready;
}
#else
std::shared_ptr<BleBackend> bluezBackend(const std::string&, const std::string&) {
    throw std::invalid_argument("this build of vexatokenkit has no BlueZ backend (it needs sdbus-c++ when built)");
}
bool bluezReady(const std::string&, const std::string&) { return false; }
#endif

// The central as its users hold it: when the last of them goes, the central (which may join the
// backend's threads, and those may wait for the GIL to post into the loop) is let go without the
// GIL, even when that last user was a Python object freed by the interpreter.
std::shared_ptr<LumoCentralManager> releasedWithoutGil(std::shared_ptr<LumoCentralManager> central) {
    LumoCentralManager* raw = central.get();
    return std::shared_ptr<LumoCentralManager>(raw, [owner = std::move(central)](LumoCentralManager*) mutable {
        if (!gPythonExiting.load() && Py_IsInitialized() && PyGILState_Check()) {
            py::gil_scoped_release nogil;
            owner.reset();
        } else {
            owner.reset();
        }
    });
}

}  // namespace

std::shared_ptr<TokenManagerBridge> TokenManagerBridge::create(const std::string& backend, const std::string& adapter, const std::string& busAddress,
                                                               std::shared_ptr<SimulatedRadio> radio) {
    std::string chosen = backend;
    if (chosen == "auto") chosen = bluezReady(adapter, busAddress) ? "bluez" : "sim";
    std::shared_ptr<LumoCentralManager> central;
    if (chosen == "sim") {
        // The simulated stack calls back on the main queue itself: everything stays on the loop.
        central = LumoCentralManager::create(std::make_shared<SimulatedBackend>(radio ? radio : defaultRadio()), mainQueue());
    } else if (chosen == "bluez") {
        // BlueZ calls back on a serial queue of the central's own, which posts into the loop.
        central = LumoCentralManager::create(bluezBackend(adapter, busAddress));
    } else {
        throw std::invalid_argument("unknown backend \"" + backend + "\" (use \"auto\", \"sim\" or \"bluez\")");
    }
    auto bridge = std::make_shared<TokenManagerBridge>(chosen, releasedWithoutGil(std::move(central)));
    bridge->manager_->setDelegate(bridge);
    return bridge;
}

TokenManagerBridge::TokenManagerBridge(std::string backend, std::shared_ptr<LumoCentralManager> central)
    : backend_(std::move(backend)), central_(std::move(central)), manager_(VexaTokenManager::create(central_)) {}

TokenManagerBridge::~TokenManagerBridge() {
    if (PyGILState_Check()) {
        py::gil_scoped_release nogil;
        close();
    } else {
        close();
    }
}

void TokenManagerBridge::setHandlers(py::object discovered, py::object disconnected, py::object notReady) {
    discovered_ = PyCallback(std::move(discovered));
    disconnected_ = PyCallback(std::move(disconnected));
    notReady_ = PyCallback(std::move(notReady));
}

void TokenManagerBridge::startScanning() {
    if (manager_) manager_->startScanning();
}

void TokenManagerBridge::stopScanning() {
    if (manager_) manager_->stopScanning();
}

void TokenManagerBridge::connect(const std::shared_ptr<VexaToken>& token, uint8_t mode, py::object done) {
    PyCallback callback(std::move(done));
    if (!manager_ || !token) return;
    modes_[token->identifier()] = mode;
    py::gil_scoped_release nogil;
    manager_->connectToToken(token, [callback](VexaConnectOutcome outcome, const OptError& error) {
        callback.call([&] { return py::make_tuple(static_cast<int>(outcome), errorValue(error)); });
    });
}

void TokenManagerBridge::disconnect(const std::shared_ptr<VexaToken>& token) {
    if (manager_) manager_->disconnectFromToken(token);
}

void TokenManagerBridge::close() {
    if (!manager_) return;
    manager_->stopScanning();
    manager_->setDelegate({});
    manager_.reset();
    central_.reset();
}

void TokenManagerBridge::tokenManagerDidDiscoverTokens(const Manager&, const VexaTokenList& tokens) {
    discovered_.call([&] { return py::make_tuple(py::cast(tokens)); });
}

void TokenManagerBridge::tokenManagerDidDisconnectFromToken(const Manager&, const Token& token) {
    disconnected_.call([&] { return py::make_tuple(py::cast(token)); });
}

uint8_t TokenManagerBridge::tokenManagerRequireSyncSKMethod(const Manager&, const Token& token) {
    const auto mode = modes_.find(token->identifier());
    return mode == modes_.end() ? 0 : mode->second;
}

void TokenManagerBridge::tokenManagerCentralNotReady(const Manager&, const std::string& reason) {
    notReady_.call([&] { return py::make_tuple(reason); });
}

void bindManager(py::module_& m) {
    using Release = py::call_guard<py::gil_scoped_release>;
    py::class_<TokenManagerBridge, std::shared_ptr<TokenManagerBridge>>(m, "Manager", "The library's token manager on one backend.")
        .def(py::init(&TokenManagerBridge::create), py::arg("backend") = "auto", py::arg("adapter") = "", py::arg("bus_address") = "",
             py::arg("radio") = nullptr, Release())
        .def_property_readonly("backend", &TokenManagerBridge::backend)
        .def("set_handlers", &TokenManagerBridge::setHandlers, py::arg("discovered"), py::arg("disconnected"), py::arg("not_ready"))
        .def("start_scanning", &TokenManagerBridge::startScanning, Release())
        .def("stop_scanning", &TokenManagerBridge::stopScanning, Release())
        .def("connect", &TokenManagerBridge::connect, py::arg("token"), py::arg("mode"), py::arg("done"))
        .def("disconnect", &TokenManagerBridge::disconnect, Release())
        .def("close", &TokenManagerBridge::close, Release());
    m.def("bluez_available", &bluezReady, py::arg("adapter") = "", py::arg("bus_address") = "", Release(),
          "True when BlueZ answers on the bus with the adapter (any adapter when empty); waits 2 s at most.");
}

}  // namespace vexa::python
