#include "geometry/reprojection.hpp"

#include <cmath>
#include <stdexcept>

#include <opencv2/calib3d.hpp>

namespace vesk::geometry {

namespace {

cv::Mat asPoints64(cv::InputArray points) {
  const cv::Mat m = points.getMat().isContinuous() ? points.getMat() : points.getMat().clone();
  if (m.empty()) return cv::Mat(0, 1, CV_64FC2);
  cv::Mat d;
  m.reshape(m.channels() == 2 ? 2 : 1, static_cast<int>(m.total() * m.channels() / 2)).convertTo(d, CV_64F);
  return d.reshape(2);
}

}  // namespace

double squaredResidualSum(cv::InputArray observed, cv::InputArray projected) {
  const cv::Mat p = asPoints64(observed), q = asPoints64(projected);
  if (p.total() != q.total()) throw std::invalid_argument("reprojection: point counts differ");
  double sum = 0.0;
  for (int k = 0; k < p.rows; ++k) {
    const cv::Vec2d a = p.at<cv::Vec2d>(k), b = q.at<cv::Vec2d>(k);
    const double dx = a[0] - b[0];
    const double dy = a[1] - b[1];
    sum += dx * dx + dy * dy;
  }
  return sum;
}

double reprojectionError(cv::InputArray observed, cv::InputArray projected) {
  const auto n = static_cast<double>(observed.total() * observed.getMat().channels() / 2);
  return std::sqrt(squaredResidualSum(observed, projected)) / n;
}

double viewReprojectionError(const cv::Mat& objectPoints, const cv::Mat& imagePoints, const cv::Mat& rvec,
                             const cv::Mat& tvec, const cv::Mat& cameraMatrix, const cv::Mat& distCoeffs) {
  cv::Mat projected;
  cv::projectPoints(objectPoints, rvec, tvec, cameraMatrix, distCoeffs, projected);
  return reprojectionError(imagePoints, projected);
}

}  // namespace vesk::geometry
