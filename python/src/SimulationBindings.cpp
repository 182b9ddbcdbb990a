// The simulated radio and the virtual token, for vexatokenkit.testing. Everything here runs on
// the event loop's thread (or before any loop runs), like the rest of the library's main queue.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <optional>
#include <string>

#include "Backends/Simulated/SimulatedErrors.h"
#include "Backends/Simulated/SimulatedRadio.h"
#include "Emulator/VirtualToken.h"
#include "VexaTokenKit/VexaTokenEncryptContainer.h"
#include "python/src/Bindings.h"
#include "python/src/PyCallback.h"

namespace vexa::python {
namespace {

using std::chrono::duration;
using std::chrono::duration_cast;

Duration seconds(double s) { return duration_cast<Duration>(duration<double>(s)); }

std::shared_ptr<VirtualToken> makeToken(const std::shared_ptr<SimulatedRadio>& radio, const std::string& name, const std::string& identifier,
                                        std::optional<std::string> key, std::optional<std::string> serial, std::optional<uint8_t> batteryLevel,
                                        uint8_t firmwareVersion, std::optional<uint8_t> hardwareVersion, size_t storageCount, size_t storageCapacity,
                                        int64_t rssi) {
    VirtualTokenConfig config;
    config.name = name;
    config.identifier = identifier;
    config.key = std::move(key);
    config.serial = std::move(serial);
    config.batteryLevel = batteryLevel;
    config.firmwareVersion = firmwareVersion;
    config.hardwareVersion = hardwareVersion;
    config.storageCount = storageCount;
    config.storageCapacity = storageCapacity;
    config.rssi = rssi;
    auto token = VirtualToken::create(radio ? radio : defaultRadio(), std::move(config));
    token->setRecordLimit(0);  // Python has no use for the records; long transfers stay lean
    return token;
}

// Every file of a storage, by path, found by walking its directories.
void collectFiles(const VirtualTokenFileSystem& fs, const std::string& dir, py::dict& out) {
    for (const auto& entry : fs.list(dir).value_or(std::vector<VirtualTokenFileSystem::Entry>{})) {
        const std::string path = (dir == "/" ? "" : dir) + "/" + entry.name;
        if (entry.isDirectory) {
            collectFiles(fs, path, out);
        } else {
            const Bytes data = fs.readFile(path).value_or(Bytes{});
            out[py::str(path)] = py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
        }
    }
}

VirtualTokenFileSystem& storageOf(VirtualToken& token, size_t storage) {
    if (storage >= token.device().storageCount()) throw py::index_error("no such storage");
    return token.device().storage(storage);
}

const char* sessionName(VirtualToken::Session session) {
    switch (session) {
        case VirtualToken::Session::Open: return "open";
        case VirtualToken::Session::Locked: return "locked";
        case VirtualToken::Session::Encrypted: return "encrypted";
    }
    return "open";
}

}  // namespace

const std::shared_ptr<SimulatedRadio>& defaultRadio() {
    static const auto* radio = new std::shared_ptr<SimulatedRadio>(SimulatedRadio::create());
    return *radio;
}

void bindSimulation(py::module_& m) {
    using Command = std::optional<uint8_t>;
    py::class_<SimulatedRadio, std::shared_ptr<SimulatedRadio>>(m, "SimulatedRadio", "An in-process Bluetooth LE radio.")
        .def(py::init(&SimulatedRadio::create))
        .def_property(
            "powered_on", [](const SimulatedRadio& r) { return r.state() == ManagerState::PoweredOn; },
            [](SimulatedRadio& r, bool on) { r.setState(on ? ManagerState::PoweredOn : ManagerState::PoweredOff); })
        .def(
            "set_link_timing",
            [](SimulatedRadio& r, double connection, double discovery, double write, double notification) {
                LinkTiming timing;
                timing.connection = seconds(connection);
                timing.discovery = seconds(discovery);
                timing.writeWithResponse = seconds(write);
                timing.writeWithoutResponse = seconds(write);
                timing.notification = seconds(notification);
                r.setLinkTiming(timing);
            },
            py::arg("connection") = 0.0, py::arg("discovery") = 0.0, py::arg("write") = 0.0, py::arg("notification") = 0.0);
    m.def("default_radio", &defaultRadio, "The radio backend \"sim\" uses.");

    m.def("key_from_password", &keyFromPassword, py::arg("password"), py::arg("token_name"),
          "The key a host stores for a password: itself when 32+ characters long, else derived with the token's name.");
    m.def("derive_key", &VexaTokenEncryptContainer::deriveKey, py::arg("password"), py::arg("salt"),
          "PBKDF2-HMAC-SHA256(password, salt, 1024 rounds, 16 bytes) as 32 upper-case hex digits.");

    py::class_<VirtualToken, std::shared_ptr<VirtualToken>> token(m, "VirtualToken", "The virtual token on a simulated radio.");
    token
        .def(py::init(&makeToken), py::arg("radio"), py::arg("name"), py::arg("identifier"), py::arg("key"), py::arg("serial"), py::arg("battery_level"),
             py::arg("firmware_version"), py::arg("hardware_version"), py::arg("storage_count"), py::arg("storage_capacity"), py::arg("rssi"))
        .def_property_readonly("identifier", &VirtualToken::identifier)
        .def_property_readonly("name", [](VirtualToken& t) { return t.device().config().name; })
        .def_property_readonly("session", [](const VirtualToken& t) { return sessionName(t.session()); })
        .def("set_key", &VirtualToken::setKey)
        .def_property_readonly("in_range", [](const VirtualToken& t) { return t.peripheral()->radio() != nullptr; })
        .def("remove_from_radio",
             [](VirtualToken& t) {
                 if (auto radio = t.peripheral()->radio()) radio->removePeripheral(t.peripheral());
             })
        .def("add_to_radio", [](VirtualToken& t, const std::shared_ptr<SimulatedRadio>& radio) { (radio ? radio : defaultRadio())->addPeripheral(t.peripheral()); })
        // Power.
        .def_property_readonly("is_powered_on", &VirtualToken::isPoweredOn)
        .def("power_off", &VirtualToken::powerOff)
        .def("power_on", &VirtualToken::powerOn)
        // The token's own fault switches.
        .def("reply_status", &VirtualToken::replyStatus, py::arg("command"), py::arg("status"), py::arg("times"))
        .def("ignore_command", &VirtualToken::ignoreCommand, py::arg("command"), py::arg("times"))
        .def("delay_replies", [](VirtualToken& t, Command command, double delay, int times) { t.delayReplies(command, seconds(delay), times); })
        .def("corrupt_replies", &VirtualToken::corruptReplies, py::arg("command"), py::arg("times"))
        .def("send_empty_replies", &VirtualToken::sendEmptyReplies, py::arg("command"), py::arg("times"))
        .def("clear_faults", &VirtualToken::clearFaults)
        // The radio link's fault switches.
        .def("refuse_connections",
             [](VirtualToken& t, unsigned count) {
                 t.peripheral()->faults().refuseConnections(simulatedError(SimulatedBleError::ConnectionFailed), count);
             })
        .def("disconnect_after_writes", [](VirtualToken& t, unsigned writes) { t.peripheral()->faults().disconnectAfterWrites(writes); })
        .def("clear_link_faults", [](VirtualToken& t) { t.peripheral()->faults().clear(); })
        // Files.
        .def("files",
             [](VirtualToken& t, size_t storage) {
                 py::dict files;
                 collectFiles(storageOf(t, storage), "/", files);
                 return files;
             })
        .def("read_file",
             [](VirtualToken& t, const std::string& path, size_t storage) -> py::object {
                 return bytesValue(storageOf(t, storage).readFile(path));
             })
        .def("write_file",
             [](VirtualToken& t, const std::string& path, const py::bytes& data, size_t storage) {
                 const std::string bytes = data;
                 auto& fs = storageOf(t, storage);
                 const int64_t now = t.device().clock().now();
                 const auto slash = path.find_last_of('/');
                 if (slash != std::string::npos && slash > 0) fs.makeDirectory(path.substr(0, slash), now);
                 return fs.writeFile(path, ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), now);
             })
        .def_property_readonly("open_file_count", [](VirtualToken& t) { return t.device().openHandleCount(); })
        // Variables (the paired hosts are "device0", "device1", ...).
        .def_property_readonly("variables", [](VirtualToken& t) {
            std::map<std::string, std::string> all(t.device().variables().all().begin(), t.device().variables().all().end());
            return all;
        })
        .def("set_variable", [](VirtualToken& t, const std::string& name, const std::string& value) { return t.device().variables().write(name, value); })
        .def("remove_variable", [](VirtualToken& t, const std::string& name) { return t.device().variables().remove(name); });
}

}  // namespace vexa::python
