#include "core/blas.hpp"

// OpenBLAS's own entry; weak so that another BLAS (or none) still links.
extern "C" void openblas_set_num_threads(int) __attribute__((weak));

namespace vesk::detail {

void useSingleThreadedBlas() {
  if (openblas_set_num_threads != nullptr) openblas_set_num_threads(1);
}

}  // namespace vesk::detail
