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

struct EyeToHandResult {
  bool ok = false;
  std::optional<Failure> failure;  // why not ok: a stable code and the log line's sentence
  cv::Mat robot_T_camera;  // the fixed camera in the robot base
  cv::Mat intrinsic_matrix;
  cv::Mat distortion_coefficients;
  double reprojection_error = std::numeric_limits<double>::quiet_NaN();
  std::vector<cv::Mat> valid_robot_T_tcp_list;  // as given, of the frames that entered the solve
  std::vector<cv::Mat> valid_image_list;
  std::vector<cv::Mat> camera_T_target_list;
  bool has_consistency = false;
  TargetConsistencyStats consistency;  // of the board's pose on the flange, per frame
  cv::Mat tcp_T_target;                // the mean of those poses
  cv::Mat fixed_pose_covariance;       // tcp_T_target's, as the result file keeps it for a re-check
  TransformUncertainty uncertainty;    // of robot_T_camera, rotation about the robot base's axes
  std::vector<HandEyeDataFinding> data_findings;
  // The board's scale from the robot's motion (the data check's); NaN where not computed.
  BoardScale board_scale;
  // With refine: the joint solve (its transform is the result's, its closed form kept) and the
  // noise levels it used.
  std::optional<HandEyeJointSolve> joint;
  NoiseEstimate noise;
  // Motions about one axis only, solved with the value given along it.
  std::optional<FourAxisSolve> four_axis;
};

// A camera fixed in the cell and the board on the flange: robot_T_camera and tcp_T_target. The
// solve is the eye-in-hand one on the inverted robot poses.
class EyeToHandCalibrator {
 public:
  using AlignedTargetPoses = HandEyeCore::AlignedTargetPoses;

  EyeToHandCalibrator(CalibrationTarget target, IntrinsicOptions options);

  EyeToHandResult calibrate(const std::vector<cv::Mat>& robotTTcpList, const std::vector<cv::Mat>& imageList,
                            const std::string& method, const std::vector<cv::Mat>& cameraTTargetList,
                            const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                            const std::filesystem::path& outputPath, bool refine = false,
                            const std::optional<NoiseEstimate>& noise = std::nullopt,
                            std::optional<double> knownAxisOffsetM = std::nullopt,
                            std::optional<double> knownBoardHeightM = std::nullopt, double knownToleranceM = 1e-3,
                            bool freeBoardScale = false);

  // camera_T_target of every image where the board is found (any target kind), with its robot pose.
  AlignedTargetPoses computeCameraTTargetList(const std::vector<cv::Mat>& imageList,
                                              const std::vector<cv::Mat>& robotTTcpList,
                                              const cv::Mat& intrinsicMatrix,
                                              const cv::Mat& distortionCoefficients) const {
    return core_.computeCameraTTargetList(imageList, robotTTcpList, intrinsicMatrix, distortionCoefficients);
  }
  const std::vector<cv::Mat>& cornerImages() const { return core_.cornerImages(); }

  std::string formatResults() const;
  void printResults() const;

  // the last result that was ok; an empty one before any
  EyeToHandResult lastResult() const;
  const CalibrationTarget& target() const { return core_.target(); }
  // taken by each call from Python: one thread at a time
  const detail::InUse& inUse() const { return in_use_; }

 private:
  HandEyeCore core_;
  detail::InUse in_use_;
};

}  // namespace vesk::calibration
