#pragma once
// Python callables kept by the library: called and destroyed with the GIL taken, whatever thread
// lets them go, and never letting a Python exception into the library.
#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Bytes.h"
#include "Platform/Error.h"

namespace vexa::python {

namespace py = pybind11;

/// Set when the interpreter exits: from then on Python objects still held by the library are let
/// go without touching the interpreter.
inline std::atomic<bool> gPythonExiting{false};

class PyCallback {
public:
    PyCallback() = default;
    explicit PyCallback(py::object function)
        : function_(new py::object(std::move(function)), [](py::object* f) {
              if (gPythonExiting.load() || !Py_IsInitialized()) return;  // left behind at exit
              py::gil_scoped_acquire gil;
              delete f;
          }) {}

    explicit operator bool() const { return function_ && !function_->is_none(); }

    /// Calls the function with the arguments `makeArgs()` returns as a tuple (built with the GIL
    /// held); an exception it raises is reported as unraisable.
    template <class MakeArgs>
    void call(MakeArgs&& makeArgs) const {
        if (!*this || gPythonExiting.load()) return;
        py::gil_scoped_acquire gil;
        try {
            (*function_)(*makeArgs());
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("vexatokenkit callback");
        }
    }

private:
    std::shared_ptr<py::object> function_;
};

/// None, or (domain, code, message). GIL held.
inline py::object errorValue(const OptError& error) {
    if (!error) return py::none();
    return py::make_tuple(error->domain, error->code, error->message);
}

/// None, or the bytes. GIL held.
inline py::object bytesValue(const std::optional<Bytes>& data) {
    if (!data) return py::none();
    return py::bytes(reinterpret_cast<const char*>(data->data()), data->size());
}

/// None, or the text (decoded leniently: the token's texts are not always valid UTF-8). GIL held.
inline py::object textValue(const std::optional<std::string>& text) {
    if (!text) return py::none();
    PyObject* value = PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "replace");
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

}  // namespace vexa::python
