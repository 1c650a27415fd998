#include "calibration/intrinsic.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

#include <opencv2/calib3d.hpp>

#include "core/constants.hpp"
#include "core/failure.hpp"
#include "core/logging.hpp"
#include "core/threads.hpp"
#include "core/transforms.hpp"
#include "geometry/reprojection.hpp"
#include "targets/detection.hpp"

namespace vesk::calibration {

using logging::Level;

namespace {

constexpr std::string_view kTag = "[IntrinsicCalibrator] ";

// Fewer views leave the camera matrix free to fit anything (one view of a board gives an fx 14 % off).
constexpr std::size_t kMinViews = 3;

// Checked at every image, so that an empty batch raises nothing.
void checkChessboardFinder(const CalibrationTarget& target, const std::string& name) {
  std::visit(Overloaded{[&](const ChessboardTarget&) {
                          if (name != "Default" && name != "Sector Based") {
                            throw std::invalid_argument(
                                "IntrinsicCalibrator: chessboard_corner_detector must be 'Default' or 'Sector "
                                "Based', got '" +
                                name + "'");
                          }
                        },
                        [](const auto&) {}},
             target);
}

DetectionSettings detectionSettings(const IntrinsicOptions& options) {
  DetectionSettings s;
  s.sector_based = options.chessboard_corner_detector == "Sector Based";
  s.chessboard_flags = options.chessboard_flags;
  s.sub_pixel_window = options.sub_pixel_detection_window_size;
  s.sub_pixel_zero_zone = options.sub_pixel_detection_zero_zone_size;
  s.sub_pixel_criteria = options.criteria;
  return s;
}

std::string missedTargetMessage(const CalibrationTarget& target, std::size_t image) {
  const char* text = std::visit(
      Overloaded{[](const ChessboardTarget&) { return "[IntrinsicCalibrator] Chessboard not found in image "; },
                 [](const CharucoTarget&) { return "[CharucoIntrinsicCalibrator] Not enough ChArUco corners in image "; },
                 [](const ArucoTarget&) { return "[ArucoIntrinsicCalibrator] Not enough ArUco markers in image "; }},
      target);
  return text + std::to_string(image);
}

// ChArUco markers found in views that give too few corners: the board is described wrong. Says so
// once, naming squares_x and squares_y swapped when the swapped board finds the corners.
void warnIfBoardMisdescribed(const CalibrationTarget& target, const std::vector<cv::Mat>& images,
                             const std::vector<int>& markersOnly) {
  const auto* charuco = std::get_if<CharucoTarget>(&target);
  if (charuco == nullptr) return;
  std::vector<std::size_t> views;
  for (std::size_t i = 0; i < markersOnly.size(); ++i) {
    if (markersOnly[i] >= static_cast<int>(kMinPointsPerView)) views.push_back(i);
  }
  if (views.size() < 2) return;
  const std::string where = "ChArUco markers were found in " + std::to_string(views.size()) + " images (" +
                            std::to_string(markersOnly[views[0]]) + " in image " + std::to_string(views[0]) +
                            ") but too few corners between them: the board is described wrong";
  std::string cause;
  if (charuco->squares_x != charuco->squares_y) {
    const CharucoTarget swapped(charuco->squares_y, charuco->squares_x, charuco->square_length, charuco->marker_length,
                                charuco->aruco_dict_id);
    const TargetDetection d = TargetDetector(swapped).detect(detail::toGray(images[views[0]]));
    if (d.found) {
      cause = ". With squares_x and squares_y swapped (" + std::to_string(swapped.squares_x) + " x " +
              std::to_string(swapped.squares_y) + ") image " + std::to_string(views[0]) + " gives " +
              std::to_string(d.image_points.rows) + " corners: swap them.";
    }
  }
  if (cause.empty()) {
    cause = "; the likely causes are squares_x and squares_y swapped (squares across, then down), the wrong "
            "dictionary, or a board printed with another layout (legacy pattern).";
  }
  logging::log(Level::WARNING, "[CharucoIntrinsicCalibrator] " + where + cause);
}

// The caller's starting values, checked, and copied because OpenCV writes into them.
std::pair<cv::Mat, cv::Mat> startingGuess(const IntrinsicOptions& options) {
  if (options.intrinsic_matrix_guess) {
    detail::requireFinite(*options.intrinsic_matrix_guess, "IntrinsicCalibrator", "intrinsic_matrix_guess");
  }
  if (options.distortion_coefficients_guess) {
    detail::requireFinite(*options.distortion_coefficients_guess, "IntrinsicCalibrator",
                          "distortion_coefficients_guess");
  }
  return {options.intrinsic_matrix_guess ? options.intrinsic_matrix_guess->clone() : cv::Mat(),
          options.distortion_coefficients_guess ? options.distortion_coefficients_guess->clone() : cv::Mat()};
}

// A ChArUco view holds a different subset of the board each time, so it always takes the plain solve.
bool releaseObjectWanted(const CalibrationTarget& target, const IntrinsicOptions& options) {
  return std::visit(Overloaded{[](const CharucoTarget&) { return false; },
                               [&](const auto&) {
                                 const std::string& name = options.calibrate_camera_method;
                                 if (name == "Release Object") return true;
                                 if (name == "Default") return false;
                                 throw std::invalid_argument(
                                     "IntrinsicCalibrator: calibrate_camera_method must be 'Default' or 'Release "
                                     "Object', got '" +
                                     name + "'");
                               }},
                    target);
}

// The camera solve runs to its minimum: the options' criteria suit cornerSubPix, but their
// relative step of 1e-3 ends the solve while the principal point still moves by pixels. They
// stay a floor: a caller's larger count or smaller epsilon is kept. OpenCV caps the count at 1000.
cv::TermCriteria solveCriteria(const cv::TermCriteria& given) {
  constexpr int kMaxIterations = 1000;
  constexpr double kRelativeStep = 1e-12;
  const int count = (given.type & cv::TermCriteria::COUNT) ? std::max(given.maxCount, kMaxIterations) : kMaxIterations;
  const double eps = (given.type & cv::TermCriteria::EPS) ? std::min(given.epsilon, kRelativeStep) : kRelativeStep;
  return cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, count, eps);
}

// Views whose board orientations span a few degrees leave the focal length and the principal
// point to the noise (all near fronto-parallel, or all tilted alike).
void warnIfOrientationsNarrow(const std::vector<cv::Mat>& rvecs) {
  constexpr double kMinSpreadDeg = 5.0;
  std::vector<cv::Vec3d> normals;
  for (const cv::Mat& r : rvecs) {
    cv::Mat R;
    cv::Rodrigues(r, R);
    normals.emplace_back(R.at<double>(0, 2), R.at<double>(1, 2), R.at<double>(2, 2));
  }
  double widest = 0.0;
  for (std::size_t i = 0; i < normals.size(); ++i) {
    for (std::size_t j = i + 1; j < normals.size(); ++j) {
      const double c = std::max(-1.0, std::min(1.0, normals[i].dot(normals[j])));
      widest = std::max(widest, toDegrees(std::acos(c)));
    }
  }
  if (widest < kMinSpreadDeg) {
    std::ostringstream os;
    os << std::fixed << std::setprecision(1) << widest;
    logging::log(Level::WARNING, "[IntrinsicCalibrator] The board's orientations span only " + os.str() +
                                     " deg over the views: the focal length and the principal point are poorly "
                                     "determined. Tilt the board by 20 to 40 degrees in several directions.");
  }
}

// Per-view errors into the result, and the positions of the views at or below the threshold.
void filterViews(IntrinsicResult& result, cv::Mat perViewErrors, double threshold) {
  perViewErrors.convertTo(perViewErrors, CV_64F);
  result.per_view_errors.assign(perViewErrors.begin<double>(), perViewErrors.end<double>());
  for (std::size_t k = 0; k < result.per_view_errors.size(); ++k) {
    if (threshold >= result.per_view_errors[k]) result.low_view_error_indices.push_back(static_cast<int>(k));
  }
  if (result.low_view_error_indices.empty()) {
    logging::log(Level::WARNING, "[IntrinsicCalibrator] No view with reprojection error below " +
                                     std::to_string(threshold) +
                                     ". Returning intrinsics anyway with low_view_error_indices=[].");
  }
}

}  // namespace

IntrinsicCalibrator::IntrinsicCalibrator(CalibrationTarget target, IntrinsicOptions options)
    : target_(std::move(target)), options_(std::move(options)) {}

TargetDetections IntrinsicCalibrator::findCorners(const std::vector<cv::Mat>& images) const {
  // built once up front, so that a target no detector can be built for fails before any image
  const TargetDetector check(target_, detectionSettings(options_));
  std::vector<std::optional<TargetDetection>> found(images.size());
  std::vector<cv::Mat> annotated(images.size());
  std::vector<int> markersOnly(images.size(), 0);
  // A detector per view: OpenCV's detectors write to their parameters while they detect.
  detail::forEachView(images.size(), [&](std::size_t i) {
    const TargetDetector detector(target_, detectionSettings(options_));
    // checked in view order, so that the error comes after the same warnings on any thread count
    detail::requireColourImage(images[i], "IntrinsicCalibrator", "images[" + std::to_string(i) + "]");
    const cv::Mat gray = detail::toGray(images[i]);
    checkChessboardFinder(target_, options_.chessboard_corner_detector);
    TargetDetection d = detector.detect(gray);
    if (!d.found) {
      logging::log(Level::WARNING, missedTargetMessage(target_, i));
      markersOnly[i] = static_cast<int>(d.marker_ids.size());
      return;
    }
    annotated[i] = detector.annotate(images[i], d);
    found[i] = std::move(d);
  });
  warnIfBoardMisdescribed(target_, images, markersOnly);
  TargetDetections out;
  for (std::size_t i = 0; i < images.size(); ++i) {
    if (!found[i]) continue;
    TargetDetection& d = *found[i];
    out.successful_indices.push_back(static_cast<int>(i));
    out.annotated_images.push_back(std::move(annotated[i]));
    out.image_points.push_back(std::move(d.image_points));
    out.object_points.push_back(std::move(d.object_points));
    if (!d.ids.empty()) out.point_ids.push_back(cv::Mat(d.ids, true));
  }
  return out;
}

IntrinsicResult IntrinsicCalibrator::calibrate(const std::vector<cv::Mat>& images) {
  // The size of the first image is the camera's; views of another size come from another camera or
  // were scaled or cropped, and would pull the intrinsics towards neither.
  for (std::size_t i = 1; i < images.size(); ++i) {
    if (images[i].size() != images.front().size()) {
      throw std::invalid_argument("IntrinsicCalibrator: images[" + std::to_string(i) + "] is " +
                                  std::to_string(images[i].cols) + "x" + std::to_string(images[i].rows) +
                                  " but images[0] is " + std::to_string(images.front().cols) + "x" +
                                  std::to_string(images.front().rows) +
                                  "; calibrate the views of one camera at one resolution");
    }
  }
  detections_ = findCorners(images);
  rvecs_.clear();
  tvecs_.clear();
  return solve(images);
}

IntrinsicResult IntrinsicCalibrator::calibrateDetected(const TargetDetections& all,
                                                       const std::vector<int>& imageIndices, cv::Size imageSize) {
  std::unordered_map<int, std::size_t> positionOf;
  for (std::size_t k = 0; k < all.successful_indices.size(); ++k) positionOf.emplace(all.successful_indices[k], k);
  TargetDetections picked;
  for (std::size_t i = 0; i < imageIndices.size(); ++i) {
    const auto found = positionOf.find(imageIndices[i]);
    if (found == positionOf.end()) {
      logging::log(Level::WARNING, missedTargetMessage(target_, i));
      continue;
    }
    const std::size_t k = found->second;
    picked.successful_indices.push_back(static_cast<int>(i));
    picked.image_points.push_back(all.image_points[k]);
    picked.object_points.push_back(all.object_points[k]);
    if (!all.point_ids.empty()) picked.point_ids.push_back(all.point_ids[k]);
    picked.annotated_images.push_back(all.annotated_images[k]);
  }
  detections_ = std::move(picked);
  rvecs_.clear();
  tvecs_.clear();
  return solveAt(imageSize);
}

IntrinsicResult IntrinsicCalibrator::solve(const std::vector<cv::Mat>& images) {
  if (!detections_.image_points.empty() && images.empty()) {
    throw std::invalid_argument("IntrinsicCalibrator: solve needs the images for their size");
  }
  return solveAt(images.empty() ? cv::Size() : images.front().size());
}

IntrinsicResult IntrinsicCalibrator::solveAt(cv::Size imageSize) {
  IntrinsicResult result;
  result.successful_indices = detections_.successful_indices;
  result.image_points = detections_.image_points;
  if (detections_.image_points.empty()) {
    result.failure = logFailure(Level::WARNING, kTag, "no_corners", "No corners found. Check the images and try again.");
    return result;
  }

  if (detections_.image_points.size() < kMinViews) {
    result.failure = logFailure(Level::WARNING, kTag, "too_few_views",
                                "The target was found in " + std::to_string(detections_.image_points.size()) +
                                    (detections_.image_points.size() == 1 ? " view" : " views") +
                                    " only; a camera calibration needs at least 3 (about 10 tilted views for a "
                                    "good one).");
    return result;
  }
  auto [K, D] = startingGuess(options_);
  if ((options_.calibrate_camera_flags & cv::CALIB_USE_INTRINSIC_GUESS) && !K.empty()) {
    if (const std::string problem = detail::cameraMatrixProblem(K, imageSize); !problem.empty()) {
      throw std::invalid_argument("IntrinsicCalibrator: intrinsic_matrix_guess is not a camera matrix: " + problem);
    }
  }
  const bool releaseObject = releaseObjectWanted(target_, options_);

  cv::Mat stdIntrinsics, stdExtrinsics, perViewErrors;
  double rms = 0.0;
  const detail::SequentialSolve sequential;
  if (releaseObject) {
    cv::Mat newObjPoints, stdObjPoints;
    rms = cv::calibrateCameraRO(detections_.object_points, detections_.image_points, imageSize,
                                options_.index_of_fixed_3d_point, K, D, rvecs_, tvecs_, newObjPoints, stdIntrinsics,
                                stdExtrinsics, stdObjPoints, perViewErrors, options_.calibrate_camera_flags,
                                solveCriteria(options_.criteria));
  } else {
    rms = cv::calibrateCamera(detections_.object_points, detections_.image_points, imageSize, K, D, rvecs_, tvecs_,
                              stdIntrinsics, stdExtrinsics, perViewErrors, options_.calibrate_camera_flags,
                              solveCriteria(options_.criteria));
  }
  if (!(rms > 0.0) || !std::isfinite(rms) || !detail::allFinite(K) || !detail::allFinite(D)) {
    result.failure = logFailure(Level::ERROR, kTag, "solve_failed", "Camera calibration failed. Check the images and try again.");
    return result;
  }

  warnIfOrientationsNarrow(rvecs_);
  filterViews(result, perViewErrors, options_.per_view_error_threshold);
  result.intrinsic_matrix = K;
  result.distortion_coefficients = D.reshape(1, 1);
  result.std_deviations_intrinsics = stdIntrinsics;
  result.std_deviations_extrinsics = stdExtrinsics;
  result.reprojection_error = meanReprojectionError(result.intrinsic_matrix, result.distortion_coefficients);
  result.ok = true;
  return result;
}

std::optional<std::pair<cv::Mat, cv::Mat>> IntrinsicCalibrator::solveWithout(const std::vector<int>& leftOutImages,
                                                                             cv::Size imageSize, const cv::Mat& K,
                                                                             const cv::Mat& D) const {
  std::vector<cv::Mat> objects, points;
  for (std::size_t k = 0; k < detections_.successful_indices.size(); ++k) {
    if (std::find(leftOutImages.begin(), leftOutImages.end(), detections_.successful_indices[k]) != leftOutImages.end()) {
      continue;
    }
    objects.push_back(detections_.object_points[k]);
    points.push_back(detections_.image_points[k]);
  }
  if (objects.size() < kMinViews) return std::nullopt;
  cv::Mat K2 = K.clone(), D2 = D.clone();
  std::vector<cv::Mat> rvecs, tvecs;
  const int flags = options_.calibrate_camera_flags | cv::CALIB_USE_INTRINSIC_GUESS;
  const detail::SequentialSolve sequential;
  double rms = 0.0;
  try {
    if (releaseObjectWanted(target_, options_)) {
      cv::Mat newObjPoints;
      rms = cv::calibrateCameraRO(objects, points, imageSize, options_.index_of_fixed_3d_point, K2, D2, rvecs, tvecs,
                                  newObjPoints, flags, solveCriteria(options_.criteria));
    } else {
      rms = cv::calibrateCamera(objects, points, imageSize, K2, D2, rvecs, tvecs, flags,
                                solveCriteria(options_.criteria));
    }
  } catch (const cv::Exception&) {
    return std::nullopt;
  }
  if (!(rms > 0.0) || !std::isfinite(rms) || !detail::allFinite(K2) || !detail::allFinite(D2)) return std::nullopt;
  return std::make_pair(K2, D2.reshape(1, 1));
}

double IntrinsicCalibrator::meanReprojectionError(const cv::Mat& cameraMatrix, const cv::Mat& distCoeffs) const {
  const std::size_t views = detections_.object_points.size();
  if (views == 0) return 0.0;
  if (rvecs_.size() != views || tvecs_.size() != views) {
    throw std::runtime_error("IntrinsicCalibrator: no solved pose for every view; calibrate first");
  }
  double sum = 0.0;
  for (std::size_t v = 0; v < views; ++v) {
    sum += geometry::viewReprojectionError(detections_.object_points[v], detections_.image_points[v], rvecs_[v],
                                           tvecs_[v], cameraMatrix, distCoeffs);
  }
  return sum / static_cast<double>(views);
}

std::optional<double> suppliedIntrinsicsMisfit(const std::vector<cv::Mat>& objectPoints,
                                               const std::vector<cv::Mat>& imagePoints, cv::Size imageSize,
                                               double suppliedRms, int iterations) {
  constexpr double kFloorRms = 0.5;
  constexpr double kRatio = 5.0;
  if (imagePoints.size() < 3 || !(suppliedRms > kFloorRms)) return std::nullopt;
  cv::Mat K, D;
  std::vector<cv::Mat> rvecs, tvecs;
  double own = std::numeric_limits<double>::quiet_NaN();
  try {
    const detail::SequentialSolve sequential;
    own = cv::calibrateCamera(objectPoints, imagePoints, imageSize, K, D, rvecs, tvecs, 0,
                              cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, iterations, 1e-9));
  } catch (const cv::Exception&) {
    return std::nullopt;
  }
  if (!(suppliedRms > kRatio * own)) return std::nullopt;
  return own;
}

}  // namespace vesk::calibration
