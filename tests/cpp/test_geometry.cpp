#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include "geometry/triangulation.hpp"

using namespace vesk::geometry;

namespace {

cv::Mat K() { return cv::Mat(cv::Matx33d(800, 0, 320, 0, 810, 240, 0, 0, 1)); }

cv::Mat referenceTCamera(double tx, double yawDeg) {
  const double a = yawDeg * CV_PI / 180.0;
  const double c = std::cos(a), s = std::sin(a);
  return cv::Mat(cv::Matx44d(c, 0, s, tx, 0, 1, 0, 0, -s, 0, c, 0, 0, 0, 0, 1));
}

// Exact pixels of reference-frame points in two cameras, as detections with ids.
struct TwoViews {
  std::vector<cv::Mat> Ks{K(), K()};
  std::vector<cv::Mat> dists{cv::Mat::zeros(1, 5, CV_64F), cv::Mat::zeros(1, 5, CV_64F)};
  std::vector<cv::Mat> poses{cv::Mat::eye(4, 4, CV_64F), referenceTCamera(0.3, -15.0)};
  std::vector<cv::Point3d> points;
  std::vector<cv::Mat> corners, ids;

  explicit TwoViews(const std::vector<cv::Point3d>& pts) : points(pts) {
    for (std::size_t c = 0; c < 2; ++c) {
      const cv::Mat cameraTReference = poses[c].inv();
      cv::Mat rvec;
      cv::Rodrigues(cameraTReference(cv::Rect(0, 0, 3, 3)), rvec);
      std::vector<cv::Point2d> px;
      cv::projectPoints(points, rvec, cameraTReference(cv::Rect(3, 0, 1, 3)).clone(), Ks[c], dists[c], px);
      cv::Mat m(static_cast<int>(px.size()), 2, CV_64F);
      cv::Mat id(static_cast<int>(px.size()), 1, CV_32S);
      for (int k = 0; k < m.rows; ++k) {
        m.at<double>(k, 0) = px[static_cast<std::size_t>(k)].x;
        m.at<double>(k, 1) = px[static_cast<std::size_t>(k)].y;
        id.at<int>(k) = 10 + k;
      }
      corners.push_back(m);
      ids.push_back(id);
    }
  }
};

std::vector<cv::Point3d> planarGrid(int cols, int rows, double square) {
  std::vector<cv::Point3d> pts;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) pts.emplace_back(c * square - 0.1, r * square - 0.05, 0.8 + 0.01 * c);
  return pts;
}

}  // namespace

TEST(Triangulation, RecoversExactPointsAndZeroReprojection) {
  TwoViews v(planarGrid(4, 3, 0.05));
  const CornerObservations obs = gatherObservations(v.corners, v.ids);
  ASSERT_EQ(obs.size(), 12u);
  const auto [points, ids] = triangulateAll(obs, buildProjectionMatrices(v.Ks, v.poses), v.Ks, v.dists);
  for (int r = 0; r < points.rows; ++r) {
    EXPECT_EQ(ids.at<int>(r), 10 + r);
    const cv::Point3d& p = v.points[static_cast<std::size_t>(r)];
    EXPECT_NEAR(points.at<double>(r, 0), p.x, 1e-9);
    EXPECT_NEAR(points.at<double>(r, 1), p.y, 1e-9);
    EXPECT_NEAR(points.at<double>(r, 2), p.z, 1e-9);
  }
  const auto [rms, counts] = perCameraReprojectionRms(points, ids, obs, v.Ks, v.dists, v.poses);
  EXPECT_LT(rms[0], 1e-4);
  EXPECT_LT(rms[1], 1e-4);
  EXPECT_EQ(counts[0], 12);
}

TEST(Triangulation, ObservationsNeedTwoCamerasAndUnseenCamerasHaveNoRms) {
  TwoViews v(planarGrid(4, 1, 0.05));
  v.ids[1].at<int>(0) = 99;  // seen by camera 1 only
  const CornerObservations obs = gatherObservations({v.corners[0], v.corners[1], cv::Mat()},
                                                    {v.ids[0], v.ids[1], cv::Mat()});
  EXPECT_EQ(obs.size(), 3u);
  EXPECT_EQ(obs.count(10), 0u);
  std::vector<cv::Mat> Ks{K(), K(), K()}, dists(3, cv::Mat::zeros(1, 5, CV_64F));
  std::vector<cv::Mat> poses{v.poses[0], v.poses[1], referenceTCamera(-0.2, 10)};
  const auto [points, ids] = triangulateAll(obs, buildProjectionMatrices(Ks, poses), Ks, dists);
  const auto [rms, counts] = perCameraReprojectionRms(points, ids, obs, Ks, dists, poses);
  EXPECT_TRUE(std::isnan(rms[2]));
  EXPECT_EQ(counts[2], 0);
  EXPECT_EQ(counts[1], 3);
}

TEST(Triangulation, ParallelRaysGiveANanRow) {
  // Both cameras look straight ahead and see the point at the principal point: rays never meet.
  std::vector<cv::Mat> Ks{K(), K()}, dists(2, cv::Mat::zeros(1, 5, CV_64F));
  std::vector<cv::Mat> poses{cv::Mat::eye(4, 4, CV_64F), referenceTCamera(0.3, 0.0)};
  CornerObservations obs;
  obs[4] = {{0, cv::Point2d(320, 240)}, {1, cv::Point2d(320, 240)}};
  const auto [points, ids] = triangulateAll(obs, buildProjectionMatrices(Ks, poses), Ks, dists);
  EXPECT_TRUE(std::isnan(points.at<double>(0, 0)));
  EXPECT_EQ(ids.at<int>(0), 4);
}

TEST(BoardGeometry, CoplanarityAndNeighbours) {
  EXPECT_TRUE(std::isnan(coplanarityThickness(cv::Mat::zeros(2, 3, CV_64F))));
  // 5 x 7 squares: 4 x 6 corners, row-major ids, all triangulated on a plane.
  cv::Mat points(24, 3, CV_64F), ids(24, 1, CV_32S);
  for (int id = 0; id < 24; ++id) {
    points.at<double>(id, 0) = 0.04 * (id % 4);
    points.at<double>(id, 1) = 0.04 * (id / 4);
    points.at<double>(id, 2) = 0.3 * points.at<double>(id, 0) + 1.0;
    ids.at<int>(id) = id;
  }
  EXPECT_NEAR(coplanarityThickness(points), 0.0, 1e-12);
  const std::vector<double> d = boardNeighborDistances(points, ids, 5);
  ASSERT_EQ(d.size(), 38u);
  int square = 0;
  for (double v : d) square += std::abs(v - 0.04) < 1e-12;
  EXPECT_EQ(square, 20);  // the vertical neighbours; the horizontal ones are stretched by the tilt
  points.at<double>(5, 2) += 0.01;
  EXPECT_GT(coplanarityThickness(points), 1e-3);
  EXPECT_TRUE(boardNeighborDistances(cv::Mat(0, 3, CV_64F), cv::Mat(0, 1, CV_32S), 5).empty());
}
