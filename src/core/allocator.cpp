#include "core/allocator.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace vesk::detail {

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kThreshold = std::size_t(1) << 20;

class LargeBufferAllocator final : public cv::MatAllocator {
 public:
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, std::size_t* step,
                         cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
    std::size_t total = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) {
      if (step) {
        if (data0 && step[i] != cv::Mat::AUTO_STEP) {
          total = step[i];
        } else {
          step[i] = total;
        }
      }
      total *= static_cast<std::size_t>(sizes[i]);
    }
    if (data0 || total < kThreshold) {
      return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data0, step, flags, usage);
    }
    const std::size_t bytes = (total + kHugePage - 1) / kHugePage * kHugePage;
    void* data = std::aligned_alloc(kHugePage, bytes);
    if (data == nullptr) throw std::bad_alloc();
    madvise(data, bytes, MADV_HUGEPAGE);  // a hint: failure just means small pages
    auto* u = new cv::UMatData(this);
    u->data = u->origdata = static_cast<uchar*>(data);
    u->size = total;
    return u;
  }

  bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }

  void deallocate(cv::UMatData* u) const override {
    if (u == nullptr) return;
    CV_Assert(u->urefcount == 0);
    CV_Assert(u->refcount == 0);
    if (!(u->flags & cv::UMatData::USER_ALLOCATED)) {
      std::free(u->origdata);
      u->origdata = nullptr;
    }
    delete u;
  }
};

}  // namespace

const cv::MatAllocator* largeBufferAllocator() {
  static const auto* allocator = new LargeBufferAllocator();
  return allocator;
}

}  // namespace vesk::detail
