#include "calibration/hand_eye/eye_in_hand.hpp"

#include <stdexcept>

#include "core/logging.hpp"
#include "core/transforms.hpp"

namespace vesk::calibration {

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
                                        "camera coordinates into the tcp frame (the camera's pose on the flange)",
                                        "Extrinsic calibration complete."};

HandEyeResult resultOf(HandEyeSolution s) { return calibration::resultOf(std::move(s), &HandEyeResult::tcp_T_camera, &HandEyeResult::robot_T_target); }

}  // namespace

EyeInHandCalibrator::EyeInHandCalibrator(CalibrationTarget target, IntrinsicOptions options)
    : core_(std::move(target), std::move(options), "EyeInHandCalibrator", false, kReportText) {}

HandEyeResult EyeInHandCalibrator::calibrate(const std::vector<cv::Mat>& robotTTcpList,
                                             const std::vector<cv::Mat>& imageList, const std::string& method,
                                             const std::vector<cv::Mat>& cameraTTargetList,
                                             const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                             const std::filesystem::path& outputPath, bool refine,
                                             const std::optional<NoiseEstimate>& noise,
                                             std::optional<double> knownAxisOffsetM, std::optional<double> knownBoardHeightM,
                                             double knownToleranceM, bool freeBoardScale) {
  const JointOptions options{refine, noise, {knownAxisOffsetM, knownBoardHeightM, knownToleranceM}, freeBoardScale};
  return resultOf(core_.calibrate(method, robotTTcpList, imageList, cameraTTargetList, intrinsicMatrix,
                                  distortionCoefficients, options, outputPath));
}

HandEyeResult EyeInHandCalibrator::lastResult() const { return resultOf(core_.last()); }

void EyeInHandCalibrator::computeConsistency(HandEyeResult& result) const {
  // the board centres are projected with the result's camera
  if (result.intrinsic_matrix.empty()) {
    throw std::invalid_argument("EyeInHandCalibrator::computeConsistency needs the result's intrinsic_matrix");
  }
  const std::string c = "EyeInHandCalibrator::computeConsistency";
  result.consistency = targetConsistency(detail::toPoses(result.valid_robot_T_tcp_list, c, "valid_robot_T_tcp_list"),
                                         result.tcp_T_camera,
                                         detail::toPoses(result.camera_T_target_list, c, "camera_T_target_list"),
                                         result.intrinsic_matrix, result.distortion_coefficients, boardObjectPoints());
  result.has_consistency = true;
}

std::string EyeInHandCalibrator::formatResults() const { return core_.formatResults(); }

void EyeInHandCalibrator::printResults() const { logging::printReport(formatResults()); }

}  // namespace vesk::calibration
