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
  std::vector<cv::Mat> robots;  // the caller's robot_T_tcp, as given, of the frames that entered the solve
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
  cv::Mat fixed_pose_covariance;  // of fixed_pose, from the frames' scatter (what a re-check needs)
};

// A calibrator's result from a solution: the fields both results share under the same names, the
// transform and the fixed pose under their own.
template <class Result>
Result resultOf(HandEyeSolution s, cv::Mat Result::*transform, cv::Mat Result::*fixedPose) {
  Result r;
  r.ok = s.ok;
  r.failure = std::move(s.failure);
  r.*transform = std::move(s.hand_eye);
  if (s.ok) {
    r.*fixedPose = std::move(s.fixed_pose);
    r.fixed_pose_covariance = std::move(s.fixed_pose_covariance);
  }
  r.intrinsic_matrix = std::move(s.intrinsic_matrix);
  r.distortion_coefficients = std::move(s.distortion_coefficients);
  r.reprojection_error = s.reprojection_error;
  r.valid_robot_T_tcp_list = std::move(s.robots);
  r.valid_image_list = std::move(s.images);
  r.camera_T_target_list = std::move(s.cams);
  r.has_consistency = s.has_consistency;
  r.consistency = std::move(s.consistency);
  r.uncertainty = std::move(s.uncertainty);
  r.data_findings = std::move(s.data_findings);
  r.board_scale = s.board_scale;
  if (s.joint) r.noise = s.joint->noise;
  r.joint = std::move(s.joint);
  r.four_axis = std::move(s.four_axis);
  return r;
}

// What a calibrate call asks beyond the closed form: the joint solve, and noise levels to hold in it.
struct JointOptions {
  bool refine = false;
  std::optional<NoiseEstimate> noise;
  FourAxisConstraint four_axis;  // used only when the motions turn about one axis
  bool free_board_scale = false;  // the board's scale a parameter of the joint solve
};

// Per-frame scatter of robots[i] * X * cams[i] about its average pose (returned in `mean`), with
// each frame's camera distance and board centre in the image.
TargetConsistencyStats targetConsistency(const std::vector<detail::Pose>& robots, const cv::Mat& X,
                                         const std::vector<detail::Pose>& cams, const cv::Mat& intrinsicMatrix,
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
  const char* done;              // the log line of a calibration that succeeded
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
  // camera fixed in the cell and the target-pose path takes every target kind. `text` names the
  // parts of the set-up's report.
  HandEyeCore(CalibrationTarget target, IntrinsicOptions options, std::string component, bool fixedCamera,
              const HandEyeReportText& text);

  // One calibrate call. The caller's inputs are checked (shape, finite, rigid) and the robot poses
  // converted once, into the poses the solve takes (inverted for a fixed camera); then everything
  // from the frames to the consistency. A result that is ok is kept as the last, logged, printed and,
  // with an output path, saved. Bad arguments throw; data the solve cannot use gives ok false.
  HandEyeSolution calibrate(const std::string& method, const std::vector<cv::Mat>& robotTTcpList,
                            const std::vector<cv::Mat>& imageList, const std::vector<cv::Mat>& cameraTTargetList,
                            const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                            const JointOptions& joint, const std::filesystem::path& outputPath);
  // The last result that was ok (an empty one before any), and its report.
  const HandEyeSolution& last() const { return last_; }
  std::string formatResults() const;

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
    std::vector<detail::Pose> robots;  // as the solve takes them
    std::vector<cv::Mat> images, cams;
    std::vector<int> indices;
    // each frame's corners and board points; the image size only with the calibrator's own intrinsics
    std::vector<cv::Mat> points, objects;
    cv::Size imageSize;
    std::vector<detail::Pose> cam_poses;  // cams, for the solves
  };
  // The method's solver, after checking the options and the caller's target poses and intrinsics.
  cv::HandEyeCalibrationMethod checkInputs(const std::string& method, const std::vector<cv::Mat>& cameraTTargetList,
                                           const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                           const JointOptions& joint) const;
  // solveFrames, leaving the calibrator as it was when the caller stops the call.
  HandEyeSolution solve(cv::HandEyeCalibrationMethod solver, const std::string& method,
                        const std::vector<detail::Pose>& robots, const std::vector<cv::Mat>& imageList,
                        const std::vector<cv::Mat>& cameraTTargetList, const cv::Mat& intrinsicMatrix,
                        const cv::Mat& distortionCoefficients, const JointOptions& joint);
  // The result file of a solution that is ok.
  void save(const std::filesystem::path& outputPath, const std::string& method, const HandEyeSolution& s,
            std::size_t imagesTotal) const;
  HandEyeSolution solveFrames(cv::HandEyeCalibrationMethod solver, const std::string& method,
                              const std::vector<detail::Pose>& robots, const std::vector<cv::Mat>& imageList,
                              const std::vector<cv::Mat>& cameraTTargetList, const cv::Mat& intrinsicMatrix,
                              const cv::Mat& distortionCoefficients, const JointOptions& joint);
  // Motions about one axis: refused without a constraint, solved with one; false after an ERROR.
  bool solveFourAxisFrames(HandEyeSolution& s, const Frames& frames, const SingleAxisMotions& single,
                           const JointOptions& joint) const;
  // Motions about several axes: the data check before and after the closed form, the uncertainty,
  // the board scale and, when asked, the joint solve; false after a WARNING or an ERROR. `robots` is
  // the whole list, for the pairings the check tries.
  bool solveSixAxisFrames(HandEyeSolution& s, const Frames& frames, const std::vector<detail::Pose>& robots,
                          cv::HandEyeCalibrationMethod solver, const std::string& method,
                          const JointOptions& joint) const;
  // The joint solve from the closed form's solution; false (after an ERROR) when it fails.
  bool refineSolution(HandEyeSolution& s, const Frames& frames, const std::string& method,
                      const JointOptions& joint) const;
  // Throws unless this calibrator can find target poses with these intrinsics: ChArUco on the flange,
  // finite values.
  void checkPoseDetection(const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients) const;
  // The target pose of each of the first `frames` images by detection and solvePnP (logged per frame
  // when none), with each found frame's corners and board points when `points` is given.
  TargetPoses detectTargetPoses(const std::vector<cv::Mat>& imageList, std::size_t frames,
                                const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                std::vector<cv::Mat>* points, std::vector<cv::Mat>* objects) const;
  std::optional<Frames> resolveFrames(HandEyeSolution& s, const std::vector<detail::Pose>& robots,
                                      const std::vector<cv::Mat>& imageList,
                                      const std::vector<cv::Mat>& cameraTTargetList);
  std::optional<Frames> framesFromGivenIntrinsics(HandEyeSolution& s, const std::vector<detail::Pose>& robots,
                                                  const std::vector<cv::Mat>& imageList) const;
  std::optional<Frames> framesFromIntrinsicCalibration(HandEyeSolution& s, const std::vector<detail::Pose>& robots,
                                                       const std::vector<cv::Mat>& imageList);
  TargetPoses posesOfDetectedViews(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& imagePoints,
                                   const std::vector<cv::Mat>& objectPoints, const cv::Mat& intrinsicMatrix,
                                   const cv::Mat& distortionCoefficients) const;
  TargetPoses redetectedTargetPoses(const std::vector<cv::Mat>& images, const cv::Mat& intrinsicMatrix,
                                    const cv::Mat& distortionCoefficients, const char* kindName) const;
  // With replicateCams, each replicate's target poses (by group) for the board scale's jackknife.
  using ReplicateCams = std::vector<std::optional<std::vector<detail::Pose>>>;
  TransformUncertainty uncertaintyOf(const Frames& frames, cv::HandEyeCalibrationMethod solver,
                                     const HandEyeSolution& s, ReplicateCams* replicateCams = nullptr) const;
  // The board scale of the solved frames, its finding logged and kept.
  void measureBoardScale(HandEyeSolution& s, const Frames& frames, const ReplicateCams& replicateCams) const;
  bool acceptData(HandEyeSolution& s, const std::vector<HandEyeDataFinding>& findings) const;

  CalibrationTarget target_;
  IntrinsicCalibrator intrinsic_;
  std::string component_;
  bool fixed_camera_;
  HandEyeReportText text_;
  HandEyeSolution last_;
};

}  // namespace vesk::calibration
