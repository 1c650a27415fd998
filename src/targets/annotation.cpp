#include "targets/annotation.hpp"

#include <opencv2/imgproc.hpp>

namespace vesk::detail {

cv::Mat bgraToBgr(const cv::Mat& image) {
  cv::Mat bgr = largeBufferMat();
  cv::cvtColor(image, bgr, cv::COLOR_BGRA2BGR);
  return bgr;
}

cv::Mat withAlphaOf(const cv::Mat& bgr, const cv::Mat& bgra) {
  cv::Mat out = largeBufferMat();
  out.create(bgra.size(), bgra.type());
  const cv::Mat sources[] = {bgr, bgra};
  // channels 0-2 from the drawn copy, channel 3 (index 6 overall) from the input
  const int pairs[] = {0, 0, 1, 1, 2, 2, 6, 3};
  cv::mixChannels(sources, 2, &out, 1, pairs, 4);
  return out;
}

}  // namespace vesk::detail
