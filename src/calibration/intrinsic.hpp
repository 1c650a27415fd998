#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "core/failure.hpp"
#include "core/threads.hpp"
#include "targets/targets.hpp"

namespace vesk::calibration {

struct IntrinsicOptions {
  cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.001};
  std::string chessboard_corner_detector = "Default";
  int chessboard_flags = 0;
  int sub_pixel_detection_window_size = 11;
  int sub_pixel_detection_zero_zone_size = -1;
  std::string calibrate_camera_method = "Default";
  int calibrate_camera_flags = 0;
  int index_of_fixed_3d_point = 0;
  std::optional<cv::Mat> intrinsic_matrix_guess;
  std::optional<cv::Mat> distortion_coefficients_guess;
  double per_view_error_threshold = 1.0;
};

struct TargetDetections {
  std::vector<int> successful_indices;
  std::vector<cv::Mat> image_points;      // N x 1 CV_32FC2
  std::vector<cv::Mat> object_points;     // N x 3 CV_32F
  std::vector<cv::Mat> point_ids;         // N x 1 CV_32S, ChArUco only
  std::vector<cv::Mat> annotated_images;  // one per successful view
};

struct IntrinsicResult {
  bool ok = false;
  std::optional<Failure> failure;  // why not ok
  cv::Mat intrinsic_matrix;
  cv::Mat distortion_coefficients;
  double reprojection_error = 0.0;
  std::vector<int> successful_indices;
  std::vector<cv::Mat> image_points;
  std::vector<int> low_view_error_indices;  // positions among the used views
  std::vector<double> per_view_errors;
  cv::Mat std_deviations_intrinsics;
  cv::Mat std_deviations_extrinsics;
};

class IntrinsicCalibrator {
 public:
  IntrinsicCalibrator(CalibrationTarget target, IntrinsicOptions options);

  TargetDetections findCorners(const std::vector<cv::Mat>& images) const;
  IntrinsicResult calibrate(const std::vector<cv::Mat>& images);
  IntrinsicResult solve(const std::vector<cv::Mat>& images);
  // calibrate() of a batch whose views were already detected: `all` is findCorners of a batch,
  // `imageIndices` the images of that batch that form this one, in order. Detection depends
  // only on the image and the options, so the result and the warnings are calibrate()'s.
  IntrinsicResult calibrateDetected(const TargetDetections& all, const std::vector<int>& imageIndices,
                                    cv::Size imageSize);
  double meanReprojectionError(const cv::Mat& cameraMatrix, const cv::Mat& distCoeffs) const;
  // The camera solve again on the stored detections without the views of `leftOutImages`, started
  // from (K, D); nothing when it fails. The calibrator is not changed.
  std::optional<std::pair<cv::Mat, cv::Mat>> solveWithout(const std::vector<int>& leftOutImages, cv::Size imageSize,
                                                          const cv::Mat& K, const cv::Mat& D) const;

  const CalibrationTarget& target() const { return target_; }
  // taken by each call from Python: one thread at a time
  const detail::InUse& inUse() const { return in_use_; }
  const IntrinsicOptions& options() const { return options_; }
  const TargetDetections& detections() const { return detections_; }
  const std::vector<cv::Mat>& cornerImages() const { return detections_.annotated_images; }
  const std::vector<cv::Mat>& rvecs() const { return rvecs_; }
  const std::vector<cv::Mat>& tvecs() const { return tvecs_; }

 private:
  IntrinsicResult solveAt(cv::Size imageSize);

  CalibrationTarget target_;
  IntrinsicOptions options_;
  TargetDetections detections_;
  std::vector<cv::Mat> rvecs_;
  std::vector<cv::Mat> tvecs_;
  detail::InUse in_use_;
};

// The RMS (px) of the views' own calibration, when intrinsics supplied for them fit them far worse:
// their RMS `suppliedRms` above 0.5 px and 5 times the own (intrinsics of another camera, of another
// resolution, or without the lens's distortion). Nothing when they fit, or with fewer than 3 views.
// The own calibration starts from nothing and stops after `iterations`: partial ChArUco views need
// several hundred to settle.
std::optional<double> suppliedIntrinsicsMisfit(const std::vector<cv::Mat>& objectPoints,
                                               const std::vector<cv::Mat>& imagePoints, cv::Size imageSize,
                                               double suppliedRms, int iterations = 100);

}  // namespace vesk::calibration
