#include "calibration/hand_eye/eye_in_hand.hpp"

#include <stdexcept>

#include "calibration/hand_eye/hand_eye_record.hpp"
#include "core/logging.hpp"
#include "io/result_files.hpp"

namespace vesk::calibration {

namespace {

HandEyeResult resultOf(HandEyeSolution s) {
  HandEyeResult r;
  r.ok = s.ok;
  r.failure = std::move(s.failure);
  r.tcp_T_camera = std::move(s.hand_eye);
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
  if (s.ok) r.robot_T_target = std::move(s.fixed_pose);
  return r;
}

}  // namespace

void EyeInHandCalibrator::saveResult(const std::filesystem::path& outputPath, const std::string& method,
                                     const HandEyeResult& result, std::size_t imagesTotal) const {
  io::HandEyeResultRecord record;
  record.reference_index = 0;
  record.num_cameras = 1;
  record.method = method;
  record.num_frames_used = static_cast<int>(result.valid_image_list.size());
  record.num_frames_total = static_cast<int>(imagesTotal);
  record.tcp_T_camera_list = {result.tcp_T_camera};
  if (result.uncertainty.known()) record.tcp_T_camera_covariance = result.uncertainty.covariance;
  if (result.joint) record.joint_solve = jointRecord(*result.joint);
  if (result.four_axis) record.four_axis = fourAxisRecord(*result.four_axis);
  if (!result.robot_T_target.empty()) record.robot_T_target = result.robot_T_target;
  const cv::Mat covariance = fixedPoseCovariance(
      fixedPosePerFrame(result.valid_robot_T_tcp_list, result.tcp_T_camera, result.camera_T_target_list, false),
      result.robot_T_target);
  record.recheck = recheckFields(target(), result.intrinsic_matrix, result.distortion_coefficients,
                                 result.valid_image_list, covariance, result.noise);
  io::saveHandEyeResult(outputPath, record);
}

namespace {

constexpr HandEyeReportText kReportText{"HAND-EYE RESULTS",
                                        "Hand-Eye Transform (TCP -> Camera)",
                                        nullptr,
                                        "Target Consistency Residual",
                                        "HAND-EYE UNCERTAINTY AND DATA CHECK",
                                        "tcp_T_camera",
                                        "tcp",
                                        false,
                                        "HAND-EYE JOINT SOLVE",
                                        "camera coordinates into the tcp frame (the camera's pose on the flange)"};

}  // namespace

EyeInHandCalibrator::EyeInHandCalibrator(CalibrationTarget target, IntrinsicOptions options)
    : core_(std::move(target), std::move(options), "EyeInHandCalibrator", false) {}

HandEyeResult EyeInHandCalibrator::calibrate(const std::vector<cv::Mat>& robotTTcpList,
                                             const std::vector<cv::Mat>& imageList, const std::string& method,
                                             const std::vector<cv::Mat>& cameraTTargetList,
                                             const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                             const std::filesystem::path& outputPath, bool refine,
                                             const std::optional<NoiseEstimate>& noise,
                                             std::optional<double> knownAxisOffsetM, std::optional<double> knownBoardHeightM,
                                             double knownToleranceM, bool freeBoardScale) {
  const JointOptions options{refine, noise, {knownAxisOffsetM, knownBoardHeightM, knownToleranceM}, freeBoardScale};
  const cv::HandEyeCalibrationMethod solver =
      core_.checkInputs(method, robotTTcpList, cameraTTargetList, intrinsicMatrix, distortionCoefficients,
                        options);
  HandEyeResult result = resultOf(
      core_.solve(solver, method, robotTTcpList, imageList, cameraTTargetList, intrinsicMatrix, distortionCoefficients,
                  options));
  if (!result.ok) return result;
  last_result_ = result;
  logging::log(logging::Level::INFO, "Extrinsic calibration complete.");
  printResults();
  if (!outputPath.empty()) saveResult(outputPath, method, result, imageList.size());
  return result;
}

void EyeInHandCalibrator::computeConsistency(HandEyeResult& result) const {
  // the board centres are projected with the result's camera
  if (result.intrinsic_matrix.empty()) {
    throw std::invalid_argument("EyeInHandCalibrator::computeConsistency needs the result's intrinsic_matrix");
  }
  result.consistency =
      targetConsistency(result.valid_robot_T_tcp_list, result.tcp_T_camera, result.camera_T_target_list,
                        result.intrinsic_matrix, result.distortion_coefficients, boardObjectPoints());
  result.has_consistency = true;
}

std::string EyeInHandCalibrator::formatResults() const {
  const HandEyeResult& r = last_result_;
  static const cv::Mat none;
  return formatHandEyeReport(kReportText, {r.tcp_T_camera, none, r.intrinsic_matrix, r.distortion_coefficients,
                                           r.reprojection_error, r.has_consistency, r.consistency,
                                           r.camera_T_target_list, r.uncertainty, r.data_findings, r.board_scale, r.joint,
                                           &r.four_axis});
}

void EyeInHandCalibrator::printResults() const { logging::printReport(formatResults()); }

}  // namespace vesk::calibration
