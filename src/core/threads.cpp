#include "core/threads.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core/utility.hpp>

#include "core/logging.hpp"

// OpenBLAS's own entry; weak so that another BLAS (or none) still links.
extern "C" void openblas_set_num_threads(int) __attribute__((weak));

namespace vesk::detail {

namespace {

std::atomic<int> configuredThreads{0};  // 0: the default

// The hook of the call running on this thread, and how deep in per-view loops this thread is
// (a worker starts at depth 1: its loops run on it, in order).
thread_local Checkpoint checkpoint;
thread_local int loopDepth = 0;
// Set by the caller when it stops a loop: the workers stop between views, also in nested loops.
thread_local const std::atomic<bool>* stopFlag = nullptr;

// How often the caller's thread looks for Ctrl-C and reports progress while workers compute.
constexpr std::chrono::milliseconds kPollInterval(50);

void sequentialOpenCV() {
  static std::once_flag once;
  std::call_once(once, [] { cv::setNumThreads(1); });
}

struct Slot {
  bool done = false;
  std::exception_ptr error;
  std::vector<logging::Written> output;
};

class DepthScope {
 public:
  DepthScope() { ++loopDepth; }
  ~DepthScope() { --loopDepth; }
  DepthScope(const DepthScope&) = delete;
  DepthScope& operator=(const DepthScope&) = delete;
};

// One thread, or inside a worker: in order, with the hook between views on the caller's thread.
void runInOrder(std::size_t n, const std::function<void(std::size_t)>& task) {
  const bool outermost = loopDepth == 0;
  const DepthScope depth;
  for (std::size_t i = 0; i < n; ++i) {
    if (stopFlag != nullptr && stopFlag->load()) throw Interrupted{};
    if (checkpoint) checkpoint(outermost ? i : 0, outermost ? n : 0);
    task(i);
  }
  if (checkpoint && outermost) checkpoint(n, n);
}

}  // namespace

void useSingleThreadedBlas() {
  if (openblas_set_num_threads != nullptr) openblas_set_num_threads(1);
}

SequentialSolve::SequentialSolve() { sequentialOpenCV(); }

int viewThreads() {
  const int n = configuredThreads.load();
  return n > 0 ? n : std::max(1, cv::getNumberOfCPUs());
}

void setViewThreads(int n) { configuredThreads.store(n > 0 ? n : 0); }

int configuredViewThreads() { return configuredThreads.load(); }

CallScope::CallScope(Checkpoint hook) : saved_(std::move(checkpoint)) { checkpoint = std::move(hook); }

CallScope::~CallScope() { checkpoint = std::move(saved_); }

namespace {

// Views shared between the workers and the caller's thread.
struct Shared {
  explicit Shared(std::size_t n) : slots(n) {}
  std::vector<Slot> slots;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable finished;
};

// A worker claims views in order and keeps each one's log lines and exception in its slot.
void work(Shared& shared, const std::function<void(std::size_t)>& task) {
  stopFlag = &shared.stop;
  const DepthScope depth;
  for (;;) {
    const std::size_t i = shared.next.fetch_add(1);
    if (i >= shared.slots.size() || shared.stop.load()) break;
    Slot& slot = shared.slots[i];
    {
      logging::Capture capture;
      try {
        task(i);
      } catch (...) {
        slot.error = std::current_exception();
      }
      slot.output = capture.take();
    }
    {
      const std::lock_guard<std::mutex> lock(shared.mutex);
      slot.done = true;
    }
    shared.finished.notify_one();
    if (slot.error) break;  // views after it are abandoned anyway
  }
  stopFlag = nullptr;
}

// The caller's thread writes each finished view's output in index order, reports progress and
// looks for Ctrl-C (through the hook) while the workers run; the first error is rethrown.
void collect(Shared& shared, const Checkpoint& hook) {
  const std::size_t n = shared.slots.size();
  std::size_t written = 0;
  for (;;) {
    std::vector<std::size_t> ready;
    {
      std::unique_lock<std::mutex> lock(shared.mutex);
      shared.finished.wait_for(lock, kPollInterval, [&] { return written < n && shared.slots[written].done; });
      while (written < n && shared.slots[written].done) ready.push_back(written++);
    }
    for (std::size_t i : ready) {
      logging::replay(shared.slots[i].output);
      shared.slots[i].output.clear();
      if (shared.slots[i].error) std::rethrow_exception(shared.slots[i].error);
    }
    if (hook) hook(written, n);
    if (written == n) break;
  }
}

}  // namespace

void forEachView(std::size_t n, const std::function<void(std::size_t)>& task) {
  sequentialOpenCV();
  const std::size_t threads = std::min<std::size_t>(static_cast<std::size_t>(viewThreads()), n);
  if (n == 0) return;
  if (threads <= 1 || loopDepth > 0) {
    runInOrder(n, task);
    return;
  }
  Shared shared(n);
  const Checkpoint hook = checkpoint;
  if (hook) hook(0, n);
  std::vector<std::thread> workers;
  workers.reserve(threads);
  for (std::size_t t = 0; t < threads; ++t) workers.emplace_back([&] { work(shared, task); });

  std::exception_ptr failure;
  try {
    collect(shared, hook);
  } catch (...) {
    failure = std::current_exception();
  }
  shared.stop.store(true);
  for (std::thread& w : workers) w.join();
  if (failure) std::rethrow_exception(failure);
}

InUse::Guard::Guard(const InUse& flag, const char* name) : flag_(flag) {
  if (flag_.busy_.exchange(true)) {
    if (flag_.owner_.load() == std::this_thread::get_id()) {
      throw std::runtime_error(std::string(name) +
                               " is already running a call on this thread: its progress callable cannot call it "
                               "again before that call returns");
    }
    throw std::runtime_error(std::string(name) + " is in use by another thread");
  }
  flag_.owner_.store(std::this_thread::get_id());
}

InUse::Guard::~Guard() {
  flag_.owner_.store(std::thread::id());
  flag_.busy_.store(false);
}

}  // namespace vesk::detail
