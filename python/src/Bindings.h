#pragma once
// The parts of the compiled module, each adding its classes and functions.
#include <pybind11/pybind11.h>

namespace vexa::python {

namespace py = pybind11;

/// VexaToken: identity, keys and every operation with a completion callback.
void bindToken(pybind11::module_& m);
/// The token manager over a chosen backend, with its events.
void bindManager(pybind11::module_& m);
/// The simulated radio and the virtual token (vexatokenkit.testing).
void bindSimulation(pybind11::module_& m);
/// The C++ baseline of the transfer benchmark.
void bindBench(pybind11::module_& m);

}  // namespace vexa::python

#include <memory>

namespace vexa {
class SimulatedRadio;
}

namespace vexa::python {

/// The simulated radio that backend "sim" and vexatokenkit.testing use unless given another.
const std::shared_ptr<SimulatedRadio>& defaultRadio();

}  // namespace vexa::python
