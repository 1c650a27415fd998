#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/intrinsic.hpp"
#include "targets/targets.hpp"

namespace vesk::quality {

struct BenchmarkResult {
  std::string backend_name;
  double reprojection_error = 0.0;
  double held_out_reprojection_error = 0.0;  // +inf when nothing could be scored
  double hand_eye_roundtrip_error = -1.0;    // -1: not requested, +inf: not computable
  cv::Mat camera_matrix;
  cv::Mat dist_coeffs;
  std::string timestamp;  // "YYYY-MM-DDTHH:MM:SS.ffffff+00:00"
  int image_count = 0;
};

// Now, in UTC with microseconds.
std::string utcTimestamp();

class CalibrationBenchmark {
 public:
  BenchmarkResult run(const std::vector<cv::Mat>& images, const CalibrationTarget& target,
                      const calibration::IntrinsicOptions& options, const std::vector<cv::Mat>& robotPoses,
                      const std::optional<calibration::IntrinsicOptions>& eyeInHandOptions,
                      const std::string& backendName, int nSplits, std::uint32_t seed,
                      bool eyeToHand = false) const;
  double crossValidate(const std::vector<cv::Mat>& images, const CalibrationTarget& target,
                       const calibration::IntrinsicOptions& options, int nSplits, std::uint32_t seed) const;
  double handEyeRoundtrip(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& robotPoses,
                          const cv::Mat& tcpTCamera, const cv::Mat& intrinsicMatrix,
                          const cv::Mat& distortionCoefficients, const CalibrationTarget& target,
                          const std::vector<cv::Mat>& cameraTTargetList) const;
  // The round trip of a camera fixed in the cell with the board on the flange: the board's pose on
  // the flange from all frames, then each frame's board predicted from its robot pose alone.
  double eyeToHandRoundtrip(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& robotPoses,
                            const cv::Mat& robotTCamera, const cv::Mat& intrinsicMatrix,
                            const cv::Mat& distortionCoefficients, const CalibrationTarget& target,
                            const std::vector<cv::Mat>& cameraTTargetList) const;
  // (N x 3 CV_32F object points, N x 1 CV_32FC2 image points) of the target in one image.
  std::optional<std::pair<cv::Mat, cv::Mat>> reprojectionErrorInputs(const cv::Mat& image,
                                                                    const CalibrationTarget& target) const;
  std::optional<double> reprojectionErrorOnImage(const cv::Mat& image, const CalibrationTarget& target,
                                                 const cv::Mat& cameraMatrix, const cv::Mat& distCoeffs) const;

  static std::string formatResults(const std::vector<BenchmarkResult>& results);
  static void saveJson(const std::vector<BenchmarkResult>& results, const std::string& path);
 private:
  // The hand-eye round trip; `name` heads its warnings.
  double roundtrip(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& robotPoses, const cv::Mat& X,
                   const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                   const CalibrationTarget& target, const std::vector<cv::Mat>& cameraTTargetList,
                   const std::string& name) const;
  // crossValidate, with the detections of all images (findCorners with these options) already
  // made when `detected` is given.
  double crossValidateDetected(const std::vector<cv::Mat>& images, const CalibrationTarget& target,
                               const calibration::IntrinsicOptions& options, int nSplits, std::uint32_t seed,
                               const calibration::TargetDetections* detected) const;
};

}  // namespace vesk::quality
