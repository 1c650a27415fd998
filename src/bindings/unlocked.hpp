#pragma once
// Calls into the core without the interpreter lock. Arguments are converted before and results
// after, with the lock held; between views the core hands control back to the caller's thread,
// which then takes the lock to look for Ctrl-C and to report progress.

#include <exception>
#include <stdexcept>
#include <string>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

#include "core/threads.hpp"
#include "io/result_files.hpp"

namespace vesk::bindings {

namespace py = pybind11;

// Runs body() unlocked; a Ctrl-C or an exception of `progress` ends it and is raised here.
template <class F>
auto callUnlocked(const py::object& progress, F&& body) -> decltype(body()) {
  using R = decltype(body());
  std::optional<py::error_already_set> pending;
  std::pair<std::size_t, std::size_t> reported{std::numeric_limits<std::size_t>::max(), 0};
  const detail::CallScope scope([&](std::size_t done, std::size_t total) {
    const py::gil_scoped_acquire lock;
    try {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      // total 0: a loop nested in another, whose progress is the outer loop's
      if (total > 0 && !progress.is_none() && reported != std::make_pair(done, total)) {
        reported = {done, total};
        progress(done, total);
      }
    } catch (py::error_already_set& e) {
      pending.emplace(std::move(e));
      throw detail::Interrupted{};
    }
  });
  bool interrupted = false;
  if constexpr (std::is_void_v<R>) {
    {
      const py::gil_scoped_release unlock;
      try {
        body();
      } catch (const detail::Interrupted&) {
        interrupted = true;
      }
    }
    if (interrupted) throw std::move(*pending);
  } else {
    std::optional<R> result;
    {
      const py::gil_scoped_release unlock;
      try {
        result.emplace(body());
      } catch (const detail::Interrupted&) {
        interrupted = true;
      }
    }
    if (interrupted) throw std::move(*pending);
    return std::move(*result);
  }
}

// A calibration whose result file cannot be written has succeeded all the same and stored its
// result: the error says so, so that the work is not done again.
template <class F>
auto keepingResult(F&& call) -> decltype(call()) {
  try {
    return call();
  } catch (const io::ResultWriteError& e) {
    throw std::runtime_error(std::string(e.what()) +
                             " (the calibration itself succeeded: its result is in last_result())");
  }
}

// A method of a calibrator, run unlocked with a `progress` argument last; one thread at a time.
template <class C, class R, class... A>
auto unlockedMethod(R (C::*method)(A...), const char* name) {
  return [method, name](C& self, A... args, const py::object& progress) -> R {
    const detail::InUse::Guard guard(self.inUse(), name);
    return keepingResult(
        [&]() -> R { return callUnlocked(progress, [&]() -> R { return (self.*method)(std::forward<A>(args)...); }); });
  };
}

template <class C, class R, class... A>
auto unlockedMethod(R (C::*method)(A...) const, const char* name) {
  return [method, name](const C& self, A... args, const py::object& progress) -> R {
    const detail::InUse::Guard guard(self.inUse(), name);
    return callUnlocked(progress, [&]() -> R { return (self.*method)(std::forward<A>(args)...); });
  };
}

// A quick method of a calibrator, with the lock held; it too refuses to run while another thread
// uses the calibrator.
template <class C, class F>
auto lockedMethod(F f, const char* name) {
  return [f, name](C& self) {
    const detail::InUse::Guard guard(self.inUse(), name);
    return f(self);
  };
}

// A const method of an object without state of its own (any number of threads may call it at once),
// run unlocked with a `progress` argument last.
template <class C, class R, class... A>
auto unlockedStateless(R (C::*method)(A...) const) {
  return [method](const C& self, A... args, const py::object& progress) -> R {
    return callUnlocked(progress, [&]() -> R { return (self.*method)(std::forward<A>(args)...); });
  };
}

// A free function run unlocked with a `progress` argument last.
template <class R, class... A>
auto unlockedFunction(R (*function)(A...)) {
  return [function](A... args, const py::object& progress) -> R {
    return callUnlocked(progress, [&]() -> R { return function(std::forward<A>(args)...); });
  };
}

}  // namespace vesk::bindings
