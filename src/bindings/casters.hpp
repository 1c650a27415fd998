#pragma once
// Every type caster of the module. Include this first in each binding unit so
// that all units see the same conversions.

#include <climits>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <opencv2/core.hpp>

#include "core/allocator.hpp"
#include "core/threads.hpp"

// CPython 3.13 dropped this symbol. A weak reference lets the loader map the
// module under another interpreter, so the entry's version check can report
// the mismatch instead of the loader failing on an undefined symbol.
#pragma weak _PyThreadState_UncheckedGet

namespace vesk::bindings {

// The copies a list of arrays needs, collected while the list converts and then made on every view
// thread at once: for a list of large images the copy (and the first touch of its fresh memory)
// is most of the conversion. The lock stays held meanwhile, so no Python code can change an array
// while it is copied.
struct PendingCopies {
  struct Copy {
    pybind11::object keep;  // the contiguous array the source header points into
    cv::Mat source, destination;
  };
  std::vector<Copy> copies;

  static PendingCopies*& active() {
    thread_local PendingCopies* current = nullptr;
    return current;
  }
  // Runs before the call, without the interpreter lock (the arrays are kept alive by `keep`):
  // copying hundreds of large images takes a while (first touch of fresh memory), during which
  // other Python threads run and Ctrl-C stops the copies between images.
  void run() {
    std::optional<pybind11::error_already_set> pending;
    bool interrupted = false;
    {
      const pybind11::gil_scoped_release unlock;
      const vesk::detail::CallScope scope([&pending](std::size_t, std::size_t) {
        const pybind11::gil_scoped_acquire lock;
        if (PyErr_CheckSignals() != 0) {
          pending.emplace();
          throw vesk::detail::Interrupted{};
        }
      });
      try {
        vesk::detail::forEachView(copies.size(),
                                  [this](std::size_t i) { copies[i].source.copyTo(copies[i].destination); });
      } catch (const vesk::detail::Interrupted&) {
        interrupted = true;
      }
    }
    if (interrupted) throw std::move(*pending);
  }
};

}  // namespace vesk::bindings

namespace pybind11::detail {

// numpy array <-> cv::Mat, always by deep copy.
template <>
struct type_caster<cv::Mat> {
  PYBIND11_TYPE_CASTER(cv::Mat, const_name("numpy.ndarray"));

  bool load(handle src, bool /*convert*/) {
    if (!src || src.is_none()) return false;
    auto& api = npy_api::get();
    // Any array-like becomes a C-contiguous base-class ndarray of its own dtype.
    PyObject* raw = api.PyArray_FromAny_(src.ptr(), nullptr, 0, 0,
                                         npy_api::NPY_ARRAY_C_CONTIGUOUS_ | npy_api::NPY_ARRAY_ENSUREARRAY_,
                                         nullptr);
    if (raw == nullptr) {
      // running out of memory is not a wrong argument type
      if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw error_already_set();
      PyErr_Clear();
      return false;
    }
    auto arr = reinterpret_steal<array>(raw);

    const int depth = depthOf(arr.dtype());
    if (depth < 0) return false;

    const auto ndim = arr.ndim();
    if (ndim < 1 || ndim > 3) return false;
    const ssize_t rows = arr.shape(0);
    const ssize_t cols = ndim >= 2 ? arr.shape(1) : 1;
    const ssize_t channels = ndim == 3 ? arr.shape(2) : 1;
    if (channels < 1 || channels > 4) return false;
    if (rows > INT_MAX || cols > INT_MAX) return false;

    const int type = CV_MAKETYPE(depth, static_cast<int>(channels));
    if (rows == 0 || cols == 0) {
      value = cv::Mat(static_cast<int>(rows), static_cast<int>(cols), type);
      return true;
    }
    const cv::Mat header(static_cast<int>(rows), static_cast<int>(cols), type, const_cast<void*>(arr.data()));
    value = vesk::detail::largeBufferMat();
    if (auto* pending = vesk::bindings::PendingCopies::active()) {
      value.create(header.size(), header.type());
      pending->copies.push_back({std::move(arr), header, value});
      return true;
    }
    header.copyTo(value);
    return true;
  }

  static handle cast(const cv::Mat& mat, return_value_policy /*policy*/, handle /*parent*/) {
    if (mat.empty()) {
      return array_t<double>(std::vector<ssize_t>{0, 0}).release();
    }
    const cv::Mat m = mat.isContinuous() ? mat : mat.clone();
    dtype dt = dtypeOf(m.depth());

    std::vector<ssize_t> shape;
    if (m.dims <= 2) {
      shape = {m.rows, m.cols};
    } else {
      for (int i = 0; i < m.dims; ++i) shape.push_back(m.size[i]);
    }
    if (m.channels() > 1) shape.push_back(m.channels());

    array out(dt, shape);
    std::memcpy(out.mutable_data(), m.data, m.total() * m.elemSize());
    return out.release();
  }

 private:
  static int depthOf(const dtype& dt) {
    // By type number, not by identity with numpy's canonical descriptors: an array
    // that came through pickle (multiprocessing hands images over that way) carries an
    // equal descriptor that is not the canonical one. Non-native byte order is refused.
    const char order = dt.byteorder();
    constexpr char kNative = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? '<' : '>';
    if (order != '=' && order != '|' && order != kNative) return -1;
    const int num = dt.num();
    if (num == dtype::of<uint8_t>().num()) return CV_8U;
    if (num == dtype::of<int8_t>().num()) return CV_8S;
    if (num == dtype::of<uint16_t>().num()) return CV_16U;
    if (num == dtype::of<int16_t>().num()) return CV_16S;
    if (num == dtype::of<int32_t>().num()) return CV_32S;
    if (num == dtype::of<float>().num()) return CV_32F;
    if (num == dtype::of<double>().num()) return CV_64F;
    return -1;
  }

  static dtype dtypeOf(int depth) {
    switch (depth) {
      case CV_8U: return dtype::of<uint8_t>();
      case CV_8S: return dtype::of<int8_t>();
      case CV_16U: return dtype::of<uint16_t>();
      case CV_16S: return dtype::of<int16_t>();
      case CV_32S: return dtype::of<int32_t>();
      case CV_32F: return dtype::of<float>();
      case CV_64F: return dtype::of<double>();
      default: throw std::runtime_error("vesk: unsupported cv::Mat depth for numpy conversion");
    }
  }
};

// A list of arrays: converted element by element, then copied on every view thread.
template <>
struct type_caster<std::vector<cv::Mat>> : list_caster<std::vector<cv::Mat>, cv::Mat> {
  bool load(handle src, bool convert) {
    auto*& active = vesk::bindings::PendingCopies::active();
    if (active != nullptr) return list_caster::load(src, convert);  // an outer list copies
    vesk::bindings::PendingCopies pending;
    active = &pending;
    bool loaded = false;
    try {
      loaded = list_caster::load(src, convert);
    } catch (...) {
      active = nullptr;
      throw;
    }
    active = nullptr;
    if (loaded) pending.run();
    return loaded;
  }
};

// Any two-item sequence <-> (width, height).
template <>
struct type_caster<cv::Size> {
  PYBIND11_TYPE_CASTER(cv::Size, const_name("tuple[int, int]"));

  bool load(handle src, bool convert) {
    if (!src || !isinstance<sequence>(src) || isinstance<str>(src) || isinstance<bytes>(src)) return false;
    auto seq = reinterpret_borrow<sequence>(src);
    if (seq.size() != 2) return false;
    make_caster<int> w, h;
    if (!w.load(seq[0], convert) || !h.load(seq[1], convert)) return false;
    value = cv::Size(cast_op<int>(w), cast_op<int>(h));
    return true;
  }

  static handle cast(const cv::Size& size, return_value_policy, handle) {
    return make_tuple(size.width, size.height).release();
  }
};

}  // namespace pybind11::detail
