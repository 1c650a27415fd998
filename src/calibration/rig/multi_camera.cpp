#include "calibration/rig/multi_camera.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <unordered_map>

#include <opencv2/calib3d.hpp>

#include "core/constants.hpp"
#include "core/failure.hpp"
#include "core/statistics.hpp"
#include "core/errors.hpp"
#include "core/logging.hpp"
#include "core/matrix_text.hpp"
#include "core/threads.hpp"
#include "core/transforms.hpp"
#include "geometry/reprojection.hpp"
#include "geometry/triangulation.hpp"
#include "io/result_files.hpp"
#include "targets/detection.hpp"

namespace vesk::calibration {

using logging::Level;

namespace {

const char* const kTag = "[MultiCameraCalibrator] ";

// A pair solve is refused when its RMS exceeds this (px) and this many times the worse camera's own.
constexpr double kMaxPairRms = 0.5;
constexpr double kPairRmsRatio = 5.0;
// Frames out of step: the given pairing must be this far off (deg), and a shift this many times better.
constexpr double kStepFloorDeg = 0.5;
constexpr double kEvidenceRatio = 5.0;
// Two cameras closer than this share of the board distance are one camera seen twice.
constexpr double kMinBaselineShare = 1e-3;
// A frame's relative pose of two cameras is off the rig when it lies this many times the median
// frame's distance from the pose most frames agree on, and at least this far (radians plus share
// of the board distance: 0.05 is 2.9 degrees or 5 %); at most this share of the frames may be off.
constexpr double kOffRigFactor = 10.0;
constexpr double kOffRigFloor = 0.05;
constexpr double kMaxOffRigShare = 0.25;

std::vector<int> sortedIntersection(const std::vector<int>& a, const std::vector<int>& b) {
  std::vector<int> out;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

std::size_t positionOf(const std::vector<int>& list, int value) {
  const auto it = std::find(list.begin(), list.end(), value);
  if (it == list.end()) throw std::runtime_error("multi_camera: frame index not found in successful_indices");
  return static_cast<std::size_t>(it - list.begin());
}

std::vector<int> idsOf(const cv::Mat& m) {
  cv::Mat c = m.isContinuous() ? m : m.clone();
  return std::vector<int>(c.ptr<int>(), c.ptr<int>() + c.total());
}

bool sameMatrix(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0.0);
}

// One frame's points for cv::stereoCalibrate: board coordinates and both cameras' pixels, row by row.
struct PairView {
  cv::Mat object_points, reference_points, camera_points;
};

// Rows refRows[k] of the reference view and camRows[k] of the other camera's view show the same
// board point; the board coordinates are the reference's.
PairView pickRows(const cv::Mat& refObj, const cv::Mat& refPts, const cv::Mat& camPts, const std::vector<int>& refRows,
                  const std::vector<int>& camRows) {
  const int s = static_cast<int>(refRows.size());
  PairView v{cv::Mat(s, 3, CV_32F), cv::Mat(s, 1, CV_32FC2), cv::Mat(s, 1, CV_32FC2)};
  for (int k = 0; k < s; ++k) {
    const int r = refRows[static_cast<std::size_t>(k)];
    refObj.row(r).copyTo(v.object_points.row(k));
    v.reference_points.at<cv::Vec2f>(k) = refPts.at<cv::Vec2f>(r);
    v.camera_points.at<cv::Vec2f>(k) = camPts.at<cv::Vec2f>(camRows[static_cast<std::size_t>(k)]);
  }
  return v;
}

// Views of the same frame as the two cameras' detections hold them, with the names the log uses.
struct FrameViews {
  const cv::Mat& ref_obj;
  const cv::Mat& ref_pts;
  const cv::Mat& cam_obj;
  const cv::Mat& cam_pts;
  std::string frame;
  std::string reference;
  std::string camera;
};

// Chessboard and ArUco views: points are paired by board position, never by row order.
std::optional<PairView> pairByBoardPosition(const FrameViews& f) {
  if (f.ref_pts.rows != f.cam_pts.rows) {
    logging::log(Level::WARNING, std::string(kTag) + "Frame " + f.frame + ": ref has " +
                                     std::to_string(f.ref_pts.rows) + " pts, cam " + f.camera + " has " +
                                     std::to_string(f.cam_pts.rows) + " pts; dropping from pair.");
    return std::nullopt;
  }
  if (sameMatrix(f.ref_obj, f.cam_obj)) return PairView{f.ref_obj, f.ref_pts, f.cam_pts};
  // Equal counts of different board points (markers seen in another order or other markers).
  std::map<std::tuple<float, float, float>, int> camRowOf;
  for (int k = 0; k < f.cam_obj.rows; ++k) {
    camRowOf[{f.cam_obj.at<float>(k, 0), f.cam_obj.at<float>(k, 1), f.cam_obj.at<float>(k, 2)}] = k;
  }
  std::vector<int> refRows, camRows;
  for (int k = 0; k < f.ref_obj.rows; ++k) {
    const auto it = camRowOf.find({f.ref_obj.at<float>(k, 0), f.ref_obj.at<float>(k, 1), f.ref_obj.at<float>(k, 2)});
    if (it == camRowOf.end()) continue;
    refRows.push_back(k);
    camRows.push_back(it->second);
  }
  if (refRows.size() < kMinPointsPerView) {
    logging::log(Level::WARNING, std::string(kTag) + "Frame " + f.frame + ": only " + std::to_string(refRows.size()) +
                                     " board points shared by ref and cam " + f.camera + "; dropping from pair.");
    return std::nullopt;
  }
  return pickRows(f.ref_obj, f.ref_pts, f.cam_pts, refRows, camRows);
}

// ChArUco views: points are paired by corner id, in ascending id order.
std::optional<PairView> pairByCornerIds(const FrameViews& f, const cv::Mat& refIdsMat, const cv::Mat& camIdsMat) {
  const std::vector<int> refIds = idsOf(refIdsMat);
  const std::vector<int> camIds = idsOf(camIdsMat);
  std::vector<int> sa = refIds, sb = camIds;
  std::sort(sa.begin(), sa.end());
  sa.erase(std::unique(sa.begin(), sa.end()), sa.end());
  std::sort(sb.begin(), sb.end());
  sb.erase(std::unique(sb.begin(), sb.end()), sb.end());
  const std::vector<int> shared = sortedIntersection(sa, sb);
  if (shared.size() < kMinSharedCorners) {
    logging::log(Level::WARNING, std::string(kTag) + "Frame " + f.frame + ": only " + std::to_string(shared.size()) +
                                     " corners shared between ref (cam " + f.reference + ") and cam " + f.camera +
                                     "; dropping from pair.");
    return std::nullopt;
  }
  if (f.ref_obj.rows != static_cast<int>(refIds.size()) || f.ref_pts.rows != f.ref_obj.rows ||
      f.cam_pts.rows != static_cast<int>(camIds.size())) {
    throw std::invalid_argument("multi_camera: ChArUco ids and points of frame " + f.frame + " differ in count");
  }
  std::unordered_map<int, int> refRow, camRow;  // a later duplicate wins
  for (std::size_t k = 0; k < refIds.size(); ++k) refRow[refIds[k]] = static_cast<int>(k);
  for (std::size_t k = 0; k < camIds.size(); ++k) camRow[camIds[k]] = static_cast<int>(k);
  std::vector<int> refRows, camRows;
  for (int id : shared) {
    refRows.push_back(refRow.at(id));
    camRows.push_back(camRow.at(id));
  }
  return pickRows(f.ref_obj, f.ref_pts, f.cam_pts, refRows, camRows);
}

// (N x 2 CV_64F corners, N x 1 CV_32S ids) of one frame as detectCharucoCorners gives them, from
// a camera's detections; both empty when the frame was not detected.
std::pair<cv::Mat, cv::Mat> detectedCorners(const TargetDetections& d, int frame) {
  const auto it = std::find(d.successful_indices.begin(), d.successful_indices.end(), frame);
  if (it == d.successful_indices.end()) return {cv::Mat(), cv::Mat()};
  const auto k = static_cast<std::size_t>(it - d.successful_indices.begin());
  cv::Mat corners;
  d.image_points[k].reshape(1, d.image_points[k].rows).convertTo(corners, CV_64F);
  return {corners, d.point_ids.at(k).clone()};
}

void validateImageLists(const std::vector<std::vector<cv::Mat>>& imageLists, std::size_t cameras) {
  if (imageLists.size() != cameras) {
    throw std::invalid_argument("MultiCameraCalibrator: expected " + std::to_string(cameras) + " image lists, got " +
                                std::to_string(imageLists.size()));
  }
  for (const auto& list : imageLists) {
    if (list.size() != imageLists.front().size()) {
      throw std::invalid_argument("MultiCameraCalibrator: all cameras must have the same number of frames");
    }
  }
  if (imageLists.front().empty()) throw std::invalid_argument("MultiCameraCalibrator: empty image lists");
  for (std::size_t c = 0; c < imageLists.size(); ++c) {
    detail::requireColourImages(imageLists[c], "MultiCameraCalibrator", "image_lists[" + std::to_string(c) + "]");
  }
}

void validateSuppliedIntrinsics(const std::vector<cv::Mat>& intrinsicMatrices,
                                const std::vector<cv::Mat>& distortionCoefficients,
                                const std::vector<std::vector<cv::Mat>>& imageLists) {
  const std::size_t cameras = imageLists.size();
  if (intrinsicMatrices.size() != cameras || distortionCoefficients.size() != cameras) {
    throw std::invalid_argument("MultiCameraCalibrator: expected " + std::to_string(cameras) +
                                " intrinsic matrices/distortion coefficient sets");
  }
  for (std::size_t i = 0; i < cameras; ++i) {
    const cv::Mat& K = intrinsicMatrices[i];
    if (K.dims != 2 || K.rows != 3 || K.cols != 3 || K.channels() != 1 || !detail::allFinite(K)) {
      throw std::invalid_argument("MultiCameraCalibrator: intrinsic_matrices[" + std::to_string(i) +
                                  "] must be a finite 3x3 matrix");
    }
    if (distortionCoefficients[i].empty() || !detail::allFinite(distortionCoefficients[i])) {
      throw std::invalid_argument("MultiCameraCalibrator: distortion_coefficients[" + std::to_string(i) +
                                  "] must be non-empty and finite");
    }
    detail::requireIntrinsicShapes(K, distortionCoefficients[i], "MultiCameraCalibrator",
                                   "intrinsic_matrices[" + std::to_string(i) + "]",
                                   "distortion_coefficients[" + std::to_string(i) + "]");
    const cv::Size size = imageLists[i].front().size();
    if (const std::string problem = detail::cameraMatrixProblem(K, size); !problem.empty()) {
      throw std::invalid_argument("MultiCameraCalibrator: intrinsic_matrices[" + std::to_string(i) +
                                  "] is not a camera matrix for camera " + std::to_string(i) + "'s " +
                                  std::to_string(size.width) + "x" + std::to_string(size.height) +
                                  " images: " + problem);
    }
  }
}

// Board poses of the detected views with these intrinsics, and their reprojection RMS over all
// points (NaN without views).
struct ViewPoses {
  std::map<int, cv::Matx33d> rotations;  // by frame index
  std::map<int, cv::Matx44d> poses;      // camera_T_board, by frame index
  std::vector<double> distances;
  double rms = kNaN;
};

// `solved`: the views' poses from the camera solve that gave K and D, when there was one.
ViewPoses posesOfViews(const TargetDetections& d, const cv::Mat& K, const cv::Mat& D,
                       const std::pair<std::vector<cv::Mat>, std::vector<cv::Mat>>* solved) {
  ViewPoses out;
  double squared = 0.0;
  std::size_t points = 0;
  const bool reuse = solved != nullptr && solved->first.size() == d.image_points.size();
  for (std::size_t k = 0; k < d.image_points.size(); ++k) {
    cv::Mat rvec, tvec;
    if (reuse) {
      rvec = solved->first[k];
      tvec = solved->second[k];
    } else if (!cv::solvePnP(d.object_points[k], d.image_points[k], K, D, rvec, tvec)) {
      continue;
    }
    cv::Mat R;
    cv::Rodrigues(rvec, R);
    out.rotations[d.successful_indices[k]] = cv::Matx33d(R);
    out.poses[d.successful_indices[k]] = detail::makePose(cv::Matx33d(R), cv::Vec3d(tvec.reshape(1, 3)));
    out.distances.push_back(cv::norm(tvec));
    cv::Mat projected;
    cv::projectPoints(d.object_points[k], rvec, tvec, K, D, projected);
    squared += geometry::squaredResidualSum(d.image_points[k], projected);
    points += static_cast<std::size_t>(d.image_points[k].rows);
  }
  if (points > 0) out.rms = std::sqrt(squared / static_cast<double>(points));
  return out;
}

// The distortion model of coefficient vectors this long. cv::stereoCalibrate reads only the first
// five coefficients unless told the model, which turns a rational camera's projection to nonsense.
int distortionModelFlags(const cv::Mat& D1, const cv::Mat& D2) {
  const std::size_t n = std::max(D1.total(), D2.total());
  int flags = 0;
  if (n > 5) flags |= cv::CALIB_RATIONAL_MODEL;
  if (n > 8) flags |= cv::CALIB_THIN_PRISM_MODEL;
  if (n > 12) flags |= cv::CALIB_TILTED_MODEL;
  return flags;
}

// Mean difference (deg) between the rotation angles of the board's motions seen by the two cameras
// over nearby frames, with the camera's frame f paired to the reference's frame f + shift. The two
// agree for synchronised frames whatever the cameras' relative pose.
double motionMismatchDeg(const std::map<int, cv::Matx33d>& ref, const std::map<int, cv::Matx33d>& cam, int shift,
                         std::size_t* pairs) {
  std::vector<cv::Matx33d> seenByRef, seenByCam;
  for (const auto& [frame, R] : cam) {
    const auto found = ref.find(frame + shift);
    if (found == ref.end()) continue;
    seenByRef.push_back(found->second);
    seenByCam.push_back(R);
  }
  *pairs = seenByRef.size();
  return detail::motionAngleMismatchDeg(seenByRef, seenByCam, 3);
}

}  // namespace

MultiCameraCalibrator::MultiCameraCalibrator(CalibrationTarget target, int numCameras, int referenceIndex,
                                             IntrinsicOptions options, int stereoCalibrateFlags)
    : target_(std::move(target)),
      num_cameras_(numCameras),
      reference_index_(referenceIndex),
      options_(std::move(options)),
      stereo_calibrate_flags_(stereoCalibrateFlags) {
  if (numCameras < 2) {
    throw std::invalid_argument("MultiCameraCalibrator: num_cameras must be >= 2, got " + std::to_string(numCameras));
  }
  if (referenceIndex < 0 || referenceIndex >= numCameras) {
    throw std::invalid_argument("MultiCameraCalibrator: reference_index out of range for " +
                                std::to_string(numCameras) + " cameras");
  }
  const auto n = static_cast<std::size_t>(numCameras);
  last_result_.reference_index = referenceIndex;
  last_result_.reference_T_camera_list.assign(n, cv::Mat());
  last_result_.intrinsic_matrices.assign(n, cv::Mat());
  last_result_.distortion_coefficients.assign(n, cv::Mat());
  last_result_.intrinsic_reprojection_errors.assign(n, kNaN);
  last_result_.pair_reprojection_errors.assign(n, kNaN);
  last_result_.reference_T_camera_uncertainty.assign(n, TransformUncertainty{});
  last_result_.joint_rms_per_camera.assign(n, kNaN);
  last_result_.reached_through.assign(n, -1);
}

IntrinsicOptions MultiCameraCalibrator::defaultOptions() {
  IntrinsicOptions options;
  options.criteria = cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e-6);
  options.per_view_error_threshold = 3.0;
  return options;
}

MultiCameraResult MultiCameraCalibrator::calibrate(const std::vector<std::vector<cv::Mat>>& imageLists,
                                                   const std::vector<cv::Mat>& intrinsicMatrices,
                                                   const std::vector<cv::Mat>& distortionCoefficients,
                                                   const std::filesystem::path& outputPath, bool refine) {
  // A call the caller stops leaves the calibrator as it was.
  const MultiCameraCalibrator before = *this;
  try {
    return calibrateOnce(imageLists, intrinsicMatrices, distortionCoefficients, outputPath, refine);
  } catch (const detail::Interrupted&) {
    *this = before;
    throw;
  }
}

MultiCameraResult MultiCameraCalibrator::calibrateOnce(const std::vector<std::vector<cv::Mat>>& imageLists,
                                                       const std::vector<cv::Mat>& intrinsicMatrices,
                                                       const std::vector<cv::Mat>& distortionCoefficients,
                                                       const std::filesystem::path& outputPath, bool refine) {
  const auto n = static_cast<std::size_t>(num_cameras_);
  validateImageLists(imageLists, n);
  const bool supplied = !intrinsicMatrices.empty() && !distortionCoefficients.empty();
  const std::vector<CameraViews> views = supplied
                                             ? detectWithSuppliedIntrinsics(imageLists, intrinsicMatrices,
                                                                            distortionCoefficients)
                                             : calibrateEachCamera(imageLists);
  last_result_.refined = false;
  last_result_.reference_T_camera_uncertainty.assign(n, TransformUncertainty{});
  last_result_.joint_rms = kNaN;
  last_result_.joint_rms_per_camera.assign(n, kNaN);
  last_result_.reached_through.assign(n, -1);
  last_result_.rejected_views.clear();
  rejected_rms_.clear();
  pair_rejected_ = 0;
  last_result_.placement_failures.assign(n, "");
  last_result_.failure.reset();
  last_result_.refine_failure.reset();
  last_result_.shared_frames.assign(n, std::vector<int>(n, 0));
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = 0; b < n; ++b) {
      std::size_t detected = 0;
      if (a != b) last_result_.shared_frames[a][b] = static_cast<int>(sharedFrames(views[a], views[b], &detected).size());
    }
  }
  last_refinement_.reset();

  const auto ref = static_cast<std::size_t>(reference_index_);
  // A pair that this call does not solve must not keep an earlier call's transform.
  for (std::size_t c = 0; c < n; ++c) {
    last_result_.reference_T_camera_list[c] = c == ref ? cv::Mat::eye(4, 4, CV_64F) : cv::Mat();
    if (c != ref) last_result_.pair_reprojection_errors[c] = kNaN;
  }
  const cv::Size imageSize = imageLists[ref][0].size();
  std::vector<std::string> pairFailures(n);
  for (std::size_t c = 0; c < n; ++c) {
    if (c != ref) solvePair(c, views, imageSize, &pairFailures[c]);
  }
  if (refine) chainUnsolved(views, imageSize);
  explainUnplaced(pairFailures, refine);

  has_triangulation_ = false;
  last_result_.ok = std::none_of(last_result_.reference_T_camera_list.begin(),
                                 last_result_.reference_T_camera_list.end(), [](const cv::Mat& m) { return m.empty(); });
  if (refine) refineJointly(views, supplied);
  if (last_result_.ok) validateByTriangulation(imageLists, views);
  printResults();
  if (!outputPath.empty()) saveResult(outputPath);
  return last_result_;
}

std::vector<MultiCameraCalibrator::CameraViews> MultiCameraCalibrator::detectWithSuppliedIntrinsics(
    const std::vector<std::vector<cv::Mat>>& imageLists, const std::vector<cv::Mat>& intrinsicMatrices,
    const std::vector<cv::Mat>& distortionCoefficients) {
  validateSuppliedIntrinsics(intrinsicMatrices, distortionCoefficients, imageLists);
  last_result_.intrinsic_matrices = intrinsicMatrices;
  last_result_.distortion_coefficients = distortionCoefficients;
  std::vector<CameraViews> views(imageLists.size());
  detail::forEachView(imageLists.size(), [&](std::size_t i) {
    views[i].detections = IntrinsicCalibrator(target_, options_).findCorners(imageLists[i]);
    measureViews(views[i], intrinsicMatrices[i], distortionCoefficients[i], nullptr);
    // Intrinsics of another camera fit these views far worse than the views' own calibration.
    const TargetDetections& d = views[i].detections;
    const std::optional<double> ownCalibration =
        suppliedIntrinsicsMisfit(d.object_points, d.image_points, imageLists[i].front().size(), views[i].own_rms);
    if (ownCalibration) {
      views[i].intrinsics_fit = false;
      logging::log(Level::WARNING, std::string(kTag) + "The supplied intrinsics of camera " + std::to_string(i) +
                                       " do not fit its views (RMS " + std::to_string(views[i].own_rms) +
                                       "px, against " + std::to_string(*ownCalibration) +
                                       "px with a calibration of its own): intrinsics of another camera, or a wrong "
                                       "camera order. Its pairs are not solved.");
    }
  });
  return views;
}

void MultiCameraCalibrator::measureViews(CameraViews& views, const cv::Mat& K, const cv::Mat& D,
                                         const std::pair<std::vector<cv::Mat>, std::vector<cv::Mat>>* solved) {
  const ViewPoses p = posesOfViews(views.detections, K, D, solved);
  views.rotations = p.rotations;
  views.poses = p.poses;
  views.own_rms = p.rms;
  std::vector<double> distances = p.distances;
  if (!distances.empty()) {
    views.board_distance = upperMedian(distances);
  }
}

// Frames out of step between two cameras turn the board's motions into different ones: the pair is
// not solved when another constant shift of the camera's frames fits many times better.
bool MultiCameraCalibrator::framesOutOfStep(const CameraViews& ref, const CameraViews& cam, const std::string& pair,
                                            std::size_t camera) {
  std::size_t pairs = 0;
  const double given = motionMismatchDeg(ref.rotations, cam.rotations, 0, &pairs);
  if (!(given > kStepFloorDeg) || !std::isfinite(given)) return false;
  int bestShift = 0;
  double best = std::numeric_limits<double>::infinity();
  for (int shift = -3; shift <= 3; ++shift) {
    if (shift == 0) continue;
    const double cost = motionMismatchDeg(ref.rotations, cam.rotations, shift, &pairs);
    if (pairs >= kMinFramesPerSolve && cost < best) {
      best = cost;
      bestShift = shift;
    }
  }
  if (!(best * kEvidenceRatio < given)) return false;
  std::ostringstream os;
  os << std::fixed << std::setprecision(2) << "the board's motions disagree by " << given << " deg as paired and by "
     << best << " deg with camera " << camera << "'s frame f paired to the reference's frame f"
     << (bestShift > 0 ? " + " : " - ") << std::abs(bestShift);
  logging::log(Level::WARNING, std::string(kTag) + "Stereo pair " + pair + ": the frames of camera " +
                                   std::to_string(camera) + " are out of step with the reference camera's by " +
                                   (bestShift > 0 ? "+" : "") + std::to_string(bestShift) + " (" + os.str() +
                                   "); check the order of its images. Skipping pair.");
  return true;
}

std::vector<MultiCameraCalibrator::CameraViews> MultiCameraCalibrator::calibrateEachCamera(
    const std::vector<std::vector<cv::Mat>>& imageLists) {
  logging::log(Level::INFO, std::string(kTag) + "Running per-camera intrinsic calibration.");
  std::vector<CameraViews> views(imageLists.size());
  std::vector<IntrinsicResult> results(imageLists.size());
  // one camera per thread; the results are taken once every camera is calibrated
  detail::forEachView(imageLists.size(), [&](std::size_t i) {
    IntrinsicCalibrator calibrator(target_, options_);
    const IntrinsicResult r = calibrator.calibrate(imageLists[i]);
    if (!r.ok) {
      throw std::runtime_error(std::string(kTag) + "Intrinsic calibration failed for camera " + std::to_string(i));
    }
    results[i] = r;
    views[i].detections = calibrator.detections();
    const std::pair<std::vector<cv::Mat>, std::vector<cv::Mat>> solved{calibrator.rvecs(), calibrator.tvecs()};
    measureViews(views[i], r.intrinsic_matrix, r.distortion_coefficients, &solved);
    std::vector<int> passed;
    for (int j : r.low_view_error_indices) passed.push_back(r.successful_indices.at(static_cast<std::size_t>(j)));
    const std::string head = std::string(kTag) + "Camera " + std::to_string(i) + ": reprojection error " +
                             std::to_string(r.reprojection_error) + "px over " +
                             std::to_string(r.successful_indices.size()) + " frames (";
    if (!r.low_view_error_indices.empty()) {
      logging::log(Level::INFO, head + std::to_string(passed.size()) + " pass per-view filter)");
      std::sort(passed.begin(), passed.end());
      views[i].passed_filter = std::move(passed);
    } else {
      logging::log(Level::WARNING, head + "no frames pass per-view filter  -  stereo will use ALL)");
    }
  });
  for (std::size_t i = 0; i < imageLists.size(); ++i) {
    last_result_.intrinsic_matrices[i] = results[i].intrinsic_matrix;
    last_result_.distortion_coefficients[i] = results[i].distortion_coefficients;
    last_result_.intrinsic_reprojection_errors[i] = results[i].reprojection_error;
  }
  return views;
}

std::optional<MultiCameraCalibrator::StereoSolve> MultiCameraCalibrator::solveStereo(
    std::size_t a, std::size_t c, const std::vector<CameraViews>& views, cv::Size imageSize, int flags,
    std::string* failure) const {
  const bool fromReference = static_cast<int>(a) == reference_index_;
  const std::string pair = (fromReference ? "(ref=" : "(cam=") + std::to_string(a) + ", cam=" + std::to_string(c) + ")";
  const std::string first = (fromReference ? "reference camera " : "camera ") + std::to_string(a);
  const auto refuse = [&](logging::Level level, const std::string& why, const std::string& message) {
    logging::log(level, std::string(kTag) + message);
    if (failure != nullptr) *failure = why;
    return std::nullopt;
  };
  const std::vector<int> frames = pairFrames(views[a], views[c], pair);
  if (frames.size() < kMinFramesPerSolve) {
    return refuse(Level::ERROR, "too few shared detections with cam_" + std::to_string(a),
                  "Only " + std::to_string(frames.size()) + " shared detections between " + first + " and camera " +
                      std::to_string(c) + "; skipping pair.");
  }
  if (!views[a].intrinsics_fit || !views[c].intrinsics_fit) {
    return refuse(Level::ERROR, "the supplied intrinsics do not fit its views",
                  "Stereo pair " + pair + ": the supplied intrinsics do not fit the views; skipping pair.");
  }
  if (framesOutOfStep(views[a], views[c], pair, c)) {
    if (failure != nullptr) *failure = "its frames are out of step with cam_" + std::to_string(a) + "'s";
    return std::nullopt;
  }
  StereoAttempt attempt = stereoOn(a, c, views, frames, imageSize, flags);
  if (attempt.solve) return attempt.solve;
  // A repeated or bad view makes the whole pair misfit: the frames whose views disagree with the
  // rig the others agree on are left out and the pair solved again.
  if (attempt.misfit) {
    const std::vector<int> off = offRigFrames(views[a], views[c], frames);
    const bool few = !off.empty() && static_cast<double>(off.size()) <= kMaxOffRigShare * frames.size() &&
                     frames.size() - off.size() >= kMinFramesPerSolve;
    if (few) {
      std::vector<int> kept;
      std::set_difference(frames.begin(), frames.end(), off.begin(), off.end(), std::back_inserter(kept));
      StereoAttempt again = stereoOn(a, c, views, kept, imageSize, flags);
      if (again.solve) {
        std::string named;
        for (int f : off) named += (named.empty() ? "" : ", ") + std::to_string(f);
        logging::log(Level::WARNING, std::string(kTag) + "Stereo pair " + pair + ": RMS error " +
                                         std::to_string(attempt.rms) + "px with every frame; the views of frame" +
                                         (off.size() > 1 ? "s " : " ") +
                                         named + " do not fit the rig the other " + std::to_string(kept.size()) +
                                         " frames agree on and are left out of the pair (RMS error " +
                                         std::to_string(again.solve->rms) + "px without them).");
        again.solve->dropped_frames = off;
        return again.solve;
      }
    }
  }
  return refuse(attempt.level, attempt.reason, attempt.failure);
}

MultiCameraCalibrator::StereoAttempt MultiCameraCalibrator::stereoOn(std::size_t a, std::size_t c,
                                                                     const std::vector<CameraViews>& views,
                                                                     const std::vector<int>& frames,
                                                                     cv::Size imageSize, int flags) const {
  const bool fromReference = static_cast<int>(a) == reference_index_;
  const std::string pair = (fromReference ? "(ref=" : "(cam=") + std::to_string(a) + ", cam=" + std::to_string(c) + ")";
  const std::string first = (fromReference ? "reference camera " : "camera ") + std::to_string(a);
  StereoAttempt out;
  const PairPoints pp =
      gatherPairPoints(views[a].detections, views[c].detections, static_cast<int>(a), static_cast<int>(c), frames);
  if (pp.object_points.empty()) {
    out.failure = "No usable frames after per-corner intersection between " + first + " and camera " +
                  std::to_string(c) + "; skipping pair.";
    out.reason = "no frame shows enough corners to both it and cam_" + std::to_string(a);
    return out;
  }
  StereoSolve s;
  s.K1 = last_result_.intrinsic_matrices[a];
  s.D1 = last_result_.distortion_coefficients[a];
  s.K2 = last_result_.intrinsic_matrices[c];
  s.D2 = last_result_.distortion_coefficients[c];
  cv::Mat R, T, E, F;
  const detail::SequentialSolve sequential;
  s.rms = cv::stereoCalibrate(pp.object_points, pp.reference_image_points, pp.camera_image_points, s.K1, s.D1, s.K2,
                              s.D2, imageSize, R, T, E, F, flags | distortionModelFlags(s.D1, s.D2),
                              options_.criteria);
  s.first_T_second = detail::rigidTransform(R, T).inv(cv::DECOMP_LU);
  s.frames = pp.object_points.size();
  out.rms = s.rms;
  // a solve that diverged must not pass for a rig transform
  if (!std::isfinite(s.rms) || !detail::isRigidTransform(s.first_T_second)) {
    out.failure = "Stereo pair " + pair + ": the solve returned a non-finite or non-rigid transform; skipping pair.";
    out.reason = "its pair solve with cam_" + std::to_string(a) + " diverged";
    out.misfit = true;
    return out;
  }
  // A pair that fits far worse than either camera alone was given frames or intrinsics that do not
  // belong together.
  const double own = std::max(views[a].own_rms, views[c].own_rms);
  if (s.rms > kMaxPairRms && s.rms > kPairRmsRatio * own) {
    out.level = Level::WARNING;
    out.failure = "Stereo pair " + pair + ": RMS error " + std::to_string(s.rms) + "px, against " +
                  std::to_string(own) +
                  "px for the cameras alone: frames out of step, wrong intrinsics or a wrong camera order. "
                  "Skipping pair.";
    out.reason = "its pair solve with cam_" + std::to_string(a) + " fits far worse (RMS " + std::to_string(s.rms) +
                 " px) than either camera alone";
    out.misfit = true;
    return out;
  }
  const double baseline = cv::norm(s.first_T_second(cv::Rect(3, 0, 1, 3)));
  if (baseline < kMinBaselineShare * views[a].board_distance) {
    out.level = Level::WARNING;
    out.failure = "Stereo pair " + pair + ": camera " + std::to_string(c) + " sits where " +
                  (fromReference ? "the reference camera" : first) + " is (baseline " +
                  std::to_string(baseline * 1000) + " mm): the same images were given for both cameras. Skipping pair.";
    out.reason = "it sits where cam_" + std::to_string(a) + " is (the same images given twice?)";
    return out;
  }
  out.solve = std::move(s);
  return out;
}

std::vector<int> MultiCameraCalibrator::offRigFrames(const CameraViews& a, const CameraViews& c,
                                                     const std::vector<int>& frames) {
  std::vector<int> used;
  std::vector<cv::Matx44d> relative;  // a_T_c as each frame's two board poses give it
  for (int f : frames) {
    const auto pa = a.poses.find(f), pc = c.poses.find(f);
    if (pa == a.poses.end() || pc == c.poses.end()) continue;
    used.push_back(f);
    relative.push_back(pa->second * detail::inversePose(pc->second));
  }
  const std::size_t n = used.size();
  if (n < kMinFramesPerSolve || !(a.board_distance > 0.0)) return {};
  const auto distance = [&](std::size_t i, std::size_t j) {
    const cv::Matx44d d = detail::inversePose(relative[i]) * relative[j];
    const double cosine = std::clamp((d(0, 0) + d(1, 1) + d(2, 2) - 1.0) / 2.0, -1.0, 1.0);
    return std::acos(cosine) + std::hypot(std::hypot(d(0, 3), d(1, 3)), d(2, 3)) / a.board_distance;
  };
  // the frame most others lie near stands for the rig
  std::size_t centre = 0;
  double best = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double> d;
    for (std::size_t j = 0; j < n; ++j) d.push_back(distance(i, j));
    const double m = upperMedian(d);
    if (m < best) best = m, centre = i;
  }
  std::vector<double> deviation;
  for (std::size_t i = 0; i < n; ++i) deviation.push_back(distance(centre, i));
  const double limit = std::max(kOffRigFactor * upperMedian(deviation), kOffRigFloor);
  std::vector<int> off;
  for (std::size_t i = 0; i < n; ++i) {
    if (deviation[i] > limit) off.push_back(used[i]);
  }
  return off;
}

std::vector<std::pair<int, int>> MultiCameraCalibrator::viewsToDrop(std::size_t a, std::size_t c, int frame,
                                                                     const std::vector<CameraViews>& views) const {
  std::size_t agree = 0, disagree = 0;
  for (std::size_t d = 0; d < views.size(); ++d) {
    if (d == a || d == c) continue;
    std::size_t detected = 0;
    const std::vector<int> shared = sharedFrames(views[a], views[d], &detected);
    if (!std::binary_search(shared.begin(), shared.end(), frame)) continue;
    const std::vector<int> off = offRigFrames(views[a], views[d], shared);
    (std::find(off.begin(), off.end(), frame) == off.end() ? agree : disagree) += 1;
  }
  const int fa = static_cast<int>(a), fc = static_cast<int>(c);
  if (agree > 0) return {{fc, frame}};
  if (disagree > 0) return {{fa, frame}};
  return {{fc, frame}, {fa, frame}};  // two views that disagree: neither can be trusted
}

double MultiCameraCalibrator::viewRmsThrough(std::size_t a, std::size_t c, int frame, const cv::Mat& aTc,
                                             const std::vector<CameraViews>& views) const {
  const TargetDetections& d = views[c].detections;
  const auto it = std::find(d.successful_indices.begin(), d.successful_indices.end(), frame);
  const auto seen = views[a].poses.find(frame);
  if (it == d.successful_indices.end() || seen == views[a].poses.end()) return kNaN;
  const auto k = static_cast<std::size_t>(it - d.successful_indices.begin());
  const cv::Matx44d board = detail::inversePose(cv::Matx44d(aTc)) * seen->second;  // c_T_board
  cv::Vec3d rvec;
  cv::Rodrigues(detail::rotationOf(board), rvec);
  const cv::Vec3d tvec = detail::translationOf(board);
  cv::Mat projected;
  cv::projectPoints(d.object_points[k], rvec, tvec, last_result_.intrinsic_matrices[c],
                    last_result_.distortion_coefficients[c], projected);
  return std::sqrt(geometry::squaredResidualSum(d.image_points[k], projected) / d.image_points[k].rows);
}

void MultiCameraCalibrator::recordDroppedViews(std::size_t a, std::size_t c, const StereoSolve& s,
                                               const std::vector<CameraViews>& views) {
  for (int frame : s.dropped_frames) {
    for (const auto& view : viewsToDrop(a, c, frame, views)) {
      auto& rejected = last_result_.rejected_views;
      if (std::find(rejected.begin(), rejected.end(), view) != rejected.end()) continue;
      // the view against the board where the pair's other camera sees it
      const bool second = view.first == static_cast<int>(c);
      const double rms = second ? viewRmsThrough(a, c, frame, s.first_T_second, views)
                                : viewRmsThrough(c, a, frame, s.first_T_second.inv(cv::DECOMP_LU), views);
      rejected.push_back(view);
      rejected_rms_.push_back(rms);
      ++pair_rejected_;
      logging::log(Level::WARNING, std::string(kTag) + "Camera " + std::to_string(view.first) + "'s view of frame " +
                                       std::to_string(frame) + " is " + std::to_string(rms) +
                                       "px RMS off the rig (a repeated or misplaced image?); it is left out.");
    }
  }
}

void MultiCameraCalibrator::solvePair(std::size_t c, const std::vector<CameraViews>& views, cv::Size imageSize,
                                      std::string* failure) {
  const auto ref = static_cast<std::size_t>(reference_index_);
  const std::optional<StereoSolve> s = solveStereo(ref, c, views, imageSize, stereo_calibrate_flags_, failure);
  if (!s) return;
  recordDroppedViews(ref, c, *s, views);
  if ((stereo_calibrate_flags_ & cv::CALIB_FIX_INTRINSIC) == 0) {
    last_result_.intrinsic_matrices[ref] = s->K1;
    last_result_.distortion_coefficients[ref] = s->D1.reshape(1, 1);
    last_result_.intrinsic_matrices[c] = s->K2;
    last_result_.distortion_coefficients[c] = s->D2.reshape(1, 1);
  }
  last_result_.reference_T_camera_list[c] = s->first_T_second;
  last_result_.pair_reprojection_errors[c] = s->rms;
  logging::log(Level::INFO, std::string(kTag) + "Stereo pair (ref=" + std::to_string(ref) + ", cam=" +
                                std::to_string(c) + "): RMS error " + std::to_string(s->rms) + "px over " +
                                std::to_string(s->frames) + " frames");
}

void MultiCameraCalibrator::chainUnsolved(const std::vector<CameraViews>& views, cv::Size imageSize) {
  const auto n = static_cast<std::size_t>(num_cameras_);
  std::vector<cv::Mat>& placed = last_result_.reference_T_camera_list;
  bool progress = true;
  while (progress) {
    progress = false;
    for (std::size_t c = 0; c < n; ++c) {
      if (!placed[c].empty()) continue;
      // solved cameras that share enough views with c, most shared first
      std::vector<std::pair<std::size_t, std::size_t>> links;
      for (std::size_t b = 0; b < n; ++b) {
        if (b == c || static_cast<int>(b) == reference_index_ || placed[b].empty()) continue;
        std::size_t detected = 0;
        const std::size_t shared = sharedFrames(views[b], views[c], &detected).size();
        if (shared >= kMinFramesPerSolve) links.emplace_back(shared, b);
      }
      std::stable_sort(links.begin(), links.end(), [](const auto& x, const auto& y) { return x.first > y.first; });
      for (const auto& link : links) {
        const std::size_t b = link.second;
        // the joint solve refines the intrinsics; a link only places the camera
        const std::optional<StereoSolve> s =
            solveStereo(b, c, views, imageSize, stereo_calibrate_flags_ | cv::CALIB_FIX_INTRINSIC);
        if (!s) continue;
        recordDroppedViews(b, c, *s, views);
        placed[c] = placed[b] * s->first_T_second;
        last_result_.reached_through[c] = static_cast<int>(b);
        logging::log(Level::INFO, std::string(kTag) + "Camera " + std::to_string(c) + " reached through camera " +
                                      std::to_string(b) + ": stereo RMS error " + std::to_string(s->rms) +
                                      "px over " + std::to_string(s->frames) + " frames");
        progress = true;
        break;
      }
    }
  }
}

namespace {

// "0 with cam_0 (reference), 12 with cam_1": the frames camera c shares with each other camera
std::string sharedFramesText(const MultiCameraResult& r, std::size_t c) {
  std::string text;
  for (std::size_t d = 0; d < r.shared_frames.size(); ++d) {
    if (d == c) continue;
    text += std::string(text.empty() ? "" : ", ") + std::to_string(r.shared_frames[c][d]) + " with cam_" +
            std::to_string(d) + (static_cast<int>(d) == r.reference_index ? " (reference)" : "");
  }
  return text;
}

}  // namespace

void MultiCameraCalibrator::explainUnplaced(const std::vector<std::string>& pairFailures, bool refine) {
  const auto n = static_cast<std::size_t>(num_cameras_);
  for (std::size_t c = 0; c < n; ++c) {
    if (!last_result_.reference_T_camera_list[c].empty()) continue;
    bool linkable = false;  // a placed camera it shares enough frames with
    for (std::size_t d = 0; d < n; ++d) {
      linkable = linkable || (d != c && last_result_.shared_frames[c][d] >= static_cast<int>(kMinFramesPerSolve) &&
                              !last_result_.reference_T_camera_list[d].empty());
    }
    const std::string why = pairFailures[c].empty() ? "not placed" : pairFailures[c];
    last_result_.placement_failures[c] = why;
    std::string hint = "; a pair needs " + std::to_string(kMinFramesPerSolve) + " shared frames";
    if (!refine && linkable) hint += "; with refine=True it can be placed through a camera it shares them with";
    Failure f = logFailure(Level::WARNING, kTag, "camera_not_placed",
                           "Camera " + std::to_string(c) + " is not placed: " + why + "; frames it shares: " +
                               sharedFramesText(last_result_, c) + hint + ".");
    if (!last_result_.failure) last_result_.failure = std::move(f);
  }
}

void MultiCameraCalibrator::refineJointly(const std::vector<CameraViews>& views, bool suppliedIntrinsics) {
  const auto n = static_cast<std::size_t>(num_cameras_);
  RigProblem problem;
  problem.reference_index = reference_index_;
  problem.intrinsic_matrices = last_result_.intrinsic_matrices;
  problem.distortion_coefficients = last_result_.distortion_coefficients;
  problem.reference_T_camera = last_result_.reference_T_camera_list;
  // Intrinsics calibrated here are refined with the whole rig; supplied ones only when the stereo
  // flags let the pair solves move them too.
  const bool free = !suppliedIntrinsics || (stereo_calibrate_flags_ & cv::CALIB_FIX_INTRINSIC) == 0;
  problem.intrinsics_free.assign(n, free);
  problem.fixed_intrinsics = options_.calibrate_camera_flags | stereo_calibrate_flags_;
  std::size_t solved = 0;
  for (std::size_t c = 0; c < n; ++c) {
    if (last_result_.reference_T_camera_list[c].empty()) continue;
    if (static_cast<int>(c) != reference_index_) ++solved;
    const TargetDetections& d = views[c].detections;
    const auto& dropped = last_result_.rejected_views;
    for (std::size_t k = 0; k < d.successful_indices.size(); ++k) {
      const int frame = d.successful_indices[k];
      const std::optional<std::vector<int>>& passed = views[c].passed_filter;
      if (passed && !std::binary_search(passed->begin(), passed->end(), frame)) continue;
      // views a pair solve found off the rig stay out
      if (std::find(dropped.begin(), dropped.end(), std::make_pair(static_cast<int>(c), frame)) != dropped.end()) {
        continue;
      }
      problem.views.push_back(RigView{static_cast<int>(c), frame, d.object_points[k], d.image_points[k]});
    }
  }
  RigRefinement r;
  if (solved == 0) {
    r.failure = "no camera besides the reference was placed";
  } else {
    r = refineRig(problem);
  }
  if (r.ok) {
    for (std::size_t i = 0; i < r.rejected_views.size(); ++i) {
      logging::log(Level::WARNING, std::string(kTag) + "Joint refinement: camera " +
                                       std::to_string(r.rejected_views[i].first) + "'s view of frame " +
                                       std::to_string(r.rejected_views[i].second) + " is " +
                                       std::to_string(r.rejected_rms[i]) + "px RMS off the rig; it is left out.");
    }
    last_result_.intrinsic_matrices = r.intrinsic_matrices;
    last_result_.distortion_coefficients = r.distortion_coefficients;
    last_result_.reference_T_camera_list = r.reference_T_camera;
    last_result_.reference_T_camera_uncertainty = r.uncertainty;
    last_result_.joint_rms = r.rms;
    last_result_.joint_rms_per_camera = r.rms_per_camera;
    last_result_.rejected_views.insert(last_result_.rejected_views.end(), r.rejected_views.begin(),
                                       r.rejected_views.end());
    rejected_rms_.insert(rejected_rms_.end(), r.rejected_rms.begin(), r.rejected_rms.end());
    last_result_.refined = true;
    logging::log(Level::INFO, std::string(kTag) + "Joint refinement: RMS error " + std::to_string(r.rms) + "px over " +
                                  std::to_string(r.corners) + " corners of " + std::to_string(r.frames) + " frames, " +
                                  std::to_string(r.parameters) + " parameters");
  } else {
    last_result_.refine_failure = logFailure(Level::WARNING, kTag, "refine_failed",
                                             "Joint refinement failed: " + r.failure + "; the pairwise result stands.");
  }
  last_refinement_ = std::move(r);
}

void MultiCameraCalibrator::validateByTriangulation(const std::vector<std::vector<cv::Mat>>& imageLists,
                                                    const std::vector<CameraViews>& views) {
  try {
    last_triangulation_ = triangulateFrame(imageLists, 0, &views);
    has_triangulation_ = true;
  } catch (const std::exception& e) {
    logging::log(Level::WARNING, std::string(kTag) + "Triangulation validation skipped: " + detail::errorText(e));
  }
}

void MultiCameraCalibrator::saveResult(const std::filesystem::path& outputPath) const {
  io::MultiCameraCalibrationRecord record;
  record.reference_index = last_result_.reference_index;
  record.num_cameras = num_cameras_;
  record.intrinsic_matrices = last_result_.intrinsic_matrices;
  record.distortion_coefficients = last_result_.distortion_coefficients;
  record.reference_T_camera_list = last_result_.reference_T_camera_list;
  record.intrinsic_reprojection_errors = last_result_.intrinsic_reprojection_errors;
  record.pair_reprojection_errors = last_result_.pair_reprojection_errors;
  record.refined = last_result_.refined;
  if (record.refined) {
    for (const TransformUncertainty& u : last_result_.reference_T_camera_uncertainty) {
      record.reference_T_camera_covariances.push_back(u.known() ? u.covariance : cv::Mat());
    }
    record.joint_rms = last_result_.joint_rms;
    record.reached_through = last_result_.reached_through;
  }
  record.rejected_views = last_result_.rejected_views;
  io::saveMultiCameraCalibration(outputPath, record);
}

// Frames detected by both cameras and, where a camera's per-view filter ran, passed by it.
std::vector<int> MultiCameraCalibrator::sharedFrames(const CameraViews& ref, const CameraViews& cam,
                                                    std::size_t* bothDetected) {
  std::vector<int> refFrames = ref.detections.successful_indices;
  std::vector<int> camFrames = cam.detections.successful_indices;
  std::sort(refFrames.begin(), refFrames.end());
  std::sort(camFrames.begin(), camFrames.end());
  std::vector<int> frames = sortedIntersection(refFrames, camFrames);
  *bothDetected = frames.size();
  if (ref.passed_filter) frames = sortedIntersection(frames, *ref.passed_filter);
  if (cam.passed_filter) frames = sortedIntersection(frames, *cam.passed_filter);
  return frames;
}

std::vector<int> MultiCameraCalibrator::pairFrames(const CameraViews& ref, const CameraViews& cam,
                                                  const std::string& pair) {
  std::size_t bothDetected = 0;
  const std::vector<int> frames = sharedFrames(ref, cam, &bothDetected);
  if (frames.size() != bothDetected) {
    logging::log(Level::INFO, std::string(kTag) + "Pair " + pair + ": " + std::to_string(bothDetected) +
                                  " frames detected in both cameras -> " + std::to_string(frames.size()) +
                                  " after per-view intrinsic-error filter");
  }
  return frames;
}

MultiCameraCalibrator::PairPoints MultiCameraCalibrator::gatherPairPoints(const std::vector<TargetDetections>& detections,
                                                                          int referenceIndex, int cameraIndex,
                                                                          const std::vector<int>& frames) const {
  return gatherPairPoints(detections.at(static_cast<std::size_t>(referenceIndex)),
                          detections.at(static_cast<std::size_t>(cameraIndex)), referenceIndex, cameraIndex, frames);
}

MultiCameraCalibrator::PairPoints MultiCameraCalibrator::gatherPairPoints(const TargetDetections& refDet,
                                                                          const TargetDetections& camDet,
                                                                          int referenceIndex, int cameraIndex,
                                                                          const std::vector<int>& frames) {
  const bool byIds = !refDet.point_ids.empty() && !camDet.point_ids.empty();
  PairPoints out;
  for (int f : frames) {
    const std::size_t a = positionOf(refDet.successful_indices, f);
    const std::size_t b = positionOf(camDet.successful_indices, f);
    const FrameViews views{refDet.object_points.at(a), refDet.image_points.at(a), camDet.object_points.at(b),
                           camDet.image_points.at(b),  std::to_string(f),         std::to_string(referenceIndex),
                           std::to_string(cameraIndex)};
    const std::optional<PairView> v = byIds ? pairByCornerIds(views, refDet.point_ids.at(a), camDet.point_ids.at(b))
                                            : pairByBoardPosition(views);
    if (!v) continue;
    out.object_points.push_back(v->object_points);
    out.reference_image_points.push_back(v->reference_points);
    out.camera_image_points.push_back(v->camera_points);
  }
  return out;
}

TriangulationReport MultiCameraCalibrator::triangulate(const std::vector<std::vector<cv::Mat>>& imageLists,
                                                       int frameIndex) const {
  return triangulateFrame(imageLists, frameIndex, nullptr);
}

TriangulationReport MultiCameraCalibrator::triangulateFrame(const std::vector<std::vector<cv::Mat>>& imageLists,
                                                            int frameIndex,
                                                            const std::vector<CameraViews>* views) const {
  for (const cv::Mat& T : last_result_.reference_T_camera_list) {
    if (T.empty()) throw std::runtime_error("MultiCameraCalibrator: run calibrate() before triangulate().");
  }
  const CharucoTarget* charuco = charucoOf(target_);
  if (charuco == nullptr) throw std::invalid_argument("MultiCameraCalibrator::triangulate requires a CharucoTarget");
  checkTriangulationFrame(imageLists, frameIndex);

  const geometry::CornerObservations observations = observeFrame(imageLists, frameIndex, *charuco, views);
  if (observations.size() < kMinPointsPerView) {
    throw std::runtime_error("MultiCameraCalibrator: only " + std::to_string(observations.size()) +
                             " corners visible in >=2 cameras  -  need at least 4.");
  }
  const std::vector<cv::Mat> P =
      geometry::buildProjectionMatrices(last_result_.intrinsic_matrices, last_result_.reference_T_camera_list);
  auto [points, pointIds] = geometry::triangulateAll(observations, P, last_result_.intrinsic_matrices,
                                                     last_result_.distortion_coefficients);
  dropDegenerate(points, pointIds);
  TriangulationReport report;
  std::tie(report.rms_per_camera, report.counts_per_camera) = geometry::perCameraReprojectionRms(
      points, pointIds, observations, last_result_.intrinsic_matrices, last_result_.distortion_coefficients,
      last_result_.reference_T_camera_list);
  report.frame_index = frameIndex;
  report.points_3d = points;
  report.ids = pointIds;
  report.neighbor_distances_m = geometry::boardNeighborDistances(points, pointIds, charuco->squares_x);
  report.plane_thickness_m = geometry::coplanarityThickness(points);
  return report;
}

void MultiCameraCalibrator::checkTriangulationFrame(const std::vector<std::vector<cv::Mat>>& imageLists,
                                                    int frameIndex) const {
  const auto n = static_cast<std::size_t>(num_cameras_);
  if (imageLists.size() < n) {
    throw std::invalid_argument("MultiCameraCalibrator::triangulate: expected " + std::to_string(num_cameras_) +
                                " image lists, got " + std::to_string(imageLists.size()));
  }
  for (std::size_t c = 0; c < n; ++c) {
    if (frameIndex < 0 || static_cast<std::size_t>(frameIndex) >= imageLists[c].size()) {
      throw std::invalid_argument("MultiCameraCalibrator::triangulate: frame_index " + std::to_string(frameIndex) +
                                  " is outside the " + std::to_string(imageLists[c].size()) + " frames of camera " +
                                  std::to_string(c));
    }
  }
}

geometry::CornerObservations MultiCameraCalibrator::observeFrame(const std::vector<std::vector<cv::Mat>>& imageLists,
                                                                 int frameIndex, const CharucoTarget& target,
                                                                 const std::vector<CameraViews>* views) const {
  const auto n = static_cast<std::size_t>(num_cameras_);
  std::vector<cv::Mat> corners(n), ids(n);
  for (std::size_t c = 0; c < n; ++c) {
    // The calibration detected every frame with the same ChArUco detector: its corners are
    // what detecting the frame again would give.
    std::tie(corners[c], ids[c]) =
        views ? detectedCorners((*views)[c].detections, frameIndex)
              : geometry::detectCharucoCorners(imageLists[c][static_cast<std::size_t>(frameIndex)], target);
    if (corners[c].empty()) {
      logging::log(Level::WARNING,
                   "cam_" + std::to_string(c) + ": detection failed on frame " + std::to_string(frameIndex));
    }
  }
  return geometry::gatherObservations(corners, ids);
}

// Corners whose DLT solution lies at infinity are left out; none left is a failure.
void MultiCameraCalibrator::dropDegenerate(cv::Mat& points, cv::Mat& pointIds) {
  std::vector<int> keep;
  const double limit = std::numeric_limits<double>::max();
  for (int r = 0; r < points.rows; ++r) {
    if (std::abs(points.at<double>(r, 0)) <= limit && std::abs(points.at<double>(r, 1)) <= limit &&
        std::abs(points.at<double>(r, 2)) <= limit) {
      keep.push_back(r);
    }
  }
  const std::size_t dropped = static_cast<std::size_t>(points.rows) - keep.size();
  if (dropped > 0) {
    logging::log(Level::WARNING, "Dropping " + std::to_string(dropped) + " corners with degenerate triangulation.");
    cv::Mat kp(static_cast<int>(keep.size()), 3, CV_64F), ki(static_cast<int>(keep.size()), 1, CV_32S);
    for (std::size_t k = 0; k < keep.size(); ++k) {
      points.row(keep[k]).copyTo(kp.row(static_cast<int>(k)));
      ki.at<int>(static_cast<int>(k)) = pointIds.at<int>(keep[k]);
    }
    points = kp;
    pointIds = ki;
  }
  if (points.rows == 0) {
    throw std::runtime_error(
        "MultiCameraCalibrator: every triangulated corner was degenerate (check camera baselines and calibration "
        "quality).");
  }
}

std::vector<SubsetResult> MultiCameraCalibrator::calibrateSubsets(const std::vector<std::vector<cv::Mat>>& imageLists,
                                                                  const std::vector<int>& subsetSizes,
                                                                  int frameIndex) {
  // Every run in the order one thread takes them; a size that cannot be run is an item too, so that
  // its message keeps its place.
  struct Run {
    int size;
    std::vector<int> cameras;  // empty: only the size's message
  };
  std::vector<Run> runs;
  for (int k : subsetSizes) {
    if (k > num_cameras_ || k < 0) {
      runs.push_back({k, {}});
      if (k < 0) break;  // nothing after it runs
      continue;
    }
    std::vector<int> combo(static_cast<std::size_t>(k));
    for (int i = 0; i < k; ++i) combo[static_cast<std::size_t>(i)] = i;
    while (true) {
      runs.push_back({k, combo});
      int i = k - 1;
      while (i >= 0 && combo[static_cast<std::size_t>(i)] >= num_cameras_ - k + i) --i;
      if (i < 0) break;
      ++combo[static_cast<std::size_t>(i)];
      for (int j = i + 1; j < k; ++j) combo[static_cast<std::size_t>(j)] = combo[static_cast<std::size_t>(j - 1)] + 1;
    }
  }
  std::vector<std::optional<SubsetResult>> entries(runs.size());
  detail::forEachView(runs.size(), [&](std::size_t r) {
    const int k = runs[r].size;
    if (k > num_cameras_) {
      logging::log(Level::WARNING, "Skipping subsets of size " + std::to_string(k) + ": only " +
                                       std::to_string(num_cameras_) + " cameras.");
      return;
    }
    if (k < 0) throw std::length_error("cannot create std::vector larger than max_size()");
    logging::log(Level::INFO, "Calibrating subset of size " + std::to_string(k));
    std::vector<std::vector<cv::Mat>> lists;
    for (int cam : runs[r].cameras) lists.push_back(imageLists.at(static_cast<std::size_t>(cam)));
    MultiCameraCalibrator sub(target_, k, 0, options_, stereo_calibrate_flags_);
    SubsetResult entry;
    entry.subset = runs[r].cameras;
    entry.result = sub.calibrate(lists, {}, {}, {});
    try {
      entry.triangulation = sub.triangulate(lists, frameIndex);
      entry.has_triangulation = true;
    } catch (const std::exception& e) {
      logging::log(Level::WARNING, std::string("Triangulation failed for subset: ") + detail::errorText(e));
    }
    entries[r] = std::move(entry);
  });
  std::vector<SubsetResult> results;
  for (std::optional<SubsetResult>& e : entries) {
    if (e) results.push_back(std::move(*e));
  }
  last_subset_results_ = results;
  return results;
}

std::string MultiCameraCalibrator::formatResults() const {
  const std::string rule70(70, '='), rule90(90, '=');
  std::ostringstream os;
  os << "\n" << rule70 << "\nPER-CAMERA INTRINSICS\n" << rule70 << "\n";
  for (int i = 0; i < num_cameras_; ++i) {
    const auto u = static_cast<std::size_t>(i);
    os << "\n[cam_" << i << "]  intrinsic RPE: " << last_result_.intrinsic_reprojection_errors[u] << " px\n";
    os << "K =\n" << detail::matrixText(last_result_.intrinsic_matrices[u]) << "\n";
    os << "d = " << detail::matrixText(last_result_.distortion_coefficients[u]) << "\n";
  }
  os << "\n" << rule70 << "\nEXTRINSICS  -  reference_T_camera  (reference = cam_" << reference_index_ << ")\n"
     << rule70 << "\n";
  for (int i = 0; i < num_cameras_; ++i) {
    const auto u = static_cast<std::size_t>(i);
    if (i == reference_index_) {
      os << "\n[cam_" << i << "]  identity (reference)\n";
    } else if (last_result_.reference_T_camera_list[u].empty()) {
      const bool explained = u < last_result_.placement_failures.size() && !last_result_.placement_failures[u].empty();
      os << "\n[cam_" << i << "]  FAILED  -  "
         << (explained ? last_result_.placement_failures[u]
                       : "too few shared detections with cam_" + std::to_string(reference_index_))
         << "\n";
      if (explained) {
        os << "  frames it shares: " << sharedFramesText(last_result_, u) << "; a pair needs " << kMinFramesPerSolve
           << "\n";
      }
    } else {
      os << "\n[cam_" << i << "]  stereo RMS vs reference: " << last_result_.pair_reprojection_errors[u] << " px\n"
         << "reference_T_cam_" << i << " =\n"
         << detail::matrixText(last_result_.reference_T_camera_list[u]) << "\n";
    }
  }
  if (pair_rejected_ > 0) {
    os << "\nViews left out of the pair solves as off the rig:";
    for (std::size_t k = 0; k < pair_rejected_; ++k) {
      os << (k ? "," : "") << " cam_" << last_result_.rejected_views[k].first << " frame "
         << last_result_.rejected_views[k].second << " (" << std::fixed << std::setprecision(2) << rejected_rms_[k]
         << " px)";
    }
    os << std::defaultfloat << std::setprecision(6) << "\n";
  }
  if (has_triangulation_) {
    const TriangulationReport& t = last_triangulation_;
    os << "\n" << rule70 << "\nTRIANGULATION VALIDATION  (frame " << t.frame_index << ")\n" << rule70 << "\n";
    os << "  Expected square length: " << 1000 * charucoOf(target_)->square_length << " mm\n";
    os << "  Co-planarity (3rd SV):  " << 1000 * t.plane_thickness_m << " mm\n";
    for (std::size_t i = 0; i < t.rms_per_camera.size(); ++i) {
      if (t.counts_per_camera[i] == 0) {
        os << "  Reprojection RMS (cam_" << i << "): no observations\n";
      } else {
        os << "  Reprojection RMS (cam_" << i << "): " << t.rms_per_camera[i] << " px over "
           << t.counts_per_camera[i] << " corners\n";
      }
    }
  }
  if (!last_subset_results_.empty()) {
    os << "\n" << rule90 << "\nSUBSET SUMMARY\n" << rule90 << "\n";
    for (const SubsetResult& s : last_subset_results_) {
      os << "(";
      for (std::size_t j = 0; j < s.subset.size(); ++j) os << (j ? ", " : "") << "cam_" << s.subset[j];
      os << "): ok=" << (s.result.ok ? "yes" : "no");
      if (s.has_triangulation) os << "  plane_thickness_mm=" << 1000 * s.triangulation.plane_thickness_m;
      os << "\n";
    }
  }
  if (last_refinement_) os << formatRefinement();
  return os.str();
}

std::string MultiCameraCalibrator::formatRefinement() const {
  const std::string rule70(70, '=');
  const RigRefinement& r = *last_refinement_;
  const MultiCameraResult& res = last_result_;
  std::ostringstream os;
  os << std::fixed;
  os << "\n" << rule70 << "\nJOINT REFINEMENT  -  every camera and frame in one solve\n" << rule70 << "\n";
  if (!r.ok) {
    os << "  FAILED: " << r.failure << "\n  The transforms above are the pairwise ones.\n";
    return os.str();
  }
  os << std::setprecision(4) << "  Joint RMS: " << res.joint_rms << " px over " << r.corners << " corners of "
     << r.frames << " frames (" << r.parameters << " parameters, " << r.iterations << " iterations)\n";
  for (int i = 0; i < num_cameras_; ++i) {
    const auto u = static_cast<std::size_t>(i);
    os << "  [cam_" << i << "]  ";
    if (res.reference_T_camera_list[u].empty()) {
      os << "not placed\n";
      continue;
    }
    os << std::setprecision(4) << "joint RMS " << res.joint_rms_per_camera[u] << " px";
    if (i == reference_index_) {
      os << ", reference\n";
      continue;
    }
    if (res.reached_through[u] >= 0) os << ", reached through cam_" << res.reached_through[u];
    const TransformUncertainty& s = res.reference_T_camera_uncertainty[u];
    os << std::setprecision(3) << ";  1-sigma t = (" << 1000 * s.translation_std_m[0] << ", "
       << 1000 * s.translation_std_m[1] << ", " << 1000 * s.translation_std_m[2] << ") mm, r = ("
       << std::setprecision(4) << s.rotation_std_deg[0] << ", " << s.rotation_std_deg[1] << ", "
       << s.rotation_std_deg[2] << ") deg\n";
  }
  if (res.rejected_views.empty()) {
    os << "  Views left out as off the rig: none\n";
  } else {
    os << "  Views left out as off the rig:";
    for (std::size_t k = 0; k < res.rejected_views.size(); ++k) {
      os << (k ? "," : "") << " cam_" << res.rejected_views[k].first << " frame " << res.rejected_views[k].second
         << " (" << std::setprecision(2) << rejected_rms_[k] << " px)";
    }
    os << "\n";
  }
  return os.str();
}

void MultiCameraCalibrator::printResults() const { logging::printReport(formatResults()); }

}  // namespace vesk::calibration
