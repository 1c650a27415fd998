#include "bindings/casters.hpp"
#include "bindings/registration.hpp"
#include "core/blas.hpp"

#include <cstring>

namespace py = pybind11;

namespace {

// pybind11 lets `Cls.__new__(Cls)` make an instance whose C++ value was never
// constructed; a method called on it then gets freshly allocated, uninitialised
// storage from the caster's lazy allocation, which goes through the type's
// operator_new hook (our classes have no other use for it: every constructor
// builds its value itself). Refusing there covers every bound class at once.
void* refuseUninitialised(std::size_t) {
  throw py::type_error("_vesk object is not initialised: it was made with __new__ without __init__; "
                       "construct it by calling its class");
}

void refuseUninitialisedInstances() {
  py::detail::with_internals([](py::detail::internals& internals) {
    for (auto& [type, infos] : internals.registered_types_py) {
      if (std::strncmp(type->tp_name, "_vesk.", 6) != 0) continue;
      for (py::detail::type_info* info : infos) info->operator_new = &refuseUninitialised;
    }
  });
}

}  // namespace

PYBIND11_MODULE(_vesk, m, py::multiple_interpreters::not_supported()) {
  vesk::detail::useSingleThreadedBlas();
  m.doc() =
      "Compiled C++ core of halberon-vesk: targets, calibration, geometry, quality, io. "
      "Not meant to be imported directly  -  use the halberon.vesk Python package.";

  auto tf = m.def_submodule("tf", "SE(3) pose <-> 4x4 transformation matrix conversions.");
  vesk::bindings::registerTf(tf);
  vesk::bindings::registerTargets(m);
  vesk::bindings::registerIntrinsic(m);
  vesk::bindings::registerHandEye(m);
  vesk::bindings::registerMultiCamera(m);

  auto diagnostics = m.def_submodule("diagnostics", "Diagnostics for hand-eye calibration data and solvers.");
  vesk::bindings::registerDiagnostics(diagnostics);
  vesk::bindings::registerBenchmark(m);

  auto io = m.def_submodule("io", "On-disk persistence for calibration datasets and results.");
  vesk::bindings::registerIo(io);
  refuseUninitialisedInstances();
}
