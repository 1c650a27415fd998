#pragma once

#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "core/constants.hpp"
#include "core/transforms.hpp"

namespace vesk::calibration {

// One thing the data check found in hand-eye data, with what to do about it.
struct HandEyeDataFinding {
  std::string code;
  std::string message;     // one sentence: what was found and what to do
  std::vector<int> frames;  // positions in the lists checked
};

// While one is alive OpenCV's own log lines are silenced, process-wide: the check's solves on
// misread data make OpenCV log errors the findings already explain. The level comes back when the
// last of nested or concurrent guards ends.
class QuietOpenCvLog {
 public:
  QuietOpenCvLog();
  ~QuietOpenCvLog();
  QuietOpenCvLog(const QuietOpenCvLog&) = delete;
  QuietOpenCvLog& operator=(const QuietOpenCvLog&) = delete;
};

// A flange motion counts towards the rotation's observability, and towards a four-axis robot's axis,
// only above this angle.
constexpr double kMinMotionRad = 1.0 * kRadPerDeg;

// Codes of the findings that make a hand-eye result unusable.
bool refusesResult(const HandEyeDataFinding& finding);

// Hand-eye rotation is observable only from two flange motions about non-parallel axes (each
// rotating by more than 1 degree, relative to the first pose).
bool rotationObservable(const std::vector<detail::Pose>& robots);

// Why `method` cannot solve these motions, or "": OpenCV's TSAI keeps only pairs of captures whose
// orientations differ by 17 to 116 degrees, and needs two; with anyLeftOut, two that remain with
// any one frame left out (so that leaving frames out can tell how well they fix the rotation).
std::string methodShortfall(const std::vector<detail::Pose>& robots, const std::vector<detail::Pose>& cams,
                            cv::HandEyeCalibrationMethod method, bool anyLeftOut);
// Why the solved X cannot be right, or "": its rotation does not carry the camera's motions onto the
// flange's (A X = X B) over nearby pairs of frames.
std::string rotationMisfit(const std::vector<detail::Pose>& robots, const std::vector<detail::Pose>& cams,
                           const detail::Pose& X);

// The one way to OpenCV's hand-eye solver: X from aligned robot and target poses, with OpenCV's
// exceptions and log lines kept in; nothing when it throws or gives no rigid transform.
std::optional<detail::Pose> rawClosedForm(const std::vector<detail::Pose>& robots,
                                          const std::vector<detail::Pose>& cams, cv::HandEyeCalibrationMethod method);

// rawClosedForm refused, with a failure code and the sentence why, when the motions cannot fix the
// rotation ("rotation_not_observable"), the method cannot use them ("method_cannot_use_motions"),
// OpenCV gives no rigid transform ("solver_failed") or the answer does not carry the camera's
// motions onto the flange's ("rotation_misfit"). anyLeftOut as for methodShortfall.
struct ClosedForm {
  std::optional<detail::Pose> hand_eye;
  std::string code;  // "" when solved
  std::string why;
};
ClosedForm solveClosedForm(const std::vector<detail::Pose>& robots, const std::vector<detail::Pose>& cams,
                           cv::HandEyeCalibrationMethod method, const std::string& methodName, bool anyLeftOut);

// The checks that need no solved transform: images and poses out of step, robot translations in
// millimetres, inverted robot poses, and a board that cannot have stood still. Frame j of
// cameraTTargetList was paired with robotPoses[robotIndexOfFrame[j]], so that the other pairings
// a shifted list would have given can be tried. Nothing is reported for data too poor to judge
// (fewer than 4 frames or no rotation about two axes).
std::vector<HandEyeDataFinding> checkPairingAndUnits(const std::vector<detail::Pose>& robotPoses,
                                                     const std::vector<int>& robotIndexOfFrame,
                                                     const std::vector<detail::Pose>& cameraTTargetList,
                                                     bool boardOnFlange = false);

// The checks of a solved result, from each frame's distance of its board position from the mean
// (world_T_target translations) and its camera-to-board distance: an implausible scatter, and
// frames far beyond the others.
// With boardOnFlange (a fixed camera, solved with inverted robot poses) the messages speak of the
// board's pose on the flange.
std::vector<HandEyeDataFinding> checkScatter(const std::vector<double>& translationDeviations,
                                             const std::vector<double>& distances, bool boardOnFlange = false);

// checkScatter for the board positions robot_T_tcp * tcp_T_camera * camera_T_target of a solution.
std::vector<HandEyeDataFinding> checkSolution(const std::vector<detail::Pose>& robots,
                                              const std::vector<detail::Pose>& cams, const detail::Pose& tcpTCamera,
                                              bool boardOnFlange = false);

// Everything, on aligned lists, with the solver's TSAI result for the scatter checks. With
// eyeToHand the camera is fixed and the board on the flange.
std::vector<HandEyeDataFinding> checkHandEyeData(const std::vector<cv::Mat>& robotTTcpList,
                                                 const std::vector<cv::Mat>& cameraTTargetList,
                                                 bool eyeToHand = false);

// The uncertainty of a solved tcp_T_camera from the spread of the solutions with frames left out: a
// delete-a-group jackknife over at most 20 groups (frame i in group i mod groups). It rests on the
// data's own scatter, so the robot's pose error counts as much as the corners' noise.
// `solveWithout(leftOut)` solves again from the frames not flagged; nothing makes the result NaN.
using SolveWithout = std::function<std::optional<detail::Pose>(const std::vector<bool>& leftOut)>;
TransformUncertainty jackknifeUncertainty(std::size_t frames, const detail::Pose& tcpTCamera,
                                          const SolveWithout& solveWithout);

// tcp_T_camera by solveClosedForm, without a word; nothing for fewer than 4 frames or lists of
// different lengths, or when solveClosedForm refuses.
std::optional<detail::Pose> solveHandEyeQuietly(const std::vector<detail::Pose>& robots,
                                                const std::vector<detail::Pose>& cams,
                                                cv::HandEyeCalibrationMethod method);

// jackknifeUncertainty of `method` on fixed target poses.
TransformUncertainty handEyeUncertainty(const std::vector<detail::Pose>& robots, const std::vector<detail::Pose>& cams,
                                        cv::HandEyeCalibrationMethod method, const detail::Pose& tcpTCamera);

}  // namespace vesk::calibration
