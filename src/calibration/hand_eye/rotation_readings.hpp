#pragma once
// Other readings of the robot's rotation blocks, for naming the convention mistakes that give them:
// angles in the wrong unit, another Euler order, a rotation vector read as Euler angles (or the
// reverse), and transposed blocks.

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "core/transforms.hpp"

namespace vesk::calibration {

// Intrinsic Euler angles about axes a, b, c (0 = x): R = R_a(1st) R_b(2nd) R_c(3rd).
struct EulerOrder {
  int a, b, c;
  std::string name() const;  // "zyx"
};
const std::vector<EulerOrder>& eulerOrders();  // the 12 sequences
cv::Matx33d fromEuler(const EulerOrder& o, const cv::Vec3d& angles);
// The angles with the middle one in [-pi/2, pi/2] (Tait-Bryan) or [0, pi] (proper), outer ones in (-pi, pi].
cv::Vec3d toEuler(const EulerOrder& o, const cv::Matx33d& R);

// One reading of robot_T_tcp's rotation blocks: the rotations it gives, its finding code and what
// the user did, in words that finish "the rotations look like ...".
struct RotationReading {
  std::string code;  // robot_rotation_in_degrees or robot_rotation_convention
  std::string what;
  std::vector<cv::Matx33d> rotations;
};

// The readings that invert a mistake exactly: transposed blocks, radians read as degrees, another
// Euler order or intrinsic read as extrinsic, a rotation vector read as Euler angles and Euler angles
// read as a rotation vector. `cams`: each frame's camera_R_target, whose motions pick, per frame,
// between two sets of angles that give the same block.
std::vector<RotationReading> exactReadings(const std::vector<cv::Matx33d>& given, const std::vector<cv::Matx33d>& cams);

// Degrees read as radians wrap each angle, so they are found from the board's views instead: the
// translations alone fix the flange's orientation up to the camera's mount, and each Euler order
// whose wrapped degrees reproduce the blocks given is one reading. robotTTcp as the caller gave it;
// targetTFrame_i the flange's frame of reference in the board's (eye-in-hand: target_T_camera;
// eye-to-hand: camera_T_target). Nothing when no order reproduces them.
std::optional<RotationReading> degreesReadAsRadians(const std::vector<detail::Pose>& robotTTcp,
                                                    const std::vector<detail::Pose>& targetTFrame);

}  // namespace vesk::calibration
