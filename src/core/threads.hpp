#pragma once

// Where the core computes: on the caller's thread, with results that do not depend on a pool.

namespace vesk::detail {

// Run the BLAS that OpenCV's solvers call on the caller's thread only. The
// matrices of a calibration are small; a threaded OpenBLAS would wake worker
// threads for each product and, on few cores, spend more time handing work
// over (and spinning in sched_yield) than computing. No-op when the linked
// BLAS is not OpenBLAS.
void useSingleThreadedBlas();

// Runs OpenCV's parallel loops sequentially while in scope. OpenCV 4.14's
// calibration solvers sum their normal equations in parallel chunks whose
// order depends on scheduling, so the same views gave a different K in the
// last digits (up to 1e-7 px) on each call. Solves are small; a result must
// not depend on the thread pool. Detection keeps the pool: its results do not
// depend on the order.
class SequentialSolve {
 public:
  SequentialSolve();
  ~SequentialSolve();
  SequentialSolve(const SequentialSolve&) = delete;
  SequentialSolve& operator=(const SequentialSolve&) = delete;

 private:
  int saved_;
};

}  // namespace vesk::detail
