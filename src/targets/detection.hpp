#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace vesk::detail {

// BGR (or BGRA) to grey into a large-page buffer; a single-channel image makes OpenCV throw.
cv::Mat toGray(const cv::Mat& image);

// N x 3 CV_32F board coordinates of detected ChArUco corner ids, in detection order.
// The detector only reports ids of its own board's corners.
cv::Mat charucoObjectPoints(const std::vector<cv::Point3f>& boardCorners, const std::vector<int>& ids);

}  // namespace vesk::detail
