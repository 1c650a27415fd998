#pragma once
// The board's true scale from the robot's motion. The robot's translations are metric and a board
// printed at the wrong scale makes every camera_T_target translation off by one factor, so with the
// hand-eye rotation fixed the chain robot_i * X * camera_i = fixed pose is linear in that factor, X's
// translation and the fixed pose's position.

#include <cstddef>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_check.hpp"

namespace vesk::calibration {

// value: the board's true lengths over the lengths stated for it (1 for a right print), with its
// 1-sigma; stated_square_m: the square (or marker) length the target states, when known. NaN where
// not computed.
struct BoardScale {
  double value = std::numeric_limits<double>::quiet_NaN();
  double sigma = std::numeric_limits<double>::quiet_NaN();
  double stated_square_m = std::numeric_limits<double>::quiet_NaN();

  bool known() const;
  // value * stated_square_m: the square length the data implies.
  double impliedSquareM() const;
};

// The target poses of the frames one jackknife replicate keeps (group g left out), for callers whose
// poses depend on the frames left out (intrinsics calibrated from the same views); nothing when they
// cannot be had.
using TargetPosesWithout =
    std::function<std::optional<std::vector<detail::Pose>>(std::size_t group, const std::vector<bool>& leftOut)>;

// The scale of aligned hand-eye data (robot poses as the solve takes them: inverted for a fixed
// camera), the rotation solved by the data check's first method that solves every replicate; sigma
// from a delete-a-group jackknife over at most 20 groups (frame i in group i mod groups), each
// replicate solving the rotation again. Without `posesWithout` a replicate keeps the given target
// poses. NaN for data that does not fix the rotation.
BoardScale estimateBoardScale(const std::vector<detail::Pose>& robots, const std::vector<detail::Pose>& cams,
                              double statedSquareM = std::numeric_limits<double>::quiet_NaN(),
                              const TargetPosesWithout& posesWithout = {});

// board_scale_mismatch when the scale is off by more than 4 sigma and more than 0.5 %.
std::optional<HandEyeDataFinding> boardScaleFinding(const BoardScale& scale);

// estimateBoardScale on the caller's robot_T_tcp (inverted here for a fixed camera), after the data
// check's input checks.
BoardScale boardScaleOfData(const std::vector<cv::Mat>& robotTTcpList, const std::vector<cv::Mat>& cameraTTargetList,
                            bool eyeToHand);

}  // namespace vesk::calibration
