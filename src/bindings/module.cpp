#include "bindings/casters.hpp"
#include "bindings/registration.hpp"
#include "core/errors.hpp"
#include "core/threads.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <vector>

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

// pybind11 turns a C++ message into a str strictly; one byte that is not UTF-8
// (a bytes path, a file's contents) would replace the intended exception with
// a UnicodeDecodeError. Such messages are decoded with replacement characters
// and raised as the type pybind11 would have chosen.
void translateNonUtf8Messages(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const py::builtin_exception&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const cv::Exception& e) {
    PyErr_SetString(PyExc_RuntimeError, vesk::detail::errorText(e).c_str());
  } catch (const std::exception& e) {
    const char* what = e.what();
    const auto size = static_cast<Py_ssize_t>(std::strlen(what));
    if (PyObject* strict = PyUnicode_DecodeUTF8(what, size, nullptr)) {
      Py_DECREF(strict);
      throw;
    }
    PyErr_Clear();
    PyObject* type = PyExc_RuntimeError;
    if (dynamic_cast<const std::invalid_argument*>(&e) || dynamic_cast<const std::domain_error*>(&e) ||
        dynamic_cast<const std::length_error*>(&e) || dynamic_cast<const std::range_error*>(&e)) {
      type = PyExc_ValueError;
    } else if (dynamic_cast<const std::out_of_range*>(&e)) {
      type = PyExc_IndexError;
    } else if (dynamic_cast<const std::overflow_error*>(&e)) {
      type = PyExc_OverflowError;
    }
    PyObject* message = PyUnicode_DecodeUTF8(what, size, "replace");
    PyErr_SetObject(type, message);
    Py_XDECREF(message);
  }
}

void refuseUninitialisedInstances() {
  py::detail::with_internals([](py::detail::internals& internals) {
    for (auto& [type, infos] : internals.registered_types_py) {
      if (std::strncmp(type->tp_name, "_vesk.", 6) != 0) continue;
      for (py::detail::type_info* info : infos) info->operator_new = &refuseUninitialised;
    }
  });
}

// The thread count, set the way cv2.setNumThreads and threadpoolctl's threadpool_limits set theirs.
// One object may be entered again inside its own block: each exit restores what its enter found.
struct ThreadLimit {
  int limit;
  std::vector<int> saved;
};

int threadSetting(int n) { return n == 0 ? 1 : n; }  // as cv2: 0 runs on one thread, below 0 the default

void registerThreads(py::module_& m) {
  m.def(
      "set_num_threads", [](int n) { vesk::detail::setViewThreads(threadSetting(n)); }, py::arg("n"),
      "Threads for per-view work (detection, poses, folds, solvers, rig cameras), for the whole process: n >= 1 "
      "threads, 0 or 1 the calling thread only, n < 0 all cores the process may use (the default). Results do not "
      "depend on it.");
  m.def("get_num_threads", &vesk::detail::viewThreads, "Threads used for per-view work.");
  py::classh<ThreadLimit>(m, "thread_limit",
                          "Context manager: `with _vesk.thread_limit(1):` runs the calls inside on n threads "
                          "(as set_num_threads(n)) and restores the setting on exit.")
      .def(py::init([](int n) { return ThreadLimit{threadSetting(n), {}}; }), py::arg("n"))
      .def("__enter__",
           [](ThreadLimit& t) {
             t.saved.push_back(vesk::detail::configuredViewThreads());
             vesk::detail::setViewThreads(t.limit);
           })
      .def("__exit__", [](ThreadLimit& t, const py::args&) {
        if (t.saved.empty()) return;  // an exit without its enter changes nothing
        vesk::detail::setViewThreads(t.saved.back());
        t.saved.pop_back();
      });
}

}  // namespace

PYBIND11_MODULE(_vesk, m, py::multiple_interpreters::not_supported()) {
  vesk::detail::useSingleThreadedBlas();
  m.doc() =
      "Compiled C++ core of halberon-vesk: targets, calibration, geometry, quality, io. "
      "Not meant to be imported directly  -  use the halberon.vesk Python package.";

  registerThreads(m);
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
  py::register_local_exception_translator(&translateNonUtf8Messages);
}
