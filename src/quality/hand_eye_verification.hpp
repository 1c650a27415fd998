#pragma once
// The re-check of a stored hand-eye calibration from a few new views: is the board where the stored
// camera, transform and fixed pose put it, within what their uncertainty and the noise allow?

#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "core/constants.hpp"
#include "calibration/hand_eye/hand_eye_joint.hpp"
#include "targets/targets.hpp"

namespace vesk::quality {

// A calibration as stored: with eyeToHand the camera is fixed (transform robot_T_camera, fixed pose
// tcp_T_target), else on the flange (tcp_T_camera, robot_T_target). Covariances are 6x6, rotation
// (rad) about the parent frame's axes first; empty where unknown. Noise NaN where unknown.
struct StoredHandEye {
  bool eye_to_hand = false;
  CalibrationTarget target;
  cv::Mat intrinsic_matrix;
  cv::Mat distortion_coefficients;
  cv::Size image_size;  // empty where unknown
  cv::Mat transform;
  cv::Mat fixed_pose;
  cv::Mat transform_covariance;
  cv::Mat fixed_pose_covariance;
  calibration::NoiseEstimate noise;
};

struct HandEyeVerification {
  std::string verdict;  // "consistent", "changed" or "inconclusive"
  // With "changed": "camera" (on its mount, or in the cell), "board" (in the cell, or on the flange),
  // "both", or "cannot tell" (the views do not separate the two); else empty.
  std::string moved;
  bool eye_to_hand = false;
  std::vector<int> corners;               // per view; 0 where the board was not found
  std::vector<double> rms_px;             // per view, detected against predicted; NaN where not found
  std::vector<double> expected_rms_px;    // per view, what the noise and the stored uncertainty allow
  // The change each part would have made alone to explain the views: of the stored transform (camera)
  // or of the fixed pose (board), translation in mm and rotation in deg.
  double camera_change_mm = kNaN, camera_change_deg = kNaN;
  double board_change_mm = kNaN, board_change_deg = kNaN;
  // chi-square over the corners, along the changes of camera and board
  double statistic = kNaN;
  double threshold = kNaN;
  int dof = 0;
  double false_alarm = 0.01;
  double pixel_noise_px = kNaN;
  std::string pixel_noise_source;
  double robot_translation_m = kNaN, robot_rotation_deg = kNaN;
  std::string robot_noise_source;
  // RMS over the views' corners that each source adds to the prediction
  double stored_uncertainty_px = kNaN, robot_noise_px = kNaN;
  bool stored_uncertainty_known = false;
  std::string message;  // one sentence: what to do
};

// At most this many views per re-check.
constexpr std::size_t kMaxVerificationViews = 5;

// The re-check of `stored` from images taken at the robot poses robot_T_tcp (1 to 5 of them).
// Bad input (counts, shapes, non-rigid poses, images of another size than the stored ones) throws
// std::invalid_argument; views without the board make the verdict "inconclusive".
HandEyeVerification verifyHandEye(const StoredHandEye& stored, const std::vector<cv::Mat>& robotTTcpList,
                                  const std::vector<cv::Mat>& images);

// The framed report section of a re-check.
std::string formatHandEyeVerification(const HandEyeVerification& v);

// The p-quantile of the chi-square distribution with `dof` degrees of freedom.
double chiSquareQuantile(int dof, double p);

}  // namespace vesk::quality
