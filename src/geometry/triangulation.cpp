#include "geometry/triangulation.hpp"

#include <cmath>
#include <limits>
#include <unordered_map>

#include <opencv2/calib3d.hpp>

#include "geometry/reprojection.hpp"
#include "targets/detection.hpp"

namespace vesk::geometry {

namespace {

std::unordered_map<int, int> rowOfId(const cv::Mat& ids) {
  std::unordered_map<int, int> rows;
  for (int k = 0; k < ids.rows; ++k) rows[ids.at<int>(k)] = k;  // a later duplicate wins
  return rows;
}

double rowDistance(const cv::Mat& points, int a, int b) {
  const double dx = points.at<double>(a, 0) - points.at<double>(b, 0);
  const double dy = points.at<double>(a, 1) - points.at<double>(b, 1);
  const double dz = points.at<double>(a, 2) - points.at<double>(b, 2);
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

}  // namespace

std::pair<cv::Mat, cv::Mat> detectCharucoCorners(const cv::Mat& image, const CharucoTarget& target) {
  const TargetDetection d = TargetDetector(target).detect(detail::toGray(image));
  if (!d.found) return {cv::Mat(), cv::Mat()};
  cv::Mat corners;
  d.image_points.reshape(1, d.image_points.rows).convertTo(corners, CV_64F);
  return {corners, cv::Mat(d.ids, true)};
}

CornerObservations gatherObservations(const std::vector<cv::Mat>& cornersPerCamera,
                                      const std::vector<cv::Mat>& idsPerCamera) {
  CornerObservations all;
  for (std::size_t c = 0; c < cornersPerCamera.size() && c < idsPerCamera.size(); ++c) {
    const cv::Mat& corners = cornersPerCamera[c];
    const cv::Mat& ids = idsPerCamera[c];
    if (corners.empty() || corners.rows < 1) continue;
    const int n = std::min(corners.rows, static_cast<int>(ids.total()));
    for (int k = 0; k < n; ++k) {
      all[ids.at<int>(k)].emplace_back(static_cast<int>(c),
                                       cv::Point2d(corners.at<double>(k, 0), corners.at<double>(k, 1)));
    }
  }
  CornerObservations shared;
  for (auto& [id, list] : all) {
    if (list.size() >= 2) shared.emplace(id, std::move(list));
  }
  return shared;
}

std::vector<cv::Mat> buildProjectionMatrices(const std::vector<cv::Mat>& intrinsicMatrices,
                                             const std::vector<cv::Mat>& referenceTCameraList) {
  std::vector<cv::Mat> projections;
  for (std::size_t i = 0; i < intrinsicMatrices.size(); ++i) {
    cv::Mat K;
    intrinsicMatrices[i].convertTo(K, CV_64F);
    cv::Mat T;
    referenceTCameraList.at(i).convertTo(T, CV_64F);
    const cv::Mat cameraTReference = T.inv(cv::DECOMP_LU);
    projections.push_back(K * cameraTReference.rowRange(0, 3));
  }
  return projections;
}

std::pair<cv::Mat, cv::Mat> triangulateAll(const CornerObservations& observations,
                                           const std::vector<cv::Mat>& projectionMatrices,
                                           const std::vector<cv::Mat>& intrinsicMatrices,
                                           const std::vector<cv::Mat>& distortionCoefficients) {
  const int n = static_cast<int>(observations.size());
  cv::Mat points(n, 3, CV_64F);
  cv::Mat ids(n, 1, CV_32S);
  int r = 0;
  for (const auto& [id, views] : observations) {
    cv::Mat A(2 * static_cast<int>(views.size()), 4, CV_64F);
    for (std::size_t k = 0; k < views.size(); ++k) {
      const auto cam = static_cast<std::size_t>(views[k].first);
      std::vector<cv::Point2d> in{views[k].second}, out;
      cv::undistortPoints(in, out, intrinsicMatrices.at(cam), distortionCoefficients.at(cam), cv::noArray(),
                          intrinsicMatrices.at(cam));
      const cv::Mat& P = projectionMatrices.at(cam);
      const int row = 2 * static_cast<int>(k);
      cv::Mat(out[0].x * P.row(2) - P.row(0)).copyTo(A.row(row));
      cv::Mat(out[0].y * P.row(2) - P.row(1)).copyTo(A.row(row + 1));
    }
    cv::Mat w, u, vt;
    cv::SVD::compute(A, w, u, vt);
    const cv::Mat X = vt.row(vt.rows - 1);
    const double x3 = X.at<double>(3);
    for (int c = 0; c < 3; ++c) {
      points.at<double>(r, c) =
          std::abs(x3) < 1e-12 ? std::numeric_limits<double>::quiet_NaN() : X.at<double>(c) / x3;
    }
    ids.at<int>(r) = id;
    ++r;
  }
  return {points, ids};
}

double coplanarityThickness(const cv::Mat& points) {
  if (points.rows < 3) return std::numeric_limits<double>::quiet_NaN();
  cv::Mat p;
  points.convertTo(p, CV_64F);
  cv::Mat mean;
  cv::reduce(p, mean, 0, cv::REDUCE_AVG, CV_64F);
  const cv::Mat centred = p - cv::repeat(mean, p.rows, 1);
  cv::Mat w;
  cv::SVD::compute(centred, w);
  return w.at<double>(2);
}

std::pair<std::vector<double>, std::vector<int>> perCameraReprojectionRms(
    const cv::Mat& points, const cv::Mat& ids, const CornerObservations& observations,
    const std::vector<cv::Mat>& intrinsicMatrices, const std::vector<cv::Mat>& distortionCoefficients,
    const std::vector<cv::Mat>& referenceTCameraList) {
  const std::unordered_map<int, int> rows = rowOfId(ids);
  const std::size_t cameras = intrinsicMatrices.size();
  std::vector<double> rms(cameras, std::numeric_limits<double>::quiet_NaN());
  std::vector<int> counts(cameras, 0);
  for (std::size_t c = 0; c < cameras; ++c) {
    cv::Mat T;
    referenceTCameraList.at(c).convertTo(T, CV_64F);
    const cv::Mat cameraTReference = T.inv(cv::DECOMP_LU);
    cv::Mat rvec;
    cv::Rodrigues(cameraTReference(cv::Rect(0, 0, 3, 3)), rvec);
    const cv::Mat tvec = cameraTReference(cv::Rect(3, 0, 1, 3)).clone();
    std::vector<cv::Point3f> object;
    std::vector<cv::Point2d> observed;
    for (const auto& [id, views] : observations) {
      const auto row = rows.find(id);
      if (row == rows.end()) continue;
      for (const auto& [cam, pixel] : views) {
        if (static_cast<std::size_t>(cam) != c) continue;
        object.emplace_back(static_cast<float>(points.at<double>(row->second, 0)),
                            static_cast<float>(points.at<double>(row->second, 1)),
                            static_cast<float>(points.at<double>(row->second, 2)));
        observed.push_back(pixel);
      }
    }
    if (object.empty()) continue;
    std::vector<cv::Point2f> projected;
    cv::projectPoints(object, rvec, tvec, intrinsicMatrices[c], distortionCoefficients.at(c), projected);
    rms[c] = std::sqrt(squaredResidualSum(observed, projected) / static_cast<double>(object.size()));
    counts[c] = static_cast<int>(object.size());
  }
  return {rms, counts};
}

std::vector<double> boardNeighborDistances(const cv::Mat& points, const cv::Mat& ids, int squaresX) {
  std::vector<double> distances;
  const int cols = squaresX - 1;
  if (ids.rows == 0 || cols < 1) return distances;
  const std::unordered_map<int, int> rows = rowOfId(ids);
  for (int k = 0; k < ids.rows; ++k) {
    const int id = ids.at<int>(k);
    const auto right = rows.find(id + 1);
    if (right != rows.end() && id % cols != cols - 1) distances.push_back(rowDistance(points, k, right->second));
    const auto below = rows.find(id + cols);
    if (below != rows.end()) distances.push_back(rowDistance(points, k, below->second));
  }
  return distances;
}

}  // namespace vesk::geometry
