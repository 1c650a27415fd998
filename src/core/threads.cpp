#include "core/threads.hpp"

#include <opencv2/core/utility.hpp>

// OpenBLAS's own entry; weak so that another BLAS (or none) still links.
extern "C" void openblas_set_num_threads(int) __attribute__((weak));

namespace vesk::detail {

void useSingleThreadedBlas() {
  if (openblas_set_num_threads != nullptr) openblas_set_num_threads(1);
}

SequentialSolve::SequentialSolve() : saved_(cv::getNumThreads()) {
  if (saved_ > 1) cv::setNumThreads(1);
}

SequentialSolve::~SequentialSolve() {
  if (saved_ > 1) cv::setNumThreads(saved_);
}

}  // namespace vesk::detail
