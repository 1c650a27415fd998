#pragma once

#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "core/threads.hpp"

#include "calibration/hand_eye/hand_eye_core.hpp"

namespace vesk::calibration {

struct HandEyeResult {
  bool ok = false;
  std::optional<Failure> failure;  // why not ok: a stable code and the log line's sentence
  cv::Mat tcp_T_camera;
  cv::Mat intrinsic_matrix;
  cv::Mat distortion_coefficients;
  double reprojection_error = std::numeric_limits<double>::quiet_NaN();
  std::vector<cv::Mat> valid_robot_T_tcp_list;
  std::vector<cv::Mat> valid_image_list;
  std::vector<cv::Mat> camera_T_target_list;
  bool has_consistency = false;
  TargetConsistencyStats consistency;
  // Beyond the solve: the 1-sigma of tcp_T_camera from the frames' own scatter, and what the data
  // check found (a result with any finding but outlier frames is not ok).
  TransformUncertainty uncertainty;
  std::vector<HandEyeDataFinding> data_findings;
  // The board's scale from the robot's motion (the data check's); NaN where not computed.
  BoardScale board_scale;
  // With refine: the joint solve (its transform is the result's, its closed form kept) and the
  // noise levels it used.
  std::optional<HandEyeJointSolve> joint;
  NoiseEstimate noise;
  // Motions about one axis only, solved with the value given along it.
  std::optional<FourAxisSolve> four_axis;
  cv::Mat robot_T_target;  // the board's pose in the robot base the result implies
  cv::Mat fixed_pose_covariance;  // robot_T_target's, as the result file keeps it for a re-check
};

// A camera on the flange and a board standing still in the cell: tcp_T_camera.
class EyeInHandCalibrator {
 public:
  using AlignedTargetPoses = HandEyeCore::AlignedTargetPoses;
  using TargetPoses = HandEyeCore::TargetPoses;

  EyeInHandCalibrator(CalibrationTarget target, IntrinsicOptions options);

  HandEyeResult calibrate(const std::vector<cv::Mat>& robotTTcpList, const std::vector<cv::Mat>& imageList,
                          const std::string& method, const std::vector<cv::Mat>& cameraTTargetList,
                          const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                          const std::filesystem::path& outputPath, bool refine = false,
                          const std::optional<NoiseEstimate>& noise = std::nullopt,
                          std::optional<double> knownAxisOffsetM = std::nullopt,
                          std::optional<double> knownBoardHeightM = std::nullopt, double knownToleranceM = 1e-3,
                            bool freeBoardScale = false);

  AlignedTargetPoses computeCameraTTargetList(const std::vector<cv::Mat>& imageList,
                                              const std::vector<cv::Mat>& robotTTcpList,
                                              const cv::Mat& intrinsicMatrix,
                                              const cv::Mat& distortionCoefficients) const {
    return core_.computeCameraTTargetList(imageList, robotTTcpList, intrinsicMatrix, distortionCoefficients);
  }
  TargetPoses computeTargetPoses(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& imagePoints,
                                 const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients) const {
    return core_.computeTargetPoses(images, imagePoints, intrinsicMatrix, distortionCoefficients);
  }
  cv::Mat boardObjectPoints() const { return core_.boardObjectPoints(); }
  const std::vector<cv::Mat>& cornerImages() const { return core_.cornerImages(); }

  void computeConsistency(HandEyeResult& result) const;
  std::string formatResults() const;
  void printResults() const;

  // the last result that was ok; an empty one before any
  HandEyeResult lastResult() const;
  const CalibrationTarget& target() const { return core_.target(); }
  // taken by each call from Python: one thread at a time
  const detail::InUse& inUse() const { return in_use_; }

 private:
  HandEyeCore core_;
  detail::InUse in_use_;
};

}  // namespace vesk::calibration
