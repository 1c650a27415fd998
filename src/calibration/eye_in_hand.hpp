#pragma once

#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "calibration/hand_eye_check.hpp"
#include "calibration/intrinsic.hpp"
#include "targets/targets.hpp"

namespace vesk::calibration {

// Name -> cv::HandEyeCalibrationMethod, built once; keys are case-sensitive.
const std::map<std::string, cv::HandEyeCalibrationMethod>& handEyeMethodByNameMap();

struct TargetConsistencyStats {
  double mean_translation_m = 0.0;
  double max_translation_m = 0.0;
  double mean_rotation_deg = 0.0;
  double max_rotation_deg = 0.0;
  std::vector<double> translation_deviations_m;
  std::vector<double> rotation_deviations_deg;
  std::vector<double> distances_m;
  std::vector<double> board_us;
  std::vector<double> board_vs;
};

struct HandEyeResult {
  bool ok = false;
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
};

class EyeInHandCalibrator {
 public:
  struct AlignedTargetPoses {
    std::vector<cv::Mat> camera_T_target_list;
    std::vector<cv::Mat> valid_image_list;
    std::vector<cv::Mat> valid_robot_T_tcp_list;
    std::vector<int> valid_indices;  // positions in the lists given
  };
  struct TargetPoses {
    std::vector<cv::Mat> camera_T_target_list;
    std::vector<int> valid_indices;
  };

  EyeInHandCalibrator(CalibrationTarget target, IntrinsicOptions options);

  HandEyeResult calibrate(const std::vector<cv::Mat>& robotTTcpList, const std::vector<cv::Mat>& imageList,
                          const std::string& method, const std::vector<cv::Mat>& cameraTTargetList,
                          const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                          const std::filesystem::path& outputPath);

  AlignedTargetPoses computeCameraTTargetList(const std::vector<cv::Mat>& imageList,
                                              const std::vector<cv::Mat>& robotTTcpList,
                                              const cv::Mat& intrinsicMatrix,
                                              const cv::Mat& distortionCoefficients) const;
  TargetPoses computeTargetPoses(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& imagePoints,
                                 const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients) const;
  cv::Mat boardObjectPoints() const;
  const std::vector<cv::Mat>& cornerImages() const { return intrinsic_.cornerImages(); }

  void computeConsistency(HandEyeResult& result) const;
  std::string formatResults() const;
  void printResults() const;

  const HandEyeResult& lastResult() const { return last_result_; }
  const CalibrationTarget& target() const { return target_; }

 private:
  // The frames one solve takes, aligned entry by entry; indices are the positions of their robot
  // poses in the caller's list.
  struct Frames {
    std::vector<cv::Mat> robots, images, cams;
    std::vector<int> indices;
    // with the calibrator's own intrinsics: each frame's corners and board points, and the image size
    std::vector<cv::Mat> points, objects;
    cv::Size imageSize;
  };
  // The three input paths: target poses supplied, intrinsics supplied (poses by detection and
  // solvePnP), or neither (intrinsics calibrated from the images first). Nothing when too few
  // frames remain; the result then carries the frames that were found.
  std::optional<Frames> resolveFrames(HandEyeResult& result, const std::vector<cv::Mat>& robotTTcpList,
                                      const std::vector<cv::Mat>& imageList,
                                      const std::vector<cv::Mat>& cameraTTargetList);
  std::optional<Frames> framesFromGivenIntrinsics(HandEyeResult& result, const std::vector<cv::Mat>& robotTTcpList,
                                                  const std::vector<cv::Mat>& imageList) const;
  std::optional<Frames> framesFromIntrinsicCalibration(HandEyeResult& result,
                                                       const std::vector<cv::Mat>& robotTTcpList,
                                                       const std::vector<cv::Mat>& imageList);
  TargetPoses posesOfDetectedViews(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& imagePoints,
                                   const std::vector<cv::Mat>& objectPoints, const cv::Mat& intrinsicMatrix,
                                   const cv::Mat& distortionCoefficients) const;
  TargetPoses redetectedTargetPoses(const std::vector<cv::Mat>& images, const cv::Mat& intrinsicMatrix,
                                    const cv::Mat& distortionCoefficients, const char* kindName) const;
  TransformUncertainty uncertaintyOf(const Frames& frames, cv::HandEyeCalibrationMethod solver,
                                     const HandEyeResult& result) const;
  TargetConsistencyStats targetPoseScatter(const HandEyeResult& result) const;
  void addBoardCentres(TargetConsistencyStats& stats, const HandEyeResult& result) const;

  CalibrationTarget target_;
  IntrinsicCalibrator intrinsic_;
  HandEyeResult last_result_;
};

}  // namespace vesk::calibration
