#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace vesk::quality {

struct RotationVarietyStats {
  int num_motions = 0;
  std::array<double, 3> singular_values{};  // largest first
  double axis_span_ratio = 0.0;             // smallest / largest singular value
  double angle_mean_deg = 0.0;
  double angle_max_deg = 0.0;
};

// Spread of the rotation axes of consecutive inter-frame motions larger than
// min_rotation_deg; empty when fewer than 3 such motions exist.
std::optional<RotationVarietyStats> analyzeRotationVariety(const std::vector<cv::Mat>& cameraTTargetList,
                                                           double minRotationDeg);
// The same for a camera fixed in the cell: the board's motions in the camera's frame, those of
// target_T_camera, which are the flange's motions in the robot base.
std::optional<RotationVarietyStats> analyzeFixedCameraRotationVariety(const std::vector<cv::Mat>& cameraTTargetList,
                                                                      double minRotationDeg);
std::string formatRotationVariety(const std::optional<RotationVarietyStats>& stats);

}  // namespace vesk::quality
