#include "calibration/hand_eye/eye_to_hand.hpp"

#include "core/logging.hpp"

namespace vesk::calibration {

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
                                        "camera coordinates into the robot base (the camera's pose in the cell)",
                                        "Eye-to-hand calibration complete."};

EyeToHandResult resultOf(HandEyeSolution s) { return calibration::resultOf(std::move(s), &EyeToHandResult::robot_T_camera, &EyeToHandResult::tcp_T_target); }

}  // namespace

EyeToHandCalibrator::EyeToHandCalibrator(CalibrationTarget target, IntrinsicOptions options)
    : core_(std::move(target), std::move(options), "EyeToHandCalibrator", true, kReportText) {}

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
  return resultOf(core_.calibrate(method, robotTTcpList, imageList, cameraTTargetList, intrinsicMatrix,
                                  distortionCoefficients, options, outputPath));
}

EyeToHandResult EyeToHandCalibrator::lastResult() const { return resultOf(core_.last()); }

std::string EyeToHandCalibrator::formatResults() const { return core_.formatResults(); }

void EyeToHandCalibrator::printResults() const { logging::printReport(formatResults()); }

}  // namespace vesk::calibration
