#include "bindings/casters.hpp"
#include "bindings/registration.hpp"
#include "core/errors.hpp"
#include "core/failure.hpp"
#include "core/logging.hpp"
#include "core/threads.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <thread>
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

// set_log_handler: the core's log lines go to a Python callable instead of stderr. Lines are written
// on the calling thread, mostly without the interpreter lock, so the sink takes it. Whatever goes
// wrong (the handler raises, the interpreter is exiting, the handler logs itself) the line goes to
// stderr as it would have without a handler.
PyObject* logHandler = nullptr;    // owned; read and replaced with the interpreter lock held
std::atomic<bool> logOpen{true};   // false once the interpreter exits
std::atomic<int> logInFlight{0};
thread_local bool inLogHandler = false;

bool logToPython(const char* level, const std::string& message) {
  if (inLogHandler) return false;
  ++logInFlight;
  struct Leave {
    ~Leave() { --logInFlight; }
  } leave;
  if (!logOpen.load()) return false;  // taking the lock now could end this thread inside the core
  const PyGILState_STATE state = PyGILState_Ensure();
  bool delivered = false;
  // a line written while an error is pending goes to stderr: calling Python then would lose the error
  if (logHandler != nullptr && PyErr_Occurred() == nullptr) {
    inLogHandler = true;
    PyObject* handler = Py_NewRef(logHandler);
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    PyObject* result = text != nullptr ? PyObject_CallFunction(handler, "sO", level, text) : nullptr;
    if (result != nullptr) {
      delivered = true;
      Py_DECREF(result);
    } else if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
      PyErr_Clear();
      PyErr_SetInterrupt();  // a Ctrl-C in the handler still stops the call at its next checkpoint
    } else {
      PyErr_WriteUnraisable(handler);
    }
    Py_XDECREF(text);
    Py_DECREF(handler);
    inLogHandler = false;
  }
  PyGILState_Release(state);
  return delivered;
}

// At interpreter exit (atexit, the lock held): no new handler calls, the running ones finish (the
// lock released for them, for a few seconds at most), then the handler is dropped.
void closeLogHandler() {
  logOpen.store(false);
  vesk::logging::setSink(nullptr);
  {
    const py::gil_scoped_release unlock;
    for (int i = 0; i < 5000 && logInFlight.load() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Py_CLEAR(logHandler);
}

void registerFailure(py::module_& m) {
  py::classh<vesk::Failure>(m, "Failure",
                            "Why a result is not ok: a stable `code` to branch on and the `message` its log line "
                            "says.")
      .def_readonly("code", &vesk::Failure::code)
      .def_readonly("message", &vesk::Failure::message)
      .def("__repr__", [](const vesk::Failure& f) {
        return "Failure(code=" + py::repr(py::str(f.code)).cast<std::string>() +
               ", message=" + py::repr(py::str(f.message)).cast<std::string>() + ")";
      });
}

void registerLogHandler(py::module_& m) {
  m.def(
      "set_log_handler",
      [](const py::object& handler) -> py::object {
        if (!handler.is_none() && !PyCallable_Check(handler.ptr())) {
          throw py::type_error("set_log_handler: expected a callable handler(level, message) or None");
        }
        PyObject* previous = logHandler;
        logHandler = handler.is_none() ? nullptr : handler.inc_ref().ptr();
        vesk::logging::setSink(logHandler != nullptr && logOpen.load() ? &logToPython : nullptr);
        return previous != nullptr ? py::reinterpret_steal<py::object>(previous) : py::none();
      },
      py::arg("handler"),
      "Send the core's log lines to handler(level, message) instead of stderr: level is 'DEBUG', 'INFO', "
      "'WARNING', 'ERROR' or 'SUCCESS', message the text without the '[vesk][LEVEL] ' prefix or newline. It is "
      "called on the thread that made the call, in the order lines were written, with the interpreter lock "
      "held. A line whose handler raises is written to stderr (with the exception, as unraisable), as are lines "
      "the handler itself causes and lines after interpreter exit began. None restores stderr. Returns the "
      "previous handler (or None).");
  py::module_::import("atexit").attr("register")(py::cpp_function(&closeLogHandler));
}

}  // namespace

PYBIND11_MODULE(_vesk, m, py::multiple_interpreters::not_supported()) {
  vesk::detail::useSingleThreadedBlas();
  m.doc() =
      "Compiled C++ core of halberon-vesk: targets, calibration, geometry, quality, io. "
      "Not meant to be imported directly  -  use the halberon.vesk Python package.";

  registerThreads(m);
  registerLogHandler(m);
  registerFailure(m);
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
  // the re-check takes the io records: registered after them
  vesk::bindings::registerVerification(diagnostics);
  refuseUninitialisedInstances();
  py::register_local_exception_translator(&translateNonUtf8Messages);
}
