#include "bindings/casters.hpp"
#include "bindings/registration.hpp"
#include "core/blas.hpp"

namespace py = pybind11;

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
}
