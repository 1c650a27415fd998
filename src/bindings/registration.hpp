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
// The hand-eye re-check, part of the diagnostics: registered after io, whose records it takes.
void registerVerification(pybind11::module_& diag);
void registerBenchmark(pybind11::module_& m);
void registerIo(pybind11::module_& io);

// Getter of a member whose type is itself a bound class, for a property with
// reference_internal (a view into the owner). pybind11's own member properties
// of smart-holder classes dereference an instance made by __new__ alone without
// checking it; a getter taking `const C&` goes through the caster, which refuses it.
template <class C, class M>
auto memberView(M C::*member) {
  return [member](const C& self) -> const M& { return self.*member; };
}

template <class C, class M>
auto memberSetter(M C::*member) {
  return [member](C& self, const M& value) { self.*member = value; };
}

}  // namespace vesk::bindings
