#pragma once
// Capture planning for hand-eye calibration: which flange poses to record, from one start view of
// the board and a rough hand-eye transform, and how good the result will be.

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_check.hpp"
#include "targets/targets.hpp"

namespace vesk::quality {

// The cell as the planner sees it: the camera, the board, one start flange pose with the board's
// pose seen from it, and a rough hand-eye transform (tcp_T_camera, or robot_T_camera for a fixed
// camera with eye_to_hand).
struct PlanSetup {
  CalibrationTarget target;
  cv::Mat intrinsic_matrix;
  cv::Mat distortion_coefficients;
  cv::Size image_size;
  cv::Mat robot_T_tcp;
  cv::Mat camera_T_target;
  cv::Mat hand_eye_guess;
  bool eye_to_hand = false;
  // A four-axis robot (SCARA): the flange turns about this robot-base direction only and moves in
  // x, y and z; the solve takes the hand-eye translation along the axis as given.
  std::optional<cv::Vec3d> four_axis;
};

struct PlanOptions {
  int n_poses = 15;
  double max_rotation_deg = 45.0;   // flange rotation from the start pose
  double max_translation_m = 0.3;   // flange translation from the start pose
  double margin_px = 20.0;          // the board's distance from the image border, at least
  double guess_error_m = 0.01;      // the hand-eye guess may be this far off...
  double guess_error_deg = 2.0;     // ...and turned this much, with the board still in view
  // camera-to-board distance against the start view's: each view as near as the board fits
  double min_distance_scale = 0.5;
  double max_distance_scale = 1.5;
};

// Flange poses (robot_T_tcp), ordered for a short robot path from the start pose. Throws
// std::invalid_argument for bad input and for limits too tight for a useful plan, naming the limit.
// For a four-axis robot the flange turns about the axis by up to max_rotation_deg, through its own
// position, and moves so that the board lands across the whole image.
std::vector<cv::Mat> planHandEyePoses(const PlanSetup& setup, const PlanOptions& options);

// Six poses that rotate the flange by +-angle about its own x, y and z axes: they keep the board
// in view whatever the mount, for a coarse first calibration that then feeds planHandEyePoses.
// With fourAxis (a robot-base direction), by +-1, 2 and 3 times angle about that axis instead.
std::vector<cv::Mat> planFirstHandEyePoses(const cv::Mat& robotTTcp, double angleDeg,
                                           const std::optional<cv::Vec3d>& fourAxis = std::nullopt);

struct NoiseModel {
  double robot_m = 2e-4;     // 1-sigma per axis of the flange position
  double robot_deg = 0.02;   // 1-sigma per axis of the flange rotation
  double corner_px = 0.2;    // 1-sigma per axis of a detected corner
  double known_tolerance_m = 1e-3;  // four-axis: 1-sigma of the value given along the axis
};

// The expected error of the hand-eye transform solved from `plan`: the board seen at every planned
// pose through the guess, corners and robot poses disturbed by `noise`, solved `trials` times with
// `method`, the camera calibrated from the planned views in each trial when `calibrateIntrinsics`.
// The covariance is taken about the true value (bias included). For a four-axis robot each trial
// is the four-axis solve with the true offset along the axis given, and known_tolerance_m is that
// component's sigma.
TransformUncertainty predictHandEyeUncertainty(const PlanSetup& setup, const std::vector<cv::Mat>& plan,
                                                            const NoiseModel& noise, const std::string& method,
                                                            int trials, bool calibrateIntrinsics);

struct PlanSize {
  bool reached = false;  // some plan size met the target
  int n_poses = 0;       // the smallest size that met it, else the largest tried
  std::vector<cv::Mat> plan;
  TransformUncertainty predicted;
};

// The smallest plan (6 to 60 poses) whose predicted 1-sigma is within the target on every axis.
PlanSize posesNeededForSigma(const PlanSetup& setup, PlanOptions options, const NoiseModel& noise,
                             double translationMm, double rotationDeg, const std::string& method, int trials,
                             bool calibrateIntrinsics);

}  // namespace vesk::quality
