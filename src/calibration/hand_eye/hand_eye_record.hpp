#pragma once
// What a hand-eye calibrator stores beside its transforms for a later re-check.

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_joint.hpp"
#include "core/transforms.hpp"
#include "io/result_files.hpp"
#include "targets/targets.hpp"

namespace vesk::calibration {

// The board's fixed pose as each frame implies it, robots[i] * X * cams[i], with the robot poses as
// the solve takes them: robot_T_tcp with the camera on the flange (robot_T_target), tcp_T_robot with
// the camera fixed (tcp_T_target).
std::vector<detail::Pose> fixedPosePerFrame(const std::vector<detail::Pose>& robots, const detail::Pose& X,
                                            const std::vector<detail::Pose>& cams);

// 6x6 covariance of the mean of those poses (rotation in rad about the parent frame's axes, then
// translation in m): their scatter about `mean` over the number of frames. Empty with fewer than
// 3 frames or without a mean.
cv::Mat fixedPoseCovariance(const std::vector<detail::Pose>& perFrame, const cv::Mat& mean);

// The re-check's fields of a result: intrinsics (when known), the first image's size, the board,
// the fixed pose's covariance, the noise levels (when any is known), this module's version and now.
io::RecheckFields recheckFields(const CalibrationTarget& target, const cv::Mat& intrinsicMatrix,
                                const cv::Mat& distortionCoefficients, const std::vector<cv::Mat>& images,
                                const cv::Mat& fixedPoseCovariance, const NoiseEstimate& noise);

}  // namespace vesk::calibration
