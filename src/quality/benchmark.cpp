#include "quality/benchmark.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <limits>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <opencv2/calib3d.hpp>

#include "calibration/hand_eye/eye_in_hand.hpp"
#include "calibration/hand_eye/eye_to_hand.hpp"
#include "core/constants.hpp"
#include "core/logging.hpp"
#include "core/threads.hpp"
#include "core/transforms.hpp"
#include "geometry/reprojection.hpp"
#include "io/atomic_file.hpp"
#include "io/json_matrix.hpp"
#include "targets/detection.hpp"

namespace vesk::quality {

using logging::Level;

namespace {


double round6(double x) { return std::round(x * 1000000.0) / 1000000.0; }

}  // namespace

std::string utcTimestamp() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  const std::time_t seconds = static_cast<std::time_t>(ns / 1000000000LL);
  const long long micros = (ns / 1000LL) % 1000000LL;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::ostringstream os;
  os << text << "." << std::setw(6) << std::setfill('0') << micros << "+00:00";
  return os.str();
}

BenchmarkResult CalibrationBenchmark::run(const std::vector<cv::Mat>& images, const CalibrationTarget& target,
                                          const calibration::IntrinsicOptions& options,
                                          const std::vector<cv::Mat>& robotPoses,
                                          const std::optional<calibration::IntrinsicOptions>& eyeInHandOptions,
                                          const std::string& backendName, int nSplits, std::uint32_t seed,
                                          bool eyeToHand) const {
  detail::requireColourImages(images, "[Benchmark] run", "images");
  logging::log(Level::INFO, "[Benchmark] Running backend: " + backendName);
  calibration::IntrinsicCalibrator calibrator(target, options);
  const calibration::IntrinsicResult full = calibrator.calibrate(images);
  if (!full.ok) throw std::runtime_error("[Benchmark] " + backendName + " calibration failed.");
  const double heldOut = crossValidateDetected(images, target, options, nSplits, seed, &calibrator.detections());

  double roundtrip = -1.0;
  if (!robotPoses.empty() && eyeInHandOptions && eyeToHand) {
    calibration::EyeToHandCalibrator handEye(target, *eyeInHandOptions);
    const calibration::EyeToHandResult he =
        handEye.calibrate(robotPoses, images, "TSAI", {}, cv::Mat(), cv::Mat(), {});
    if (he.ok && !he.robot_T_camera.empty()) {
      roundtrip = eyeToHandRoundtrip(he.valid_image_list, he.valid_robot_T_tcp_list, he.robot_T_camera,
                                     full.intrinsic_matrix, full.distortion_coefficients, target,
                                     he.camera_T_target_list);
    }
  } else if (!robotPoses.empty() && eyeInHandOptions) {
    calibration::EyeInHandCalibrator handEye(target, *eyeInHandOptions);
    const calibration::HandEyeResult he =
        handEye.calibrate(robotPoses, images, "TSAI", {}, cv::Mat(), cv::Mat(), {});
    if (he.ok && !he.tcp_T_camera.empty()) {
      // The solve's own aligned frames: pairing the full pose list with the shorter
      // list of solved target poses would make any dropped view an infinite error.
      roundtrip = handEyeRoundtrip(he.valid_image_list, he.valid_robot_T_tcp_list, he.tcp_T_camera,
                                   full.intrinsic_matrix, full.distortion_coefficients, target,
                                   he.camera_T_target_list);
    }
  }

  BenchmarkResult result;
  result.backend_name = backendName;
  result.reprojection_error = full.reprojection_error;
  result.held_out_reprojection_error = heldOut;
  result.hand_eye_roundtrip_error = roundtrip;
  result.camera_matrix = full.intrinsic_matrix;
  result.dist_coeffs = full.distortion_coefficients;
  result.timestamp = utcTimestamp();
  result.image_count = static_cast<int>(images.size());
  logging::log(Level::INFO, "[Benchmark] " + backendName + ": rpe=" + std::to_string(full.reprojection_error) +
                                "px  held-out=" + std::to_string(heldOut) +
                                "px  roundtrip=" + (roundtrip < 0 ? std::string("n/a") : std::to_string(roundtrip)));
  return result;
}

double CalibrationBenchmark::crossValidate(const std::vector<cv::Mat>& images, const CalibrationTarget& target,
                                           const calibration::IntrinsicOptions& options, int nSplits,
                                           std::uint32_t seed) const {
  return crossValidateDetected(images, target, options, nSplits, seed, nullptr);
}

double CalibrationBenchmark::crossValidateDetected(const std::vector<cv::Mat>& images,
                                                   const CalibrationTarget& target,
                                                   const calibration::IntrinsicOptions& options, int nSplits,
                                                   std::uint32_t seed,
                                                   const calibration::TargetDetections* detected) const {
  const std::size_t n = images.size();
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::mt19937 engine(seed);
  std::shuffle(order.begin(), order.end(), engine);

  std::vector<double> errors;
  if (nSplits > 0) {
    const std::size_t fold = std::max<std::size_t>(1, n / static_cast<std::size_t>(nSplits));
    const std::size_t folds = std::min(static_cast<std::size_t>(nSplits), (n + fold - 1) / fold);
    // the folds are independent: one per thread, their errors taken in fold order
    std::vector<std::vector<double>> foldErrors(folds);
    detail::forEachView(folds, [&](std::size_t f) {
      const std::size_t start = f * fold;
      const std::size_t end = std::min(start + fold, n);
      std::vector<cv::Mat> training;
      std::vector<int> trainingIndices;
      for (std::size_t p = 0; p < n; ++p) {
        if (p >= start && p < end) continue;
        training.push_back(images[order[p]]);
        trainingIndices.push_back(static_cast<int>(order[p]));
      }
      if (training.size() < kMinFramesPerSolve) return;
      calibration::IntrinsicCalibrator calibrator(target, options);
      // each image is detected once: a training set takes its views from the detections of all images
      const calibration::IntrinsicResult r =
          detected ? calibrator.calibrateDetected(*detected, trainingIndices, training.front().size())
                   : calibrator.calibrate(training);
      if (!r.ok) return;
      for (std::size_t p = start; p < end; ++p) {
        const auto e = reprojectionErrorOnImage(images[order[p]], target, r.intrinsic_matrix,
                                                r.distortion_coefficients);
        if (e) foldErrors[f].push_back(*e);
      }
    });
    for (const std::vector<double>& e : foldErrors) errors.insert(errors.end(), e.begin(), e.end());
  }
  if (errors.empty()) {
    logging::log(Level::WARNING, "[Benchmark] cross_validate: no held-out errors computed.");
    return kInf;
  }
  return std::accumulate(errors.begin(), errors.end(), 0.0) / static_cast<double>(errors.size());
}

std::optional<std::pair<cv::Mat, cv::Mat>> CalibrationBenchmark::reprojectionErrorInputs(
    const cv::Mat& image, const CalibrationTarget& target) const {
  const cv::Mat gray = detail::toGray(image);
  // the benchmark's own fixed settings, not the options
  DetectionSettings settings = DetectionSettings::forPose();
  settings.chessboard_flags = cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE;
  TargetDetection d = TargetDetector(target, settings).detect(gray);
  if (!d.found || d.object_points.empty()) return std::nullopt;
  return std::make_pair(std::move(d.object_points), std::move(d.image_points));
}

std::optional<double> CalibrationBenchmark::reprojectionErrorOnImage(const cv::Mat& image,
                                                                     const CalibrationTarget& target,
                                                                     const cv::Mat& cameraMatrix,
                                                                     const cv::Mat& distCoeffs) const {
  const auto inputs = reprojectionErrorInputs(image, target);
  if (!inputs || inputs->first.rows < static_cast<int>(kMinPointsPerView)) return std::nullopt;
  cv::Mat rvec, tvec;
  if (!cv::solvePnP(inputs->first, inputs->second, cameraMatrix, distCoeffs, rvec, tvec, false,
                    cv::SOLVEPNP_ITERATIVE)) {
    return std::nullopt;
  }
  return geometry::viewReprojectionError(inputs->first, inputs->second, rvec, tvec, cameraMatrix, distCoeffs);
}

double CalibrationBenchmark::handEyeRoundtrip(const std::vector<cv::Mat>& images,
                                              const std::vector<cv::Mat>& robotPoses, const cv::Mat& tcpTCamera,
                                              const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                              const CalibrationTarget& target,
                                              const std::vector<cv::Mat>& cameraTTargetList) const {
  return roundtrip(images, robotPoses, tcpTCamera, intrinsicMatrix, distortionCoefficients, target, cameraTTargetList,
                   "hand_eye_roundtrip");
}

double CalibrationBenchmark::roundtrip(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& robotPoses,
                                       const cv::Mat& tcpTCamera, const cv::Mat& intrinsicMatrix,
                                       const cv::Mat& distortionCoefficients, const CalibrationTarget& target,
                                       const std::vector<cv::Mat>& cameraTTargetList, const std::string& name) const {
  const std::string component = "[Benchmark] " + name;
  if (cameraTTargetList.empty() || cameraTTargetList.size() != robotPoses.size()) {
    logging::log(Level::WARNING,
                 component + ": camera_T_target_list missing  -  cannot recover base_T_board; skipping.");
    return kInf;
  }
  detail::requireFinite(robotPoses, component, "robot_poses");
  detail::requireFinite(tcpTCamera, component, "tcp_T_camera");
  detail::requireIntrinsicShapes(intrinsicMatrix, distortionCoefficients, component);
  detail::requireFinite(cameraTTargetList, component, "camera_T_target_list");
  detail::requireColourImages(images, component, "images");
  cv::Mat X;
  tcpTCamera.convertTo(X, CV_64F);
  std::vector<cv::Mat> worldTTarget;
  std::vector<cv::Mat> robotTTcp;
  for (std::size_t i = 0; i < robotPoses.size(); ++i) {
    cv::Mat robot, cameraTTarget;
    robotPoses[i].convertTo(robot, CV_64F);
    cameraTTargetList[i].convertTo(cameraTTarget, CV_64F);
    robotTTcp.push_back(robot);
    worldTTarget.push_back(robot * X * cameraTTarget);
  }
  const cv::Mat worldTTargetMean = tf::averagePose(worldTTarget);
  const cv::Mat cameraTTcp = X.inv(cv::DECOMP_LU);

  const std::size_t frames = std::min(images.size(), robotTTcp.size());
  std::vector<std::optional<double>> perFrame(frames);
  detail::forEachView(frames, [&](std::size_t i) {
    const auto inputs = reprojectionErrorInputs(images[i], target);
    if (!inputs || inputs->first.rows < static_cast<int>(kMinPointsPerView)) return;
    const cv::Mat predicted = cameraTTcp * robotTTcp[i].inv(cv::DECOMP_LU) * worldTTargetMean;
    cv::Mat rvec;
    cv::Rodrigues(predicted(cv::Rect(0, 0, 3, 3)), rvec);
    const cv::Mat tvec = predicted(cv::Rect(3, 0, 1, 3)).clone();
    perFrame[i] = geometry::viewReprojectionError(inputs->first, inputs->second, rvec, tvec, intrinsicMatrix,
                                                  distortionCoefficients);
  });
  std::vector<double> errors;
  for (const std::optional<double>& e : perFrame) {
    if (e) errors.push_back(*e);
  }
  if (errors.empty()) {
    logging::log(Level::WARNING, component + ": no valid frames.");
    return kInf;
  }
  return std::accumulate(errors.begin(), errors.end(), 0.0) / static_cast<double>(errors.size());
}

double CalibrationBenchmark::eyeToHandRoundtrip(const std::vector<cv::Mat>& images,
                                                const std::vector<cv::Mat>& robotPoses, const cv::Mat& robotTCamera,
                                                const cv::Mat& intrinsicMatrix,
                                                const cv::Mat& distortionCoefficients,
                                                const CalibrationTarget& target,
                                                const std::vector<cv::Mat>& cameraTTargetList) const {
  // With tcp_T_robot in place of robot_T_tcp, the eye-in-hand round trip's fixed pose is the board's
  // on the flange and its prediction camera_T_robot * robot_T_tcp * tcp_T_target.
  const std::string component = "[Benchmark] eye_to_hand_roundtrip";
  detail::requireFinite(robotPoses, component, "robot_poses");
  detail::requireRigid(robotPoses, component, "robot_poses");
  return roundtrip(images, detail::inverseRigid(robotPoses), robotTCamera, intrinsicMatrix, distortionCoefficients, target,
                   cameraTTargetList, "eye_to_hand_roundtrip");
}

std::string CalibrationBenchmark::formatResults(const std::vector<BenchmarkResult>& results) {
  const std::string rule(64, '='), dashes(64, '-');
  std::ostringstream os;
  os << rule << "\nBENCHMARK SUMMARY\n" << rule << "\n";
  os << std::left << std::setw(28) << "Backend" << std::right << std::setw(6) << "RPE" << std::setw(6) << "Held"
     << std::setw(6) << "RT" << "\n";
  os << dashes << "\n";
  for (const BenchmarkResult& r : results) {
    // padded by characters (UTF-8 code points), not bytes, so that names line up
    const auto points = static_cast<std::size_t>(std::count_if(
        r.backend_name.begin(), r.backend_name.end(), [](char ch) { return (static_cast<unsigned char>(ch) & 0xC0) != 0x80; }));
    os << r.backend_name << std::string(points < 28 ? 28 - points : 0, ' ');
    os << std::right << std::fixed << std::setprecision(2)
       << std::setw(6) << r.reprojection_error << std::setw(6) << r.held_out_reprojection_error;
    if (r.hand_eye_roundtrip_error < 0) {
      os << std::setw(6) << "-";
    } else {
      os << std::setw(6) << r.hand_eye_roundtrip_error;
    }
    os << "\n";
  }
  os << dashes << "\n";
  return os.str();
}

void CalibrationBenchmark::saveJson(const std::vector<BenchmarkResult>& results, const std::string& path) {
  using nlohmann::json;
  const std::string runTimestamp = utcTimestamp();
  json list = json::array();
  for (const BenchmarkResult& r : results) {
    json item = json::object();
    item["backend_name"] = r.backend_name;
    item["reprojection_error"] = round6(r.reprojection_error);
    item["held_out_reprojection_error"] = round6(r.held_out_reprojection_error);
    item["hand_eye_roundtrip_error"] =
        r.hand_eye_roundtrip_error < 0 ? json(nullptr) : json(round6(r.hand_eye_roundtrip_error));
    item["camera_matrix"] = detail::matrixToJson(r.camera_matrix);
    item["dist_coeffs"] = detail::flatToJson(r.dist_coeffs);
    item["timestamp"] = r.timestamp;
    item["image_count"] = r.image_count;
    list.push_back(std::move(item));
  }
  json doc = json::object();
  doc["results"] = std::move(list);
  doc["run_timestamp"] = runTimestamp;
  const std::string text = doc.dump(2, ' ', false);
  io::writeFileAtomically(path, text, "[Benchmark] ");
  logging::log(Level::INFO, "[Benchmark] Results written to " + path);
}

}  // namespace vesk::quality
