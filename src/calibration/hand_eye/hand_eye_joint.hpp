#pragma once
// The hand-eye transform beyond closed form: one maximum-likelihood solve over every corner, with
// each robot pose a measurement of its own (a small flange correction under a zero-mean prior),
// the noise levels of corners and robot found from the data by variance components.

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_check.hpp"
#include "core/failure.hpp"
#include "io/result_files.hpp"

namespace vesk::calibration {

// Noise levels, 1-sigma per axis: a corner's pixel error per image coordinate, and the robot's
// pose error as a motion of the flange (translation along, rotation about each flange axis).
// NaN where unknown; given to a solve, a finite level is held and a NaN one estimated.
struct NoiseEstimate {
  double pixel_px = std::numeric_limits<double>::quiet_NaN();
  double robot_translation_m = std::numeric_limits<double>::quiet_NaN();
  double robot_rotation_deg = std::numeric_limits<double>::quiet_NaN();
};

// Motions about one axis only leave one translation component to the value the user gave: a
// prior on X's translation along the axis, or on the fixed pose's, whose sigma is the stated
// tolerance (a value given as exact is held to a micrometre).
struct AxisPrior {
  bool on_hand_eye = true;  // X's translation; else the fixed pose's
  cv::Vec3d axis{0, 0, 1};  // unit, in that translation's frame
  double value_m = 0.0;
  double sigma_m = 0.0;
};

// One joint solve's input, in the terms of HandEyeCore: with fixedCamera the robot poses are
// tcp_T_robot and the transform robot_T_camera, the fixed pose tcp_T_target.
struct HandEyeJointProblem {
  bool fixed_camera = false;
  std::vector<cv::Mat> robots;         // per frame, as the closed form took them
  std::vector<cv::Mat> object_points;  // per frame, N x 3
  std::vector<cv::Mat> image_points;   // per frame, N x 1 two-channel
  std::vector<cv::Mat> camera_T_target;  // per frame, the closed form's: where the board starts
  cv::Mat intrinsic_matrix;
  cv::Mat distortion_coefficients;
  bool intrinsics_free = false;  // moved with the rest: the camera was calibrated from these images
  int fixed_intrinsics = 0;      // cv::CALIB_FIX_* bits of that calibration
  cv::Mat hand_eye;              // the start: the closed form's X
  NoiseEstimate given;
  bool poor_rotation_variety = false;
  std::optional<AxisPrior> axis_prior;  // four-axis data only
  // The board's scale a parameter of its own: its lengths times one factor (a print at the wrong scale).
  bool free_board_scale = false;
};

struct HandEyeJointSolve {
  bool ok = false;
  std::optional<Failure> failure;  // why not ok; the message says it in a clause
  std::string closed_form_method;
  cv::Mat closed_form;  // the closed form's transform, the solve's start
  TransformUncertainty closed_form_uncertainty;
  cv::Mat hand_eye;    // tcp_T_camera, or robot_T_camera
  cv::Mat fixed_pose;  // robot_T_target, or tcp_T_target
  cv::Mat intrinsic_matrix;
  cv::Mat distortion_coefficients;
  bool intrinsics_free = false;
  NoiseEstimate noise;
  std::vector<bool> noise_estimated = std::vector<bool>(3, false);  // pixel, robot translation, robot rotation
  TransformUncertainty uncertainty;            // what the result reports
  TransformUncertainty normal_uncertainty;     // from the inverse normal matrix
  TransformUncertainty jackknife_uncertainty;  // from the joint solves with frames left out
  // share of each axis's variance (rows: rotation x, y, z, translation x, y, z, as the covariance)
  // that comes from the corners, the robot poses and the intrinsics (columns)
  cv::Mat error_budget = cv::Mat(6, 3, CV_64F, cv::Scalar(std::numeric_limits<double>::quiet_NaN()));
  bool raised = false;      // the uncertainty was raised to what the data shows
  std::string weak_reason;  // why, when raised
  double rms_px = std::numeric_limits<double>::quiet_NaN();
  double moved_mm = std::numeric_limits<double>::quiet_NaN();   // from the closed form
  double moved_deg = std::numeric_limits<double>::quiet_NaN();
  int frames = 0;
  int corners = 0;
  int parameters = 0;
  int iterations = 0;
  int rounds = 0;  // of the variance components
  std::optional<AxisPrior> axis_prior;  // the four-axis form's prior, as held
  // With free_board_scale: the factor the board's lengths were fitted with, and its 1-sigma from the
  // normal matrix; NaN otherwise.
  bool board_scale_free = false;
  double board_scale = std::numeric_limits<double>::quiet_NaN();
  double board_scale_sigma = std::numeric_limits<double>::quiet_NaN();
};

HandEyeJointSolve refineHandEye(const HandEyeJointProblem& problem);

// The framed report section of a joint solve.
struct JointSolveText {
  const char* title;           // "HAND-EYE JOINT SOLVE"
  const char* transform_name;  // "tcp_T_camera"
  const char* axes;            // "tcp"
};
std::string formatJointSolve(const JointSolveText& text, const HandEyeJointSolve& joint);

// What a result file keeps of a joint solve.
io::HandEyeJointRecord jointRecord(const HandEyeJointSolve& joint);

}  // namespace vesk::calibration
