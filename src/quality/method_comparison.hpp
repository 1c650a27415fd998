#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "targets/targets.hpp"

namespace vesk::quality {

struct HandEyeMethodResult {
  std::string method_name;
  cv::Mat tcp_T_camera;           // eye-in-hand runs; empty for a fixed camera
  std::vector<double> pose_deg;  // x, y, z (m), rx, ry, rz (deg) of the transform solved
  cv::Mat robot_T_camera;        // eye-to-hand runs; empty for a camera on the flange
};

using HandEyeMethodResults = std::map<std::string, std::optional<HandEyeMethodResult>>;

// One complete eye-in-hand (or, with eyeToHand, eye-to-hand) calibration per solver; a failed
// solver maps to an empty entry.
HandEyeMethodResults compareHandEyeMethods(const CalibrationTarget& target, const std::vector<cv::Mat>& robotTTcpList,
                                           const std::vector<cv::Mat>& imageList,
                                           const std::vector<cv::Mat>& cameraTTargetList,
                                           const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                           double perViewErrorThreshold, bool eyeToHand = false);

std::string formatMethodComparison(const HandEyeMethodResults& results, double consensusThresholdDeg);

}  // namespace vesk::quality
