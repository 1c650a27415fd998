#pragma once

#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "calibration/hand_eye/board_scale.hpp"
#include "calibration/hand_eye/hand_eye_check.hpp"
#include "calibration/hand_eye/hand_eye_four_axis.hpp"
#include "calibration/hand_eye/hand_eye_joint.hpp"
#include "calibration/intrinsic.hpp"
#include "core/failure.hpp"
#include "targets/targets.hpp"

namespace vesk::calibration {

// Name -> cv::HandEyeCalibrationMethod, built once; keys are case-sensitive.
const std::map<std::string, cv::HandEyeCalibrationMethod>& handEyeMethodByNameMap();

struct TargetConsistencyStats {
  double mean_translation_m = 0.0;
  double max_translation_m = 0.0;
  double mean_rotation_deg = 0.0;
  double max_rotation_deg = 0.0;
  std::vector<double> translation_deviations_m;
  std::vector<double> rotation_deviations_deg;
  std::vector<double> distances_m;
  std::vector<double> board_us;
  std::vector<double> board_vs;
};

// One hand-eye solve, AX = XB, in the terms of a camera on the flange. A camera fixed in the cell
// is the same solve with each robot pose inverted (tcp_T_robot): X is then robot_T_camera, and the
// pose every frame implies is the board's on the flange instead of the board's in the cell.
struct HandEyeSolution {
  bool ok = false;
  std::optional<Failure> failure;  // why not ok
  cv::Mat hand_eye;    // X: tcp_T_camera, or robot_T_camera
  cv::Mat fixed_pose;  // mean of robots[i] * X * cams[i]: world_T_target, or tcp_T_target
  cv::Mat intrinsic_matrix;
  cv::Mat distortion_coefficients;
  double reprojection_error = std::numeric_limits<double>::quiet_NaN();
  std::vector<cv::Mat> robots;  // the poses the solve took, of the frames that entered it
  std::vector<cv::Mat> images;
  std::vector<cv::Mat> cams;
  std::vector<int> robot_indices;  // position of each of `robots` in the caller's list
  bool has_consistency = false;
  TargetConsistencyStats consistency;
  TransformUncertainty uncertainty;
  BoardScale board_scale;  // from the robot's motion, by the data check
  std::vector<HandEyeDataFinding> data_findings;
  std::optional<HandEyeJointSolve> joint;  // with refine: the joint solve, whose X is hand_eye
  std::optional<FourAxisSolve> four_axis;  // motions about one axis, solved with the value given
};

// What a calibrate call asks beyond the closed form: the joint solve, and noise levels to hold in it.
struct JointOptions {
  bool refine = false;
  std::optional<NoiseEstimate> noise;
  FourAxisConstraint four_axis;  // used only when the motions turn about one axis
  bool free_board_scale = false;  // the board's scale a parameter of the joint solve
};

// Per-frame scatter of robots[i] * X * cams[i] about its average pose (returned in `mean`), with
// each frame's camera distance and board centre in the image.
TargetConsistencyStats targetConsistency(const std::vector<cv::Mat>& robots, const cv::Mat& X,
                                         const std::vector<cv::Mat>& cams, const cv::Mat& intrinsicMatrix,
                                         const cv::Mat& distortionCoefficients, const cv::Mat& boardObjectPoints,
                                         cv::Mat* mean = nullptr);

// The names one set-up's report uses.
struct HandEyeReportText {
  const char* title;             // "HAND-EYE RESULTS"
  const char* transform;         // "Hand-Eye Transform (TCP -> Camera)"
  const char* fixed_pose;        // heading of the implied fixed pose, or nullptr to leave it out
  const char* consistency;       // "Target Consistency Residual"
  const char* trust_title;       // title of the uncertainty and data-check section
  const char* transform_name;    // "tcp_T_camera"
  const char* axes;              // frame whose axes the rotation sigma is about
  bool fixed_camera;             // the rotation-variety block rates the board's motions in the camera's frame
  const char* joint_title;       // title of the joint solve's section
  const char* meaning;           // what the transform maps: "camera coordinates into the tcp frame (...)"
};

// What a report shows of one result.
struct HandEyeReportData {
  const cv::Mat& transform;
  const cv::Mat& fixed_pose;
  const cv::Mat& intrinsic_matrix;
  const cv::Mat& distortion_coefficients;
  double reprojection_error;
  bool has_consistency;
  const TargetConsistencyStats& consistency;
  const std::vector<cv::Mat>& camera_T_target_list;
  const TransformUncertainty& uncertainty;
  const std::vector<HandEyeDataFinding>& data_findings;
  const BoardScale& board_scale;
  const std::optional<HandEyeJointSolve>& joint;
  const std::optional<FourAxisSolve>* four_axis = nullptr;
};

std::string formatHandEyeReport(const HandEyeReportText& text, const HandEyeReportData& data);

// The joint solve on corners the caller detected: each frame's board pose by solvePnP, the closed
// form by `method`, then refineHandEye. Given robot_T_tcp as recorded; with eyeToHand the camera is
// fixed and the transform robot_T_camera. Bad arguments throw; data the solve cannot use gives a
// result whose ok is false, with the reason in `failure`.
HandEyeJointSolve refineHandEyeFromCorners(const std::vector<cv::Mat>& robotTTcpList,
                                           const std::vector<cv::Mat>& imagePoints,
                                           const std::vector<cv::Mat>& objectPoints, const cv::Mat& intrinsicMatrix,
                                           const cv::Mat& distortionCoefficients, const std::string& method,
                                           bool eyeToHand, bool intrinsicsFree,
                                           const std::optional<NoiseEstimate>& noise, bool freeBoardScale = false);

// The machinery both hand-eye calibrators share: input checks, the three input paths (target poses
// given; intrinsics given; neither), the solve, the data check, the uncertainty and the consistency.
class HandEyeCore {
 public:
  struct AlignedTargetPoses {
    std::vector<cv::Mat> camera_T_target_list;
    std::vector<cv::Mat> valid_image_list;
    std::vector<cv::Mat> valid_robot_T_tcp_list;
    std::vector<int> valid_indices;  // positions in the lists given
  };
  struct TargetPoses {
    std::vector<cv::Mat> camera_T_target_list;
    std::vector<int> valid_indices;
  };

  // `component` tags log lines and errors; with `fixedCamera` the words of messages are those of a
  // camera fixed in the cell and the target-pose path takes every target kind.
  HandEyeCore(CalibrationTarget target, IntrinsicOptions options, std::string component, bool fixedCamera);

  // The method's solver, after checking the caller's poses and intrinsics (shape, finite, rigid) and
  // that a joint solve has corners to fit.
  cv::HandEyeCalibrationMethod checkInputs(const std::string& method, const std::vector<cv::Mat>& robotTTcpList,
                                           const std::vector<cv::Mat>& cameraTTargetList,
                                           const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                           const JointOptions& joint = {}) const;
  // Everything from the frames to the consistency; logs as it goes, stores and prints nothing.
  // `robotPoses` are the poses the solve takes, aligned with the caller's robot_T_tcp_list.
  HandEyeSolution solve(cv::HandEyeCalibrationMethod solver, const std::string& method,
                        const std::vector<cv::Mat>& robotPoses, const std::vector<cv::Mat>& imageList,
                        const std::vector<cv::Mat>& cameraTTargetList, const cv::Mat& intrinsicMatrix,
                        const cv::Mat& distortionCoefficients, const JointOptions& joint = {});

  AlignedTargetPoses computeCameraTTargetList(const std::vector<cv::Mat>& imageList,
                                              const std::vector<cv::Mat>& robotTTcpList,
                                              const cv::Mat& intrinsicMatrix,
                                              const cv::Mat& distortionCoefficients) const;
  TargetPoses computeTargetPoses(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& imagePoints,
                                 const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients) const;
  cv::Mat boardObjectPoints() const;
  const std::vector<cv::Mat>& cornerImages() const { return intrinsic_.cornerImages(); }
  const CalibrationTarget& target() const { return target_; }
  const std::string& component() const { return component_; }

 private:
  // The frames one solve takes, aligned entry by entry; indices are the positions of their robot
  // poses in the caller's list.
  struct Frames {
    std::vector<cv::Mat> robots, images, cams;
    std::vector<int> indices;
    // each frame's corners and board points; the image size only with the calibrator's own intrinsics
    std::vector<cv::Mat> points, objects;
    cv::Size imageSize;
  };
  HandEyeSolution solveFrames(cv::HandEyeCalibrationMethod solver, const std::string& method,
                              const std::vector<cv::Mat>& robotPoses, const std::vector<cv::Mat>& imageList,
                              const std::vector<cv::Mat>& cameraTTargetList, const cv::Mat& intrinsicMatrix,
                              const cv::Mat& distortionCoefficients, const JointOptions& joint);
  // Motions about one axis: refused without a constraint, solved with one; false after an ERROR.
  bool solveFourAxisFrames(HandEyeSolution& s, const Frames& frames, const std::vector<detail::Pose>& robots,
                           const std::vector<detail::Pose>& cams, const SingleAxisMotions& single,
                           const JointOptions& joint) const;
  // The joint solve from the closed form's solution; false (after an ERROR) when it fails.
  bool refineSolution(HandEyeSolution& s, const Frames& frames, const std::string& method,
                      const JointOptions& joint) const;
  // computeCameraTTargetList, keeping each frame's corners and board points.
  AlignedTargetPoses detectAligned(const std::vector<cv::Mat>& imageList, const std::vector<cv::Mat>& robotTTcpList,
                                   const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                   std::vector<cv::Mat>* points, std::vector<cv::Mat>* objects) const;
  std::optional<Frames> resolveFrames(HandEyeSolution& s, const std::vector<cv::Mat>& robotPoses,
                                      const std::vector<cv::Mat>& imageList,
                                      const std::vector<cv::Mat>& cameraTTargetList);
  std::optional<Frames> framesFromGivenIntrinsics(HandEyeSolution& s, const std::vector<cv::Mat>& robotPoses,
                                                  const std::vector<cv::Mat>& imageList) const;
  std::optional<Frames> framesFromIntrinsicCalibration(HandEyeSolution& s, const std::vector<cv::Mat>& robotPoses,
                                                       const std::vector<cv::Mat>& imageList);
  TargetPoses posesOfDetectedViews(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& imagePoints,
                                   const std::vector<cv::Mat>& objectPoints, const cv::Mat& intrinsicMatrix,
                                   const cv::Mat& distortionCoefficients) const;
  TargetPoses redetectedTargetPoses(const std::vector<cv::Mat>& images, const cv::Mat& intrinsicMatrix,
                                    const cv::Mat& distortionCoefficients, const char* kindName) const;
  // With replicateCams, each replicate's target poses (by group) for the board scale's jackknife.
  using ReplicateCams = std::vector<std::optional<std::vector<cv::Mat>>>;
  TransformUncertainty uncertaintyOf(const Frames& frames, cv::HandEyeCalibrationMethod solver,
                                     const HandEyeSolution& s, ReplicateCams* replicateCams = nullptr) const;
  // The board scale of the solved frames, its finding logged and kept.
  void measureBoardScale(HandEyeSolution& s, const Frames& frames, const ReplicateCams& replicateCams) const;
  bool acceptData(HandEyeSolution& s, const std::vector<HandEyeDataFinding>& findings) const;

  CalibrationTarget target_;
  IntrinsicCalibrator intrinsic_;
  std::string component_;
  bool fixed_camera_;
};

}  // namespace vesk::calibration
