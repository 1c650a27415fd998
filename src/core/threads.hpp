#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <thread>

// Where the core computes. Independent views (detection, per-view poses, folds, solvers, cameras)
// run on a few threads of the core's own; everything else runs on the caller's thread. Results,
// log lines and reports do not depend on the thread count.

namespace vesk::detail {

// Run the BLAS that OpenCV's solvers call on the caller's thread only. The
// matrices of a calibration are small; a threaded OpenBLAS would wake worker
// threads for each product and, on few cores, spend more time handing work
// over (and spinning in sched_yield) than computing. No-op when the linked
// BLAS is not OpenBLAS.
void useSingleThreadedBlas();

// Keeps OpenCV's own parallel loop at one thread, once for the process. OpenCV 4.14's calibration
// solvers sum their normal equations in parallel chunks whose order depends on scheduling, so the
// same views gave a different K in the last digits on each call; and OpenCV's loop serialises
// every loop of the process while one runs (a process-wide flag), which would stall a second
// calibration on another thread. Views are spread over the core's own threads instead.
class SequentialSolve {
 public:
  SequentialSolve();
};

// Threads for per-view work: all cores the process may use (its CPU affinity and cgroup quota, as
// OpenCV counts them) unless set. set: n >= 1 uses n threads (1: the caller's thread only); n <= 0
// restores the default.
int viewThreads();
void setViewThreads(int n);
// The setting as made: 0 for the default.
int configuredViewThreads();

// Thrown through the core when the caller stops a call (Ctrl-C, or its progress callable raised).
// Not a std::exception, so that no per-item handler in the core takes it for one item's failure.
struct Interrupted {};

// The caller's hook, called on the caller's thread between views with (done, total) of the
// outermost per-view loop running; it may throw Interrupted. Installed for the duration of a call.
using Checkpoint = std::function<void(std::size_t done, std::size_t total)>;
class CallScope {
 public:
  explicit CallScope(Checkpoint checkpoint);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  Checkpoint saved_;
};

// Runs task(i) for every i in [0, n), on up to viewThreads() threads; a task must touch only what
// belongs to its i. Log lines and reports a task writes come out in index order, as a loop on one
// thread writes them; when task(k) throws, the output of tasks 0..k comes out and task k's exception
// is rethrown (later tasks are abandoned). Inside a task, a nested forEachView runs on that task's
// thread.
void forEachView(std::size_t n, const std::function<void(std::size_t)>& task);

// One object that a single caller may use at a time: a second call while one runs throws
// std::runtime_error(name + " is in use by another thread"), or, from the thread already running
// a call on it (a progress callable calling back in), a message saying so. Copies start free.
class InUse {
 public:
  InUse() = default;
  InUse(const InUse&) {}
  InUse& operator=(const InUse&) { return *this; }

  class Guard {
   public:
    Guard(const InUse& flag, const char* name);
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    const InUse& flag_;
  };

 private:
  mutable std::atomic<bool> busy_{false};
  mutable std::atomic<std::thread::id> owner_{};
};

}  // namespace vesk::detail
