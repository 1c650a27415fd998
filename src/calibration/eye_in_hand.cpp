#include "calibration/eye_in_hand.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include <opencv2/objdetect/aruco_detector.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>

#include "core/logging.hpp"
#include "core/matrix_text.hpp"
#include "core/transforms.hpp"
#include "io/result_files.hpp"
#include "quality/rotation_variety.hpp"
#include "targets/detection.hpp"

namespace vesk::calibration {

using logging::Level;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr const char* kComponent = "EyeInHandCalibrator";

cv::Mat transformFromPnP(const cv::Mat& rvec, const cv::Mat& tvec) {
  cv::Mat R;
  cv::Rodrigues(rvec, R);
  return detail::rigidTransform(R, tvec);
}

// A pose handed in by the caller must be 4x4 before its blocks are cut out.
cv::Mat checkedPose(const cv::Mat& pose, const char* list, std::size_t i) {
  if (pose.dims != 2 || pose.rows != 4 || pose.cols != 4 || pose.channels() != 1) {
    throw std::invalid_argument(std::string("EyeInHandCalibrator: ") + list + "[" + std::to_string(i) +
                                "] must be a 4x4 matrix");
  }
  cv::Mat d;
  pose.convertTo(d, CV_64F);
  return d;
}

// Hand-eye rotation is observable only from two flange motions about
// non-parallel axes. Motions are taken relative to the first pose; a motion
// counts when it rotates more than kMinMotionRad, and two axes count as
// different when they are more than kMinMotionRad apart.
constexpr double kMinMotionRad = 1.0 * kPi / 180.0;

bool rotationObservable(const std::vector<cv::Mat>& rGripper) {
  std::vector<cv::Vec3d> axes;
  for (std::size_t i = 1; i < rGripper.size(); ++i) {
    cv::Vec3d axis;
    if (detail::rotationAngleAxis(rGripper[0].t() * rGripper[i], axis) > kMinMotionRad) axes.push_back(axis);
  }
  for (std::size_t i = 0; i < axes.size(); ++i) {
    for (std::size_t j = i + 1; j < axes.size(); ++j) {
      if (cv::norm(axes[i].cross(axes[j])) > std::sin(kMinMotionRad)) return true;
    }
  }
  return false;
}

}  // namespace

const std::map<std::string, cv::HandEyeCalibrationMethod>& handEyeMethodByNameMap() {
  static const std::map<std::string, cv::HandEyeCalibrationMethod> table = {
      {"ANDREFF", cv::CALIB_HAND_EYE_ANDREFF}, {"DANIILIDIS", cv::CALIB_HAND_EYE_DANIILIDIS},
      {"HORAUD", cv::CALIB_HAND_EYE_HORAUD},   {"PARK", cv::CALIB_HAND_EYE_PARK},
      {"TSAI", cv::CALIB_HAND_EYE_TSAI},
  };
  return table;
}

EyeInHandCalibrator::EyeInHandCalibrator(CalibrationTarget target, IntrinsicOptions options)
    : target_(target), intrinsic_(std::move(target), std::move(options)) {}

HandEyeResult EyeInHandCalibrator::calibrate(const std::vector<cv::Mat>& robotTTcpList,
                                             const std::vector<cv::Mat>& imageList, const std::string& method,
                                             const std::vector<cv::Mat>& cameraTTargetList,
                                             const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                             const std::filesystem::path& outputPath) {
  const auto& table = handEyeMethodByNameMap();
  const auto found = table.find(method);
  if (found == table.end()) throw std::invalid_argument("Unknown hand-eye method '" + method + "'");
  const cv::HandEyeCalibrationMethod solver = found->second;
  detail::requireFinite(robotTTcpList, kComponent, "robot_T_tcp_list");
  detail::requireFinite(cameraTTargetList, kComponent, "camera_T_target_list");
  detail::requireFinite(intrinsicMatrix, kComponent, "intrinsic_matrix");
  detail::requireFinite(distortionCoefficients, kComponent, "distortion_coefficients");

  logging::log(Level::INFO, "Collected images " + std::to_string(imageList.size()));
  logging::log(Level::INFO, "Collected poses " + std::to_string(robotTTcpList.size()));

  HandEyeResult result;
  result.intrinsic_matrix = intrinsicMatrix;
  result.distortion_coefficients = distortionCoefficients;
  std::vector<cv::Mat> cams = cameraTTargetList;
  std::vector<cv::Mat> images = imageList;
  std::vector<cv::Mat> robots = robotTTcpList;

  if (!intrinsicMatrix.empty() && cams.empty()) {
    AlignedTargetPoses aligned =
        computeCameraTTargetList(imageList, robotTTcpList, intrinsicMatrix, distortionCoefficients);
    cams = std::move(aligned.camera_T_target_list);
    images = std::move(aligned.valid_image_list);
    robots = std::move(aligned.valid_robot_T_tcp_list);
    if (cams.size() < 4) {
      logging::log(Level::ERROR,
                   "Only " + std::to_string(cams.size()) + " valid frames after solvePnP  -  need at least 4.");
      result.valid_robot_T_tcp_list = std::move(robots);
      result.valid_image_list = std::move(images);
      return result;
    }
  }

  if (cams.empty()) {
    const IntrinsicResult intrinsic = intrinsic_.calibrate(imageList);
    result.intrinsic_matrix = intrinsic.intrinsic_matrix;
    result.distortion_coefficients = intrinsic.distortion_coefficients;
    result.reprojection_error = intrinsic.reprojection_error;

    std::vector<std::size_t> positions;  // positions in successful_indices
    if (intrinsic.low_view_error_indices.empty()) {
      for (std::size_t k = 0; k < intrinsic.successful_indices.size(); ++k) positions.push_back(k);
    } else {
      for (int k : intrinsic.low_view_error_indices) positions.push_back(static_cast<std::size_t>(k));
    }
    images.clear();
    robots.clear();
    std::vector<cv::Mat> points;
    for (std::size_t k : positions) {
      const auto imageIndex = static_cast<std::size_t>(intrinsic.successful_indices[k]);
      // Images beyond the end of the robot pose list have no pose to pair with.
      if (imageIndex >= robotTTcpList.size()) {
        logging::log(Level::WARNING,
                     "[EyeInHandCalibrator] No robot pose for image " + std::to_string(imageIndex) + ", skipping.");
        continue;
      }
      images.push_back(imageList[imageIndex]);
      robots.push_back(robotTTcpList[imageIndex]);
      points.push_back(intrinsic.image_points[k]);
    }
    if (result.intrinsic_matrix.empty() || robots.size() < 4) {
      logging::log(Level::ERROR, "Not enough valid images for extrinsic calibration. Need at least 4!");
      result.valid_robot_T_tcp_list = std::move(robots);
      result.valid_image_list = std::move(images);
      return result;
    }
    logging::log(Level::INFO, "Calculating extrinsic (hand-eye) transform...");
    TargetPoses poses =
        computeTargetPoses(images, points, result.intrinsic_matrix, result.distortion_coefficients);
    cams = std::move(poses.camera_T_target_list);
    std::vector<cv::Mat> keptImages, keptRobots;
    for (int k : poses.valid_indices) {
      keptImages.push_back(images[static_cast<std::size_t>(k)]);
      keptRobots.push_back(robots[static_cast<std::size_t>(k)]);
    }
    images = std::move(keptImages);
    robots = std::move(keptRobots);
  } else if (!cameraTTargetList.empty() && robotTTcpList.size() != cameraTTargetList.size()) {
    throw std::invalid_argument(
        "EyeInHandCalibrator: robot_T_tcp_list must be pre-aligned to camera_T_target_list. Got " +
        std::to_string(robotTTcpList.size()) + " (robot) vs " + std::to_string(cameraTTargetList.size()) +
        " (camera). Filter robot_T_tcp_list by the backend's successful indices before passing it in.");
  }

  result.valid_robot_T_tcp_list = robots;
  result.valid_image_list = images;
  result.camera_T_target_list = cams;

  if (robots.size() < 4) {
    logging::log(Level::ERROR, "Not enough valid poses for hand-eye calibration after filtering. Got " +
                                   std::to_string(robots.size()) + ", need at least 4.");
    return result;
  }

  std::vector<cv::Mat> rGripper, tGripper, rTarget, tTarget;
  for (std::size_t i = 0; i < robots.size(); ++i) {
    const cv::Mat robot = checkedPose(robots[i], "robot_T_tcp_list", i);
    const cv::Mat cam = checkedPose(cams[i], "camera_T_target_list", i);
    rGripper.push_back(robot(cv::Rect(0, 0, 3, 3)).clone());
    tGripper.push_back(robot(cv::Rect(3, 0, 1, 3)).clone());
    rTarget.push_back(cam(cv::Rect(0, 0, 3, 3)).clone());
    tTarget.push_back(cam(cv::Rect(3, 0, 1, 3)).clone());
  }

  if (rTarget.size() > 1) {
    bool identical = true;
    for (std::size_t i = 1; i < rTarget.size(); ++i) {
      if (!(cv::norm(rTarget[i] - rTarget[0], cv::NORM_INF) < 0.001)) {
        identical = false;
        break;
      }
    }
    if (identical) {
      logging::log(Level::WARNING,
                   "[EyeInHandCalibrator] All camera poses have identical orientation! Hand-eye calibration "
                   "requires varied rotations to solve uniquely.");
    }
  }

  if (!rotationObservable(rGripper)) {
    logging::log(Level::WARNING,
                 "[EyeInHandCalibrator] Hand-eye rotation is not observable: fewer than two robot motions rotate "
                 "(by more than 1 deg) about non-parallel axes. Vary the flange orientation about two axes.");
    return result;
  }

  cv::Mat rCam, tCam;
  cv::calibrateHandEye(rGripper, tGripper, rTarget, tTarget, rCam, tCam, solver);
  const cv::Mat solved = detail::rigidTransform(rCam, tCam);
  if (!detail::isRigidTransform(solved)) {
    logging::log(Level::WARNING, "[EyeInHandCalibrator] " + method +
                                     " returned a non-finite transform or a rotation that is not orthonormal.");
    return result;
  }
  result.tcp_T_camera = solved;

  result.ok = true;
  // Target poses handed in without an intrinsic matrix give nothing to project with.
  if (!result.intrinsic_matrix.empty()) computeConsistency(result);

  last_result_ = result;
  logging::log(Level::INFO, "Extrinsic calibration complete.");
  printResults();

  if (!outputPath.empty()) {
    io::HandEyeResultRecord record;
    record.reference_index = 0;
    record.num_cameras = 1;
    record.method = method;
    record.num_frames_used = static_cast<int>(result.valid_image_list.size());
    record.num_frames_total = static_cast<int>(imageList.size());
    record.tcp_T_camera_list = {result.tcp_T_camera};
    io::saveHandEyeResult(outputPath, record);
  }
  return result;
}

EyeInHandCalibrator::AlignedTargetPoses EyeInHandCalibrator::computeCameraTTargetList(
    const std::vector<cv::Mat>& imageList, const std::vector<cv::Mat>& robotTTcpList, const cv::Mat& intrinsicMatrix,
    const cv::Mat& distortionCoefficients) const {
  const auto* charuco = std::get_if<CharucoTarget>(&target_);
  if (charuco == nullptr) {
    throw std::invalid_argument("EyeInHandCalibrator::computeCameraTTargetList only supports CharucoTarget");
  }
  detail::requireFinite(intrinsicMatrix, kComponent, "intrinsic_matrix");
  detail::requireFinite(distortionCoefficients, kComponent, "distortion_coefficients");
  const cv::aruco::CharucoBoard board = charuco->buildBoard();
  const cv::aruco::CharucoDetector detector = charuco->buildDetector();
  const std::vector<cv::Point3f> boardCorners = board.getChessboardCorners();

  AlignedTargetPoses out;
  for (std::size_t i = 0; i < imageList.size() && i < robotTTcpList.size(); ++i) {
    const cv::Mat gray = detail::toGray(imageList[i]);
    std::vector<cv::Point2f> corners;
    std::vector<int> ids;
    detector.detectBoard(gray, corners, ids, cv::noArray(), cv::noArray());
    if (corners.size() < 4) {
      logging::log(Level::WARNING, "frame " + std::to_string(i) + ": ChArUco detection failed  -  skipping");
      continue;
    }
    cv::Mat rvec, tvec;
    if (!cv::solvePnP(detail::charucoObjectPoints(boardCorners, ids), corners, intrinsicMatrix, distortionCoefficients, rvec,
                      tvec, false, cv::SOLVEPNP_ITERATIVE)) {
      logging::log(Level::WARNING, "frame " + std::to_string(i) + ": solvePnP failed  -  skipping");
      continue;
    }
    out.camera_T_target_list.push_back(transformFromPnP(rvec, tvec));
    out.valid_image_list.push_back(imageList[i]);
    out.valid_robot_T_tcp_list.push_back(robotTTcpList[i]);
  }
  logging::log(Level::INFO, "compute_camera_T_target_list: " + std::to_string(out.camera_T_target_list.size()) +
                                "/" + std::to_string(imageList.size()) + " frames passed");
  return out;
}

EyeInHandCalibrator::TargetPoses EyeInHandCalibrator::computeTargetPoses(const std::vector<cv::Mat>& images,
                                                                         const std::vector<cv::Mat>& imagePoints,
                                                                         const cv::Mat& intrinsicMatrix,
                                                                         const cv::Mat& distortionCoefficients) const {
  TargetPoses out;
  auto accept = [&](const cv::Mat& rvec, const cv::Mat& tvec, std::size_t k) {
    out.camera_T_target_list.push_back(transformFromPnP(rvec, tvec));
    out.valid_indices.push_back(static_cast<int>(k));
  };

  if (std::holds_alternative<ChessboardTarget>(target_)) {
    const cv::Mat objectPoints = boardObjectPoints();
    for (std::size_t k = 0; k < imagePoints.size(); ++k) {
      cv::Mat rvec, tvec;
      if (!cv::solvePnP(objectPoints, imagePoints[k], intrinsicMatrix, distortionCoefficients, rvec, tvec, false,
                        cv::SOLVEPNP_ITERATIVE)) {
        logging::log(Level::WARNING,
                     "[EyeInHandCalibrator] solvePnP failed for chessboard image " + std::to_string(k) + ", skipping.");
        continue;
      }
      accept(rvec, tvec, k);
    }
  } else if (const auto* charuco = std::get_if<CharucoTarget>(&target_)) {
    const cv::aruco::CharucoBoard board = charuco->buildBoard();
    const cv::aruco::CharucoDetector detector = charuco->buildDetector();
    const std::vector<cv::Point3f> boardCorners = board.getChessboardCorners();
    for (std::size_t k = 0; k < images.size(); ++k) {
      const cv::Mat gray = detail::toGray(images[k]);
      std::vector<cv::Point2f> corners;
      std::vector<int> ids;
      detector.detectBoard(gray, corners, ids, cv::noArray(), cv::noArray());
      if (corners.size() < 4) {
        logging::log(Level::WARNING,
                     "[EyeInHandCalibrator] ChArUco re-detection failed for image " + std::to_string(k) + ", skipping.");
        continue;
      }
      cv::Mat rvec, tvec;
      if (!cv::solvePnP(detail::charucoObjectPoints(boardCorners, ids), corners, intrinsicMatrix, distortionCoefficients,
                        rvec, tvec, false, cv::SOLVEPNP_ITERATIVE)) {
        continue;
      }
      accept(rvec, tvec, k);
    }
  } else {
    const auto& aruco = std::get<ArucoTarget>(target_);
    const cv::aruco::Dictionary dictionary = aruco.buildDictionary();
    const cv::aruco::GridBoard board = aruco.buildBoard();
    const cv::aruco::ArucoDetector detector(dictionary, cv::aruco::DetectorParameters(), defaultRefineParameters());
    for (std::size_t k = 0; k < images.size(); ++k) {
      const cv::Mat gray = detail::toGray(images[k]);
      std::vector<std::vector<cv::Point2f>> markerCorners;
      std::vector<int> ids;
      detector.detectMarkers(gray, markerCorners, ids, cv::noArray());
      if (ids.size() < 4) {
        logging::log(Level::WARNING,
                     "[EyeInHandCalibrator] ArUco re-detection failed for image " + std::to_string(k) + ", skipping.");
        continue;
      }
      std::vector<cv::Point3f> objectPoints;
      std::vector<cv::Point2f> points;
      board.matchImagePoints(markerCorners, ids, objectPoints, points);
      if (objectPoints.empty()) continue;
      cv::Mat rvec, tvec;
      if (!cv::solvePnP(objectPoints, points, intrinsicMatrix, distortionCoefficients, rvec, tvec, false,
                        cv::SOLVEPNP_ITERATIVE)) {
        continue;
      }
      accept(rvec, tvec, k);
    }
  }
  return out;
}

cv::Mat EyeInHandCalibrator::boardObjectPoints() const {
  if (const auto* chess = std::get_if<ChessboardTarget>(&target_)) return chess->objectPoints();
  if (const auto* charuco = std::get_if<CharucoTarget>(&target_)) {
    const std::vector<cv::Point3f> corners = charuco->buildBoard().getChessboardCorners();
    return cv::Mat(corners, true).reshape(1, static_cast<int>(corners.size()));
  }
  const cv::aruco::GridBoard board = std::get<ArucoTarget>(target_).buildBoard();
  std::vector<cv::Point3f> points;
  for (const auto& marker : board.getObjPoints()) points.insert(points.end(), marker.begin(), marker.end());
  if (points.empty()) return cv::Mat(0, 3, CV_32F);
  return cv::Mat(points, true).reshape(1, static_cast<int>(points.size()));
}

void EyeInHandCalibrator::computeConsistency(HandEyeResult& result) const {
  TargetConsistencyStats stats;
  const std::size_t n = std::min(result.valid_robot_T_tcp_list.size(), result.camera_T_target_list.size());
  std::vector<cv::Mat> worldTTarget;
  worldTTarget.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    cv::Mat robot, cam;
    result.valid_robot_T_tcp_list[i].convertTo(robot, CV_64F);
    result.camera_T_target_list[i].convertTo(cam, CV_64F);
    worldTTarget.push_back(robot * result.tcp_T_camera * cam);
  }
  if (n > 0) {
    const cv::Mat mean = tf::averagePose(worldTTarget);
    const cv::Mat meanT = mean(cv::Rect(3, 0, 1, 3));
    const cv::Mat meanR = mean(cv::Rect(0, 0, 3, 3));
    double sumT = 0.0, sumR = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double dt = cv::norm(worldTTarget[i](cv::Rect(3, 0, 1, 3)) - meanT, cv::NORM_L2);
      const cv::Mat Ri = worldTTarget[i](cv::Rect(0, 0, 3, 3));
      const double c = std::max(-1.0, std::min(1.0, (cv::trace(Ri.t() * meanR)[0] - 1.0) * 0.5));
      const double dr = std::acos(c) * 180.0 / kPi;
      stats.translation_deviations_m.push_back(dt);
      stats.rotation_deviations_deg.push_back(dr);
      sumT += dt;
      sumR += dr;
      if (i == 0 || dt > stats.max_translation_m) stats.max_translation_m = dt;
      if (i == 0 || dr > stats.max_rotation_deg) stats.max_rotation_deg = dr;
    }
    stats.mean_translation_m = sumT / static_cast<double>(n);
    stats.mean_rotation_deg = sumR / static_cast<double>(n);
  }

  const cv::Mat board = boardObjectPoints();
  cv::Point3f centre(0.f, 0.f, 0.f);
  if (board.rows > 0) {
    cv::Mat m;
    cv::reduce(board, m, 0, cv::REDUCE_AVG, CV_64F);
    centre = cv::Point3f(static_cast<float>(m.at<double>(0)), static_cast<float>(m.at<double>(1)),
                         static_cast<float>(m.at<double>(2)));
  }
  const cv::Mat distortion =
      result.distortion_coefficients.empty() ? cv::Mat::zeros(1, 5, CV_64F) : result.distortion_coefficients;
  for (const cv::Mat& camRaw : result.camera_T_target_list) {
    cv::Mat cam;
    camRaw.convertTo(cam, CV_64F);
    cv::Mat rvec;
    cv::Rodrigues(cam(cv::Rect(0, 0, 3, 3)), rvec);
    const cv::Mat tvec = cam(cv::Rect(3, 0, 1, 3)).clone();
    stats.distances_m.push_back(cv::norm(tvec, cv::NORM_L2));
    std::vector<cv::Point2f> projected;
    cv::projectPoints(std::vector<cv::Point3f>{centre}, rvec, tvec, result.intrinsic_matrix, distortion, projected);
    stats.board_us.push_back(static_cast<double>(projected[0].x));
    stats.board_vs.push_back(static_cast<double>(projected[0].y));
  }
  result.consistency = std::move(stats);
  result.has_consistency = true;
}

std::string EyeInHandCalibrator::formatResults() const {
  const HandEyeResult& r = last_result_;
  const std::string rule(60, '=');
  std::ostringstream os;
  os << "\n" << rule << "\nHAND-EYE RESULTS\n" << rule << "\n";
  if (r.tcp_T_camera.empty()) {
    os << "Calibration failed.\n";
    return os.str();
  }
  const auto matrix = detail::matrixText;
  os << "\nHand-Eye Transform (TCP -> Camera):\n" << matrix(r.tcp_T_camera) << "\n";
  const std::vector<double> pose = tf::transformationMatrixToPose(r.tcp_T_camera);
  os << "\nPose [x, y, z, rx, ry, rz] (deg):\n  [";
  for (std::size_t i = 0; i < pose.size(); ++i) os << (i ? ", " : "") << pose[i];
  os << "]\n";
  os << "\nIntrinsic Matrix:\n" << matrix(r.intrinsic_matrix) << "\n";
  os << "\nDistortion Coefficients:\n" << matrix(r.distortion_coefficients) << "\n";
  os << "\nReprojection Error: ";
  if (std::isnan(r.reprojection_error)) {
    os << "n/a\n";
  } else {
    os << std::fixed << std::setprecision(4) << r.reprojection_error << " px\n";
  }
  if (r.has_consistency) {
    const TargetConsistencyStats& c = r.consistency;
    os << "\nTarget Consistency Residual:\n";
    os << "  Translation - mean: " << c.mean_translation_m * 1000 << " mm   max: " << c.max_translation_m * 1000
       << " mm\n";
    os << "  Rotation    - mean: " << c.mean_rotation_deg << " deg   max: " << c.max_rotation_deg << " deg\n";
    for (std::size_t i = 0; i < c.translation_deviations_m.size(); ++i) {
      os << "  Frame " << i << ": trans=" << c.translation_deviations_m[i] * 1000
         << "mm rot=" << c.rotation_deviations_deg[i] << "deg dist=" << c.distances_m[i] * 1000 << "mm center=("
         << c.board_us[i] << ", " << c.board_vs[i] << ")\n";
    }
  }
  if (!r.camera_T_target_list.empty()) {
    os << "\n" << quality::formatRotationVariety(quality::analyzeRotationVariety(r.camera_T_target_list, 0.5));
  }
  return os.str();
}

void EyeInHandCalibrator::printResults() const { logging::printReport(formatResults()); }

}  // namespace vesk::calibration
