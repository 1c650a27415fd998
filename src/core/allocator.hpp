#pragma once

#include <opencv2/core.hpp>

namespace vesk::detail {

// Allocator for image-sized matrices. Buffers of 1 MiB and more are aligned
// to 2 MiB and marked for transparent huge pages (as numpy does for its
// arrays), so first touch faults once per 2 MiB instead of once per 4 KiB;
// smaller ones go to OpenCV's standard allocator. Never destroyed: matrices
// may outlive every other static object.
const cv::MatAllocator* largeBufferAllocator();

// An empty matrix whose buffers will come from largeBufferAllocator().
inline cv::Mat largeBufferMat() {
  cv::Mat m;
  m.allocator = const_cast<cv::MatAllocator*>(largeBufferAllocator());
  return m;
}

}  // namespace vesk::detail
