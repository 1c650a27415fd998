#include <gtest/gtest.h>

#include "calibration/rig/multi_camera.hpp"

using namespace vesk::calibration;

namespace {

// One view: marker corners listed in the given marker order; pixel = 100 * board xy + camera offset.
void addView(TargetDetections& d, int frame, const std::vector<int>& markers, float offset) {
  cv::Mat obj(4 * static_cast<int>(markers.size()), 3, CV_32F), img(obj.rows, 1, CV_32FC2);
  for (std::size_t m = 0; m < markers.size(); ++m) {
    for (int c = 0; c < 4; ++c) {
      const int r = 4 * static_cast<int>(m) + c;
      const float x = markers[m] * 0.05f + (c == 1 || c == 2 ? 0.04f : 0.f), y = (c >= 2 ? 0.04f : 0.f);
      obj.at<float>(r, 0) = x;
      obj.at<float>(r, 1) = y;
      obj.at<float>(r, 2) = 0.f;
      img.at<cv::Vec2f>(r) = cv::Vec2f(100 * x + offset, 100 * y + offset);
    }
  }
  d.successful_indices.push_back(frame);
  d.image_points.push_back(img);
  d.object_points.push_back(obj);
}

}  // namespace

TEST(PairPoints, GridBoardPointsArePairedByBoardPositionNotByOrder) {
  const MultiCameraCalibrator cal(vesk::ArucoTarget(cv::Size(5, 1), 0.04, 0.01, 0), 2, 0,
                                  MultiCameraCalibrator::defaultOptions(), 256);
  std::vector<TargetDetections> det(2);
  addView(det[0], 0, {0, 1, 2, 3}, 0.f);
  addView(det[1], 0, {3, 1, 0, 2}, 7.f);  // same markers, detected in another order
  addView(det[0], 1, {0, 1, 2, 3}, 0.f);
  addView(det[1], 1, {0, 1, 2, 4}, 7.f);  // one marker differs: 12 shared points
  addView(det[0], 2, {0, 1, 2}, 0.f);
  addView(det[1], 2, {0, 1, 2}, 7.f);  // identical layout: kept as stored
  const auto pp = cal.gatherPairPoints(det, 0, 1, {0, 1, 2});
  ASSERT_EQ(pp.object_points.size(), 3u);
  const std::vector<int> expectedRows{16, 12, 12};
  for (std::size_t v = 0; v < 3; ++v) {
    ASSERT_EQ(pp.object_points[v].rows, expectedRows[v]);
    for (int r = 0; r < pp.object_points[v].rows; ++r) {
      const cv::Vec2f a = pp.reference_image_points[v].at<cv::Vec2f>(r);
      const cv::Vec2f b = pp.camera_image_points[v].at<cv::Vec2f>(r);
      EXPECT_FLOAT_EQ(b[0] - a[0], 7.f) << v << " " << r;
      EXPECT_FLOAT_EQ(a[0], 100 * pp.object_points[v].at<float>(r, 0));
    }
  }
  EXPECT_THROW(cal.gatherPairPoints(det, 0, 1, {5}), std::runtime_error);
}

TEST(PairPoints, UnequalCountsDropTheFrame) {
  const MultiCameraCalibrator cal(vesk::ChessboardTarget{cv::Size(3, 3), 0.02}, 2, 0,
                                  MultiCameraCalibrator::defaultOptions(), 256);
  std::vector<TargetDetections> det(2);
  addView(det[0], 0, {0, 1}, 0.f);
  addView(det[1], 0, {0}, 0.f);
  EXPECT_TRUE(cal.gatherPairPoints(det, 0, 1, {0}).object_points.empty());
}
