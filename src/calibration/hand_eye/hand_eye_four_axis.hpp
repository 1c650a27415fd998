#pragma once
// Hand-eye data from a robot whose flange only ever turns about one direction (SCARA, gantry
// with a vertical rotation axis): the rotation of X and its translation across that axis follow
// from the motions, its translation along the axis does not (it trades one for one with the
// fixed pose's translation along the axis), so one of the two is given.

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_check.hpp"
#include "core/transforms.hpp"
#include "io/result_files.hpp"

namespace vesk::calibration {

// Above this rotation (deg) about any direction but the common axis, a series has two-axis
// variety. Robot noise of 0.02 deg per axis leaves about 0.05-0.1 deg on clean four-axis
// series; six-axis series tilt the flange by several degrees.
constexpr double kFourAxisOffAxisDeg = 0.5;

struct SingleAxisMotions {
  bool single = false;         // every motion about one axis, two of them by more than 1 deg
  cv::Vec3d axis{0, 0, 0};     // in X's parent frame (the flange; the base for a fixed camera), pointing up
  cv::Vec3d base_axis{0, 0, 0};  // the same axis in the robot base
  double off_axis_deg = 0.0;   // largest rotation of a motion about any other direction
  double about_axis_deg = 0.0;  // largest rotation about the axis
};

// The motions relative to the first pose, as the solve takes them (robot_T_tcp, or tcp_T_robot
// with fixedCamera). "Up" is the robot base's +z side of the axis.
SingleAxisMotions singleAxisMotions(const std::vector<detail::Pose>& robots, bool fixedCamera);

// The axis in the fixed pose's frame (the base for a camera on the flange, the tcp for a fixed one):
// the flange's carried there by every pose, the same in every frame.
cv::Vec3d fixedPoseAxis(const std::vector<detail::Pose>& robots, const cv::Vec3d& axis);

// The finding "four_axis_motions": what cannot be found, and which value to give.
HandEyeDataFinding fourAxisFinding(const SingleAxisMotions& single, bool fixedCamera);

// A 6x6 covariance of X (rotation first) with the value given along the axis added: it moves X along
// the axis one for one, so its tolerance is that component's sigma.
TransformUncertainty withAxisTolerance(const cv::Mat& covariance, const cv::Vec3d& axis, double tolerance);

// The one value that fixes the rest, along the axis pointing up: X's translation (the camera's
// offset above the flange; for a fixed camera its height in the base) or the fixed pose's (the
// board's height in the base; for a fixed camera its offset above the flange).
struct FourAxisConstraint {
  std::optional<double> axis_offset_m;
  std::optional<double> board_height_m;
  double tolerance_m = 1e-3;  // 1-sigma of the value given
  bool given() const { return axis_offset_m.has_value() || board_height_m.has_value(); }
};

// What a calibrate call reports of a four-axis solve.
struct FourAxisSolve {
  std::vector<double> axis;       // in X's parent frame (the tcp; the base for a fixed camera), pointing up
  std::vector<double> base_axis;  // in the robot base
  std::string constraint;         // the keyword given: "known_axis_offset_m" or "known_board_height_m"
  double value_m = 0.0;
  double tolerance_m = 0.0;
  double axis_offset_m = 0.0;   // X's translation along the axis
  double board_height_m = 0.0;  // the fixed pose's translation along the axis
  double off_axis_deg = 0.0;    // largest rotation about any other direction
  double about_axis_deg = 0.0;
  double rms_m = 0.0;           // of the translation equations
};

// What a result file keeps of it.
io::FourAxisRecord fourAxisRecord(const FourAxisSolve& f);

struct FourAxisSolution {
  detail::Pose hand_eye;
  detail::Pose fixed_pose;
  double rms_m = 0.0;  // of the translation equations
};

// X and the fixed pose from motions about `axis` (as singleAxisMotions gives it): X's rotation
// carries the camera's motion axis onto the flange's, its angle about the axis and both
// translations minimise the translation equations' residual (a scan over the angle, linear least
// squares at each). Nothing when the motions leave it undetermined.
std::optional<FourAxisSolution> solveFourAxis(const std::vector<detail::Pose>& robots,
                                              const std::vector<detail::Pose>& cams, const cv::Vec3d& axis,
                                              const FourAxisConstraint& constraint);

}  // namespace vesk::calibration
