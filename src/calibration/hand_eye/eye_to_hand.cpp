#include "calibration/hand_eye/eye_to_hand.hpp"

#include "calibration/hand_eye/hand_eye_record.hpp"
#include "core/logging.hpp"
#include "core/transforms.hpp"
#include "io/result_files.hpp"

namespace vesk::calibration {

namespace {

// The solve's frames carry inverted robot poses; the result gives back the caller's own.
EyeToHandResult resultOf(HandEyeSolution s, const std::vector<cv::Mat>& robotTTcpList) {
  EyeToHandResult r;
  r.ok = s.ok;
  r.failure = std::move(s.failure);
  r.robot_T_camera = std::move(s.hand_eye);
  r.intrinsic_matrix = std::move(s.intrinsic_matrix);
  r.distortion_coefficients = std::move(s.distortion_coefficients);
  r.reprojection_error = s.reprojection_error;
  for (int i : s.robot_indices) r.valid_robot_T_tcp_list.push_back(robotTTcpList[static_cast<std::size_t>(i)]);
  r.valid_image_list = std::move(s.images);
  r.camera_T_target_list = std::move(s.cams);
  r.has_consistency = s.has_consistency;
  r.consistency = std::move(s.consistency);
  if (s.ok) r.tcp_T_target = std::move(s.fixed_pose);
  r.uncertainty = std::move(s.uncertainty);
  r.data_findings = std::move(s.data_findings);
  r.board_scale = s.board_scale;
  if (s.joint) r.noise = s.joint->noise;
  r.joint = std::move(s.joint);
  r.four_axis = std::move(s.four_axis);
  return r;
}

}  // namespace

void EyeToHandCalibrator::saveResult(const std::filesystem::path& outputPath, const std::string& method,
                                     const EyeToHandResult& result, std::size_t imagesTotal) const {
  io::EyeToHandResultRecord record;
  record.method = method;
  record.num_frames_used = static_cast<int>(result.valid_image_list.size());
  record.num_frames_total = static_cast<int>(imagesTotal);
  record.robot_T_camera = result.robot_T_camera;
  record.tcp_T_target = result.tcp_T_target;
  if (result.uncertainty.known()) record.robot_T_camera_covariance = result.uncertainty.covariance;
  if (result.joint) record.joint_solve = jointRecord(*result.joint);
  if (result.four_axis) record.four_axis = fourAxisRecord(*result.four_axis);
  const cv::Mat covariance = fixedPoseCovariance(
      fixedPosePerFrame(result.valid_robot_T_tcp_list, result.robot_T_camera, result.camera_T_target_list, true),
      result.tcp_T_target);
  record.recheck = recheckFields(target(), result.intrinsic_matrix, result.distortion_coefficients,
                                 result.valid_image_list, covariance, result.noise);
  io::saveEyeToHandResult(outputPath, record);
}

namespace {

constexpr HandEyeReportText kReportText{"EYE-TO-HAND RESULTS",
                                        "Hand-Eye Transform (Robot -> Camera)",
                                        "Board on the Flange (TCP -> Target)",
                                        "Board-on-Flange Consistency Residual",
                                        "EYE-TO-HAND UNCERTAINTY AND DATA CHECK",
                                        "robot_T_camera",
                                        "robot base",
                                        true,
                                        "EYE-TO-HAND JOINT SOLVE",
                                        "camera coordinates into the robot base (the camera's pose in the cell)"};

}  // namespace

EyeToHandCalibrator::EyeToHandCalibrator(CalibrationTarget target, IntrinsicOptions options)
    : core_(std::move(target), std::move(options), "EyeToHandCalibrator", true) {}

EyeToHandResult EyeToHandCalibrator::calibrate(const std::vector<cv::Mat>& robotTTcpList,
                                               const std::vector<cv::Mat>& imageList, const std::string& method,
                                               const std::vector<cv::Mat>& cameraTTargetList,
                                               const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                               const std::filesystem::path& outputPath, bool refine,
                                               const std::optional<NoiseEstimate>& noise,
                                               std::optional<double> knownAxisOffsetM,
                                               std::optional<double> knownBoardHeightM, double knownToleranceM,
                                               bool freeBoardScale) {
  const JointOptions options{refine, noise, {knownAxisOffsetM, knownBoardHeightM, knownToleranceM}, freeBoardScale};
  const cv::HandEyeCalibrationMethod solver =
      core_.checkInputs(method, robotTTcpList, cameraTTargetList, intrinsicMatrix, distortionCoefficients,
                        options);
  // robot_T_tcp * tcp_T_target = robot_T_camera * camera_T_target for every frame, so with
  // tcp_T_robot in place of robot_T_tcp this is AX = XB with X = robot_T_camera.
  EyeToHandResult result = resultOf(
      core_.solve(solver, method, detail::inverseRigid(robotTTcpList), imageList, cameraTTargetList, intrinsicMatrix,
                  distortionCoefficients, options),
      robotTTcpList);
  if (!result.ok) return result;
  last_result_ = result;
  logging::log(logging::Level::INFO, "Eye-to-hand calibration complete.");
  printResults();
  if (!outputPath.empty()) saveResult(outputPath, method, result, imageList.size());
  return result;
}

std::string EyeToHandCalibrator::formatResults() const {
  const EyeToHandResult& r = last_result_;
  return formatHandEyeReport(kReportText, {r.robot_T_camera, r.tcp_T_target, r.intrinsic_matrix,
                                           r.distortion_coefficients, r.reprojection_error, r.has_consistency,
                                           r.consistency, r.camera_T_target_list, r.uncertainty, r.data_findings, r.board_scale, r.joint,
                                           &r.four_axis});
}

void EyeToHandCalibrator::printResults() const { logging::printReport(formatResults()); }

}  // namespace vesk::calibration
