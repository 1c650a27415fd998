#include "targets/detection.hpp"

#include <opencv2/imgproc.hpp>

#include "core/allocator.hpp"

namespace vesk::detail {

cv::Mat toGray(const cv::Mat& image) {
  cv::Mat gray = largeBufferMat();
  cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
  return gray;
}

cv::Mat charucoObjectPoints(const std::vector<cv::Point3f>& boardCorners, const std::vector<int>& ids) {
  cv::Mat points(static_cast<int>(ids.size()), 3, CV_32F);
  for (int k = 0; k < points.rows; ++k) {
    const cv::Point3f& p = boardCorners.at(static_cast<std::size_t>(ids[static_cast<std::size_t>(k)]));
    auto* row = points.ptr<float>(k);
    row[0] = p.x;
    row[1] = p.y;
    row[2] = p.z;
  }
  return points;
}

}  // namespace vesk::detail
