#pragma once
// One registration function per subsystem, called by the module's exec step
// in dependency order: a class is registered before any signature naming it.

#include <pybind11/pybind11.h>

namespace vesk::bindings {

void registerTf(pybind11::module_& tf);
void registerTargets(pybind11::module_& m);
void registerIntrinsic(pybind11::module_& m);
void registerHandEye(pybind11::module_& m);
void registerMultiCamera(pybind11::module_& m);
void registerDiagnostics(pybind11::module_& diag);
void registerBenchmark(pybind11::module_& m);
void registerIo(pybind11::module_& io);

}  // namespace vesk::bindings
