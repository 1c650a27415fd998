#pragma once

namespace vesk::detail {

// Run the BLAS that OpenCV's solvers call on the caller's thread only. The
// matrices of a calibration are small; a threaded OpenBLAS would wake worker
// threads for each product and, on few cores, spend more time handing work
// over (and spinning in sched_yield) than computing. No-op when the linked
// BLAS is not OpenBLAS.
void useSingleThreadedBlas();

}  // namespace vesk::detail
