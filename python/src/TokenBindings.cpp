// VexaToken for Python: identity, session keys, and each operation as a call that returns at once
// and later calls done(value, error) on the event loop's thread (error: None or a tuple).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <memory>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "VexaTokenKit/VexaToken.h"
#include "VexaTokenKit/VexaTokenEncryptContainer.h"
#include "python/src/Bindings.h"
#include "python/src/PyCallback.h"

namespace vexa::python {
namespace {

using TokenPtr = std::shared_ptr<VexaToken>;

// Completions that hand (value, error) to a Python callable.
VexaToken::ErrorDone errorDone(py::object done) {
    return [cb = PyCallback(std::move(done))](const OptError& e) { cb.call([&] { return py::make_tuple(py::none(), errorValue(e)); }); };
}

template <class Value>
std::function<void(Value, const OptError&)> valueDone(py::object done) {
    return [cb = PyCallback(std::move(done))](Value v, const OptError& e) { cb.call([&] { return py::make_tuple(v, errorValue(e)); }); };
}

VexaToken::DataDone dataDone(py::object done) {
    return [cb = PyCallback(std::move(done))](const std::optional<Bytes>& d, const OptError& e) {
        cb.call([&] { return py::make_tuple(bytesValue(d), errorValue(e)); });
    };
}

VexaToken::TextDone textDone(py::object done) {
    return [cb = PyCallback(std::move(done))](const std::optional<std::string>& t, const OptError& e) {
        cb.call([&] { return py::make_tuple(textValue(t), errorValue(e)); });
    };
}

// A list of the library's entry maps as dicts of text.
template <class Entries>
py::list entryList(const Entries& entries) {
    py::list list;
    for (const auto& entry : entries) {
        py::dict item;
        for (const auto& [key, value] : entry) item[py::str(key)] = textValue(value);
        list.append(item);
    }
    return list;
}

Bytes copyBytes(const py::buffer& data) {
    const py::buffer_info info = data.request();
    const auto* begin = static_cast<const uint8_t*>(info.ptr);
    return Bytes(begin, begin + info.size * info.itemsize);
}

}  // namespace

void bindToken(py::module_& m) {
    using namespace std::chrono;
    using Release = py::call_guard<py::gil_scoped_release>;
    py::class_<VexaToken, TokenPtr> token(m, "Token", "A token heard by a scan (the library's VexaToken).");
    token.def_property_readonly("name", &VexaToken::name)
        .def_property_readonly("identifier", &VexaToken::identifier)
        .def_property_readonly("rssi", [](const VexaToken& t) { return t.pimpl()->rssi(); })
        .def_property_readonly("is_connected", &VexaToken::isConnected, Release())
        .def_property_readonly("can_connect", [](const VexaToken& t) { return t.pimpl()->getPeripheral() != nullptr; })
        .def_property(
            "reply_timeout", [](const VexaToken& t) { return duration<double>(t.replyTimeout()).count(); },
            [](VexaToken& t, double seconds) { t.setReplyTimeout(duration_cast<Duration>(duration<double>(seconds))); })
        // Session keys, in the library's key store.
        .def("set_key", [](const VexaToken& t, const std::string& key) { VexaTokenEncryptContainer::sharedInstance().setKey(t, key); })
        .def("set_password",
             [](const VexaToken& t, const std::string& password) {
                 auto& store = VexaTokenEncryptContainer::sharedInstance();
                 auto keys = store.keys();
                 keys[t.identifier()] = VexaTokenEncryptContainer::deriveKey(password, t.name());
                 store.setKeys(std::move(keys));
             })
        .def("reset_key", [](const VexaToken& t) { VexaTokenEncryptContainer::sharedInstance().resetKey(t); })
        .def_property_readonly("has_key", [](const VexaToken& t) { return VexaTokenEncryptContainer::sharedInstance().isContainsKey(t); });

    // ---- operations --------------------------------------------------------------------------
    token.def("initialize", [](const TokenPtr& t, py::object done) { auto d = errorDone(std::move(done)); py::gil_scoped_release r; t->initialize(d); })
        .def("get_serial", [](const TokenPtr& t, py::object done) { auto d = valueDone<int32_t>(std::move(done)); py::gil_scoped_release r; t->getSerial(d); })
        .def("get_battery_level", [](const TokenPtr& t, py::object done) { auto d = valueDone<double>(std::move(done)); py::gil_scoped_release r; t->getBatteryLevel(d); })
        .def("get_firmware_version", [](const TokenPtr& t, py::object done) { auto d = textDone(std::move(done)); py::gil_scoped_release r; t->getFirmwareVersion(d); })
        .def("get_hardware_version", [](const TokenPtr& t, py::object done) { auto d = textDone(std::move(done)); py::gil_scoped_release r; t->getHardwareVersion(d); })
        .def("power_off", [](const TokenPtr& t, py::object done) { auto d = errorDone(std::move(done)); py::gil_scoped_release r; t->powerOff(d); })
        .def("power_secure_element_on", [](const TokenPtr& t, py::object done) { auto d = dataDone(std::move(done)); py::gil_scoped_release r; t->powerSecureElementOn(d); })
        .def("power_secure_element_off", [](const TokenPtr& t, py::object done) { auto d = errorDone(std::move(done)); py::gil_scoped_release r; t->powerSecureElementOff(d); })
        .def("set_communication_protocol",
             [](const TokenPtr& t, uint8_t protocol, py::object done) {
                 auto d = valueDone<bool>(std::move(done));
                 py::gil_scoped_release r;
                 t->setCommunicationProtocol(protocol, d);
             })
        .def("transmit_apdu",
             [](const TokenPtr& t, const py::buffer& apdu, py::object done) {
                 Bytes bytes = copyBytes(apdu);
                 auto d = dataDone(std::move(done));
                 py::gil_scoped_release r;
                 t->transmitAPDU(bytes, d);
             })
        .def("open_file",
             [](const TokenPtr& t, const std::string& path, int mode, py::object done) {
                 auto d = valueDone<uint8_t>(std::move(done));
                 py::gil_scoped_release r;
                 t->openFile(path, mode, d);
             })
        .def("close_file", [](const TokenPtr& t, uint8_t handle, py::object done) { auto d = errorDone(std::move(done)); py::gil_scoped_release r; t->closeFile(handle, d); })
        .def("write_file",
             [](const TokenPtr& t, uint8_t handle, const py::buffer& data, py::object done) {
                 // The pieces are built (copied) inside the call, so the buffer is only read here.
                 const py::buffer_info info = data.request();
                 const ByteView view(static_cast<const uint8_t*>(info.ptr), static_cast<size_t>(info.size * info.itemsize));
                 auto d = errorDone(std::move(done));
                 py::gil_scoped_release r;
                 return t->writeFile(handle, view, d);
             })
        .def("read_file",
             [](const TokenPtr& t, uint8_t handle, uint16_t count, py::object done) {
                 auto d = dataDone(std::move(done));
                 py::gil_scoped_release r;
                 return t->readFile(handle, count, d);
             })
        // The operation write_file or read_file returned: answered at once with the cancel code.
        .def("cancel", &VexaToken::cancel, Release())
        .def("cancel_all", &VexaToken::cancelAll, Release())
        .def("remove_file", [](const TokenPtr& t, const std::string& path, py::object done) { auto d = errorDone(std::move(done)); py::gil_scoped_release r; t->removeFile(path, d); })
        .def("list_files",
             [](const TokenPtr& t, const std::string& path, py::object done) {
                 VexaToken::FilesDone d = [cb = PyCallback(std::move(done))](const std::optional<std::vector<VexaFileEntry>>& files, const OptError& e) {
                     cb.call([&] { return py::make_tuple(files ? py::object(entryList(*files)) : py::none(), errorValue(e)); });
                 };
                 py::gil_scoped_release r;
                 t->getListFiles(path, d);
             })
        .def("select_storage", [](const TokenPtr& t, int storage, py::object done) { auto d = errorDone(std::move(done)); py::gil_scoped_release r; t->selectDeviceStorage(storage, d); })
        .def("read_variable",
             [](const TokenPtr& t, const std::string& name, py::object done) {
                 VexaToken::VariableDone d = [cb = PyCallback(std::move(done))](const std::optional<std::string>&, const std::optional<std::string>& value,
                                                                                 const OptError& e) {
                     cb.call([&] { return py::make_tuple(textValue(value), errorValue(e)); });
                 };
                 py::gil_scoped_release r;
                 t->readEnvironmentVariable(name, d);
             })
        .def("write_variable",
             [](const TokenPtr& t, const std::string& name, const std::string& value, py::object done) {
                 auto d = errorDone(std::move(done));
                 py::gil_scoped_release r;
                 t->writeEnvironmentVariable(name, value, d);
             })
        .def("remove_variable", [](const TokenPtr& t, const std::string& name, py::object done) { auto d = errorDone(std::move(done)); py::gil_scoped_release r; t->removeEnvironmentVariable(name, d); })
        .def("get_paired_devices",
             [](const TokenPtr& t, py::object done) {
                 VexaToken::PairedDevicesDone d = [cb = PyCallback(std::move(done))](const std::vector<VexaPairedDevice>& devices, const OptError& e) {
                     cb.call([&] { return py::make_tuple(entryList(devices), errorValue(e)); });
                 };
                 py::gil_scoped_release r;
                 t->getPairedDevices(d);
             })
        .def("remove_paired_device",
             [](const TokenPtr& t, const std::string& variable, py::object done) {
                 auto d = errorDone(std::move(done));
                 py::gil_scoped_release r;
                 t->removePairedDevice(variable, d);
             });
}

}  // namespace vexa::python
