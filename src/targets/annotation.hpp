#pragma once

#include <utility>

#include <opencv2/core.hpp>

#include "core/allocator.hpp"

namespace vesk::detail {

cv::Mat bgraToBgr(const cv::Mat& image);
cv::Mat withAlphaOf(const cv::Mat& bgr, const cv::Mat& bgra);

// Clones `image` and draws on the clone with `draw(cv::Mat&)`. OpenCV's ArUco
// drawing accepts only one or three channels, so a BGRA image is drawn on as
// BGR and gets its own alpha channel back: the copy keeps the input's type.
template <typename Draw>
cv::Mat annotatedCopy(const cv::Mat& image, Draw&& draw) {
  if (image.channels() == 4) {
    cv::Mat bgr = bgraToBgr(image);
    std::forward<Draw>(draw)(bgr);
    return withAlphaOf(bgr, image);
  }
  cv::Mat copy = largeBufferMat();
  image.copyTo(copy);
  std::forward<Draw>(draw)(copy);
  return copy;
}

}  // namespace vesk::detail
