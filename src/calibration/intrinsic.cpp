#include "calibration/intrinsic.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect/aruco_detector.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>

#include "core/blas.hpp"
#include "core/logging.hpp"
#include "core/transforms.hpp"
#include "targets/annotation.hpp"
#include "targets/detection.hpp"

namespace vesk::calibration {

using logging::Level;

namespace {

void record(TargetDetections& out, int index, cv::Mat imagePoints, cv::Mat objectPoints, cv::Mat annotated) {
  out.successful_indices.push_back(index);
  out.image_points.push_back(std::move(imagePoints));
  out.object_points.push_back(std::move(objectPoints));
  out.annotated_images.push_back(std::move(annotated));
}

TargetDetections detectChessboard(const ChessboardTarget& target, const IntrinsicOptions& options,
                                  const std::vector<cv::Mat>& images) {
  TargetDetections out;
  const cv::Mat boardPoints = target.objectPoints();
  const int win = options.sub_pixel_detection_window_size;
  const int zz = options.sub_pixel_detection_zero_zone_size;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const cv::Mat& image = images[i];
    const cv::Mat gray = detail::toGray(image);
    std::vector<cv::Point2f> corners;
    bool found = false;
    const bool sectorBased = options.chessboard_corner_detector == "Sector Based";
    if (sectorBased) {
      found = cv::findChessboardCornersSB(gray, target.size, corners, options.chessboard_flags);
    } else if (options.chessboard_corner_detector == "Default") {
      found = cv::findChessboardCorners(gray, target.size, corners, options.chessboard_flags);
    } else {
      throw std::invalid_argument(
          "IntrinsicCalibrator: chessboard_corner_detector must be 'Default' or 'Sector Based', got '" +
          options.chessboard_corner_detector + "'");
    }
    if (!found) {
      logging::log(Level::WARNING, "[IntrinsicCalibrator] Chessboard not found in image " + std::to_string(i));
      continue;
    }
    if (!sectorBased) {
      cv::cornerSubPix(gray, corners, cv::Size(win, win), cv::Size(zz, zz), options.criteria);
    }
    cv::Mat annotated = detail::annotatedCopy(
        image, [&](cv::Mat& copy) { cv::drawChessboardCorners(copy, target.size, corners, true); });
    record(out, static_cast<int>(i), cv::Mat(corners, true), boardPoints.clone(), std::move(annotated));
  }
  return out;
}

TargetDetections detectCharuco(const CharucoTarget& target, const std::vector<cv::Mat>& images) {
  TargetDetections out;
  const cv::aruco::CharucoBoard board = target.buildBoard();
  const cv::aruco::CharucoDetector detector(board, cv::aruco::CharucoParameters(), cv::aruco::DetectorParameters(),
                                            defaultRefineParameters());
  const std::vector<cv::Point3f>& boardCorners = board.getChessboardCorners();
  for (std::size_t i = 0; i < images.size(); ++i) {
    const cv::Mat& image = images[i];
    const cv::Mat gray = detail::toGray(image);
    std::vector<cv::Point2f> charucoCorners;
    std::vector<int> charucoIds;
    std::vector<std::vector<cv::Point2f>> markerCorners;
    std::vector<int> markerIds;
    detector.detectBoard(gray, charucoCorners, charucoIds, markerCorners, markerIds);
    if (charucoIds.size() < 4) {
      logging::log(Level::WARNING,
                   "[CharucoIntrinsicCalibrator] Not enough ChArUco corners in image " + std::to_string(i));
      continue;
    }
    cv::Mat objectPoints = detail::charucoObjectPoints(boardCorners, charucoIds);
    cv::Mat annotated = detail::annotatedCopy(image, [&](cv::Mat& copy) {
      if (!markerIds.empty()) cv::aruco::drawDetectedMarkers(copy, markerCorners, markerIds, cv::Scalar(0, 255, 0));
      cv::aruco::drawDetectedCornersCharuco(copy, charucoCorners, charucoIds, cv::Scalar(255, 0, 0));
    });
    record(out, static_cast<int>(i), cv::Mat(charucoCorners, true), std::move(objectPoints), std::move(annotated));
    out.point_ids.push_back(cv::Mat(charucoIds, true));
  }
  return out;
}

TargetDetections detectAruco(const ArucoTarget& target, const std::vector<cv::Mat>& images) {
  TargetDetections out;
  const cv::aruco::Dictionary dictionary = target.buildDictionary();
  const cv::aruco::GridBoard board = target.buildBoard();
  const cv::aruco::ArucoDetector detector(dictionary, cv::aruco::DetectorParameters(), defaultRefineParameters());
  const std::vector<std::vector<cv::Point3f>>& markerObjPoints = board.getObjPoints();
  std::unordered_map<int, std::size_t> positionOfId;
  const std::vector<int>& boardIds = board.getIds();
  // only ids that have board corners can be paired
  for (std::size_t k = 0; k < std::min(boardIds.size(), markerObjPoints.size()); ++k) {
    positionOfId.emplace(boardIds[k], k);
  }

  // Markers of the dictionary that are not on this board carry no board coordinates.
  auto dropForeign = [&](std::vector<std::vector<cv::Point2f>>& corners, std::vector<int>& ids) {
    std::size_t kept = 0;
    for (std::size_t k = 0; k < ids.size(); ++k) {
      if (positionOfId.count(ids[k]) == 0) continue;
      if (kept != k) {
        ids[kept] = ids[k];
        corners[kept] = std::move(corners[k]);
      }
      ++kept;
    }
    ids.resize(kept);
    corners.resize(kept);
  };

  for (std::size_t i = 0; i < images.size(); ++i) {
    const cv::Mat& image = images[i];
    const cv::Mat gray = detail::toGray(image);
    std::vector<std::vector<cv::Point2f>> markerCorners, rejected;
    std::vector<int> markerIds;
    detector.detectMarkers(gray, markerCorners, markerIds, rejected);
    dropForeign(markerCorners, markerIds);
    if (markerIds.size() < 4) {
      logging::log(Level::WARNING, "[ArucoIntrinsicCalibrator] Not enough ArUco markers in image " + std::to_string(i));
      continue;
    }
    detector.refineDetectedMarkers(gray, board, markerCorners, markerIds, rejected);
    dropForeign(markerCorners, markerIds);

    const int m = static_cast<int>(markerIds.size());
    cv::Mat objectPoints(4 * m, 3, CV_32F);
    cv::Mat imagePoints(4 * m, 1, CV_32FC2);
    for (int k = 0; k < m; ++k) {
      const auto& obj = markerObjPoints[positionOfId.at(markerIds[k])];
      for (int c = 0; c < 4; ++c) {
        auto* row = objectPoints.ptr<float>(4 * k + c);
        row[0] = obj[c].x;
        row[1] = obj[c].y;
        row[2] = obj[c].z;
        imagePoints.at<cv::Vec2f>(4 * k + c) = cv::Vec2f(markerCorners[k][c].x, markerCorners[k][c].y);
      }
    }
    cv::Mat annotated = detail::annotatedCopy(image, [&](cv::Mat& copy) {
      cv::aruco::drawDetectedMarkers(copy, markerCorners, markerIds, cv::Scalar(0, 255, 0));
    });
    record(out, static_cast<int>(i), std::move(imagePoints), std::move(objectPoints), std::move(annotated));
  }
  return out;
}

}  // namespace

IntrinsicCalibrator::IntrinsicCalibrator(CalibrationTarget target, IntrinsicOptions options)
    : target_(std::move(target)), options_(std::move(options)) {}

TargetDetections IntrinsicCalibrator::findCorners(const std::vector<cv::Mat>& images) const {
  switch (target_.index()) {
    case 1: return detectCharuco(std::get<CharucoTarget>(target_), images);
    case 2: return detectAruco(std::get<ArucoTarget>(target_), images);
    default: return detectChessboard(std::get<ChessboardTarget>(target_), options_, images);
  }
}

IntrinsicResult IntrinsicCalibrator::calibrate(const std::vector<cv::Mat>& images) {
  detections_ = findCorners(images);
  rvecs_.clear();
  tvecs_.clear();
  return solve(images);
}

IntrinsicResult IntrinsicCalibrator::solve(const std::vector<cv::Mat>& images) {
  IntrinsicResult result;
  result.successful_indices = detections_.successful_indices;
  result.image_points = detections_.image_points;
  if (detections_.image_points.empty()) {
    logging::log(Level::WARNING, "[IntrinsicCalibrator] No corners found. Check the images and try again.");
    return result;
  }
  if (images.empty()) {
    throw std::invalid_argument("IntrinsicCalibrator: solve needs the images for their size");
  }
  const cv::Size imageSize = images.front().size();

  if (options_.intrinsic_matrix_guess) {
    detail::requireFinite(*options_.intrinsic_matrix_guess, "IntrinsicCalibrator", "intrinsic_matrix_guess");
  }
  if (options_.distortion_coefficients_guess) {
    detail::requireFinite(*options_.distortion_coefficients_guess, "IntrinsicCalibrator",
                          "distortion_coefficients_guess");
  }
  cv::Mat K = options_.intrinsic_matrix_guess ? options_.intrinsic_matrix_guess->clone() : cv::Mat();
  cv::Mat D = options_.distortion_coefficients_guess ? options_.distortion_coefficients_guess->clone() : cv::Mat();

  bool releaseObject = false;
  if (target_.index() != 1) {
    if (options_.calibrate_camera_method == "Release Object") {
      releaseObject = true;
    } else if (options_.calibrate_camera_method != "Default") {
      throw std::invalid_argument(
          "IntrinsicCalibrator: calibrate_camera_method must be 'Default' or 'Release Object', got '" +
          options_.calibrate_camera_method + "'");
    }
  }

  cv::Mat stdIntrinsics, stdExtrinsics, perViewErrors;
  double rms = 0.0;
  const detail::SequentialSolve sequential;
  if (releaseObject) {
    cv::Mat newObjPoints, stdObjPoints;
    rms = cv::calibrateCameraRO(detections_.object_points, detections_.image_points, imageSize,
                                options_.index_of_fixed_3d_point, K, D, rvecs_, tvecs_, newObjPoints, stdIntrinsics,
                                stdExtrinsics, stdObjPoints, perViewErrors, options_.calibrate_camera_flags,
                                options_.criteria);
  } else {
    rms = cv::calibrateCamera(detections_.object_points, detections_.image_points, imageSize, K, D, rvecs_, tvecs_,
                              stdIntrinsics, stdExtrinsics, perViewErrors, options_.calibrate_camera_flags,
                              options_.criteria);
  }
  if (!(rms > 0.0) || !std::isfinite(rms) || !detail::allFinite(K) || !detail::allFinite(D)) {
    logging::log(Level::ERROR, "[IntrinsicCalibrator] Camera calibration failed. Check the images and try again.");
    return result;
  }

  perViewErrors.convertTo(perViewErrors, CV_64F);
  result.per_view_errors.assign(perViewErrors.begin<double>(), perViewErrors.end<double>());
  for (std::size_t k = 0; k < result.per_view_errors.size(); ++k) {
    if (options_.per_view_error_threshold >= result.per_view_errors[k]) {
      result.low_view_error_indices.push_back(static_cast<int>(k));
    }
  }
  if (result.low_view_error_indices.empty()) {
    logging::log(Level::WARNING, "[IntrinsicCalibrator] No view with reprojection error below " +
                                     std::to_string(options_.per_view_error_threshold) +
                                     ". Returning intrinsics anyway with low_view_error_indices=[].");
  }

  result.intrinsic_matrix = K;
  result.distortion_coefficients = D.reshape(1, 1);
  result.std_deviations_intrinsics = stdIntrinsics;
  result.std_deviations_extrinsics = stdExtrinsics;
  result.reprojection_error = meanReprojectionError(result.intrinsic_matrix, result.distortion_coefficients);
  result.ok = true;
  return result;
}

double IntrinsicCalibrator::meanReprojectionError(const cv::Mat& cameraMatrix, const cv::Mat& distCoeffs) const {
  const std::size_t views = detections_.object_points.size();
  if (views == 0) return 0.0;
  if (rvecs_.size() != views || tvecs_.size() != views) {
    throw std::runtime_error("IntrinsicCalibrator: no solved pose for every view; calibrate first");
  }
  double sum = 0.0;
  for (std::size_t v = 0; v < views; ++v) {
    cv::Mat projected;
    cv::projectPoints(detections_.object_points[v], rvecs_[v], tvecs_[v], cameraMatrix, distCoeffs, projected);
    const cv::Mat& observed = detections_.image_points[v];
    sum += cv::norm(observed, projected.reshape(observed.channels(), observed.rows), cv::NORM_L2) /
           static_cast<double>(observed.rows);
  }
  return sum / static_cast<double>(views);
}

}  // namespace vesk::calibration
