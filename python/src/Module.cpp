// The compiled part of vexatokenkit. The asyncio layer (vexatokenkit/*.py) is the public face;
// this module keeps to the library's own shapes: callbacks with (value, error) where error is
// None or (domain, code, message).
#include <pybind11/pybind11.h>

#include <string>

#include "Platform/MainQueue.h"
#include "VexaTokenKit/VexaTokenKitVersion.h"
#include "python/src/AsyncioQueue.h"
#include "python/src/Bindings.h"
#include "python/src/PyCallback.h"

namespace py = pybind11;
using namespace vexa;
using namespace vexa::python;

namespace {

// "1.0.0-beta3" out of "@(#)PROGRAM:VexaTokenKit  PROJECT:VexaTokenKit-1.0.0-beta3\n".
std::string libraryVersion() {
    const std::string text = VexaTokenKitVersionString;
    const std::string marker = "PROJECT:VexaTokenKit-";
    const size_t start = text.find(marker);
    if (start == std::string::npos) return "0";
    const size_t from = start + marker.size();
    return text.substr(from, text.find_first_of(" \n", from) - from);
}

}  // namespace

PYBIND11_MODULE(_vexatokenkit, m) {
    m.doc() = "Compiled core of vexatokenkit (use the vexatokenkit package instead).";
    m.attr("__version__") = libraryVersion();
    m.attr("version_string") = std::string(VexaTokenKitVersionString);

    setMainQueue(AsyncioQueue::instance());
    m.def("bind_loop", [](const py::object& loop) { AsyncioQueue::instance()->bind(loop); }, py::arg("loop"),
          "Runs the library's main queue on this asyncio event loop.");
    // Before the interpreter goes: drop the loop and every queued task while Python still runs.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        AsyncioQueue::instance()->shutdown();
        gPythonExiting.store(true);
    }));

    bindToken(m);
    bindManager(m);
    bindSimulation(m);
    bindBench(m);
}
