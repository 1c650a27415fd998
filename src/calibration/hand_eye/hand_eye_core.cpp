#include "calibration/hand_eye/hand_eye_core.hpp"

#include <algorithm>
#include <functional>
#include <cmath>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include "calibration/hand_eye/hand_eye_record.hpp"
#include "core/constants.hpp"
#include "core/failure.hpp"
#include "core/logging.hpp"
#include "core/matrix_text.hpp"
#include "core/threads.hpp"
#include "core/transforms.hpp"
#include "geometry/reprojection.hpp"
#include "geometry/rotation_variety.hpp"
#include "targets/detection.hpp"

namespace vesk::calibration {

using logging::Level;

namespace {

// Below this axis spread (smallest over largest singular value) the rotation variety is poor.
constexpr double kPoorAxisSpan = 0.15;

cv::HandEyeCalibrationMethod solverByName(const std::string& method) {
  const auto& table = handEyeMethodByNameMap();
  const auto found = table.find(method);
  if (found == table.end()) throw std::invalid_argument("Unknown hand-eye method '" + method + "'");
  return found->second;
}

// camera_T_target of one view by solvePnP; nothing when the solver reports failure.
std::optional<cv::Mat> poseByPnP(const cv::Mat& objectPoints, const cv::Mat& imagePoints,
                                 const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients) {
  cv::Mat rvec, tvec;
  if (!cv::solvePnP(objectPoints, imagePoints, intrinsicMatrix, distortionCoefficients, rvec, tvec, false,
                    cv::SOLVEPNP_ITERATIVE)) {
    return std::nullopt;
  }
  cv::Mat R;
  cv::Rodrigues(rvec, R);
  return detail::rigidTransform(R, tvec);
}

void warnIfOrientationsIdentical(const std::vector<detail::Pose>& cams, const std::string& component,
                                 bool fixedCamera) {
  if (cams.size() < 2) return;
  for (std::size_t i = 1; i < cams.size(); ++i) {
    if (!(cv::norm(detail::rotationOf(cams[i]) - detail::rotationOf(cams[0]), cv::NORM_INF) < 0.001)) return;
  }
  logging::log(Level::WARNING, "[" + component + "] All " + (fixedCamera ? "board" : "camera") +
                                   " poses have identical orientation! Hand-eye calibration requires varied "
                                   "rotations to solve uniquely.");
}

void warnNotObservable(const std::string& component) {
  logging::log(Level::WARNING,
               "[" + component +
                   "] Hand-eye rotation is not observable: fewer than two robot motions rotate (by more than 1 "
                   "deg) about non-parallel axes. Vary the flange orientation about two axes.");
}

// Logs why the result has no transform and keeps the first such reason on it.
void fail(HandEyeSolution& s, Level level, const std::string& tag, std::string code, std::string sentence) {
  Failure f = logFailure(level, tag, std::move(code), std::move(sentence));
  if (!s.failure) s.failure = std::move(f);
}

// Positions (in successful_indices) of the views the hand-eye solve takes: those that passed the
// per-view filter, or every detected view when none did.
std::vector<std::size_t> chosenViews(const IntrinsicResult& intrinsic) {
  std::vector<std::size_t> positions;
  if (intrinsic.low_view_error_indices.empty()) {
    for (std::size_t k = 0; k < intrinsic.successful_indices.size(); ++k) positions.push_back(k);
  } else {
    for (int k : intrinsic.low_view_error_indices) positions.push_back(static_cast<std::size_t>(k));
  }
  return positions;
}

// The target poses of the views for which `poseOf` gives one, in view order, on every thread.
HandEyeCore::TargetPoses collect(std::size_t views, const std::function<std::optional<cv::Mat>(std::size_t)>& poseOf) {
  std::vector<std::optional<cv::Mat>> poses(views);
  detail::forEachView(views, [&](std::size_t k) { poses[k] = poseOf(k); });
  HandEyeCore::TargetPoses out;
  for (std::size_t k = 0; k < views; ++k) {
    if (!poses[k]) continue;
    out.camera_T_target_list.push_back(std::move(*poses[k]));
    out.valid_indices.push_back(static_cast<int>(k));
  }
  return out;
}

// A WARNING with both RMS values when the supplied intrinsics fit the detected views far worse than
// a calibration of their own would (another camera's, another resolution's, or no distortion).
void warnIfIntrinsicsMisfit(const std::vector<cv::Mat>& objects, const std::vector<cv::Mat>& points,
                            const std::vector<cv::Mat>& cams, const cv::Mat& K, const cv::Mat& D, cv::Size imageSize,
                            const std::string& component) {
  double squared = 0.0;
  std::size_t count = 0;
  for (std::size_t i = 0; i < cams.size(); ++i) {
    const detail::Pose c = detail::toPose(cams[i]);
    cv::Vec3d r;
    cv::Rodrigues(detail::rotationOf(c), r);
    cv::Mat projected;
    cv::projectPoints(objects[i], r, detail::translationOf(c), K, D, projected);
    squared += geometry::squaredResidualSum(points[i], projected);
    count += static_cast<std::size_t>(points[i].rows);
  }
  if (count == 0) return;
  const double supplied = std::sqrt(squared / static_cast<double>(count));
  const std::optional<double> own = suppliedIntrinsicsMisfit(objects, points, imageSize, supplied, 1000);
  if (!own) return;
  logging::log(Level::WARNING, "[" + component + "] The supplied intrinsics do not fit the views (RMS " +
                                   std::to_string(supplied) + "px, against " + std::to_string(*own) +
                                   "px with a calibration of their own): intrinsics of another camera or resolution, "
                                   "or without the lens's distortion. Leave intrinsic_matrix out to calibrate the "
                                   "camera from these images, or supply its own.");
}

const char* kindName(const CalibrationTarget& target) {
  return std::visit(Overloaded{[](const ChessboardTarget&) { return "Chessboard"; },
                               [](const CharucoTarget&) { return "ChArUco"; },
                               [](const ArucoTarget&) { return "ArUco"; }},
                    target);
}

// The section after the Part-style report: how far the transform may be off, and what the data
// check found.
std::string formatTrust(const HandEyeReportText& text, const HandEyeReportData& d) {
  const std::string rule(60, '=');
  std::ostringstream os;
  os << "\n" << rule << "\n" << text.trust_title << "\n" << rule << "\n";
  const detail::Pose X = detail::toPose(d.transform);
  const cv::Vec4d q = detail::quaternionXyzw(detail::rotationOf(X));
  os << text.transform_name << " maps " << text.meaning << ":\n" << std::fixed << std::setprecision(6)
     << "  x, y, z: " << X(0, 3) << ", " << X(1, 3) << ", " << X(2, 3) << " m; quaternion x, y, z, w: " << q[0]
     << ", " << q[1] << ", " << q[2] << ", " << q[3] << "\n";
  os.unsetf(std::ios::floatfield);
  os << std::setprecision(6);
  const TransformUncertainty& u = d.uncertainty;
  if (u.known()) {
    os << "1-sigma of " << text.transform_name
       << (d.joint ? ", from the joint solve over every corner (below):\n"
                   : ", from the spread of the solutions with frames left out:\n");
    os << std::fixed << std::setprecision(3);
    os << "  Translation x, y, z: " << u.translation_std_m[0] * 1000 << ", " << u.translation_std_m[1] * 1000 << ", "
       << u.translation_std_m[2] * 1000 << " mm\n";
    os << std::setprecision(4);
    os << "  Rotation about " << text.axes << " x, y, z: " << u.rotation_std_deg[0] << ", " << u.rotation_std_deg[1]
       << ", " << u.rotation_std_deg[2] << " deg\n";
  } else {
    os << "1-sigma of " << text.transform_name
       << ": n/a (it needs 5 frames, and rotation about two axes with any frame left out)\n";
  }
  if (d.four_axis != nullptr && *d.four_axis) {
    const FourAxisSolve& f = **d.four_axis;
    os << std::fixed << std::setprecision(4) << "Four-axis solve: the flange turns about one axis only, ["
       << f.axis[0] << ", " << f.axis[1] << ", " << f.axis[2] << "] in the " << text.axes << " frame; " << f.constraint
       << " = " << f.value_m << " m held (1-sigma " << std::setprecision(2) << f.tolerance_m * 1000
       << " mm, in the sigma above); along the axis the camera lies at " << std::setprecision(4) << f.axis_offset_m
       << " m and the board at " << f.board_height_m << " m.\n";
  }
  const BoardScale& b = d.board_scale;
  if (b.known()) {
    os << std::fixed << std::setprecision(4) << "Board scale from the robot's motion: " << b.value << " +- " << b.sigma
       << " (1-sigma)";
    if (std::isfinite(b.stated_square_m)) {
      os << std::setprecision(2) << ", a square of " << b.impliedSquareM() * 1000 << " mm against "
         << b.stated_square_m * 1000 << " mm stated";
    }
    os << "\n";
  }
  if (d.data_findings.empty()) {
    os << "Data check: no findings.\n";
  } else {
    os << "Data check:\n";
    for (const HandEyeDataFinding& f : d.data_findings) os << "  " << f.code << ": " << f.message << "\n";
  }
  return os.str();
}

void writePose(std::ostringstream& os, const cv::Mat& transform) {
  const std::vector<double> pose = tf::transformationMatrixToPose(transform);
  os << "\nPose [x, y, z, rx, ry, rz] (deg):\n  [";
  for (std::size_t i = 0; i < pose.size(); ++i) os << (i ? ", " : "") << pose[i];
  os << "]\n";
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

HandEyeCore::HandEyeCore(CalibrationTarget target, IntrinsicOptions options, std::string component,
                         bool fixedCamera, const HandEyeReportText& text)
    : target_(target),
      intrinsic_(std::move(target), std::move(options)),
      component_(std::move(component)),
      fixed_camera_(fixedCamera),
      text_(text) {}

cv::HandEyeCalibrationMethod HandEyeCore::checkInputs(const std::string& method,
                                                      const std::vector<cv::Mat>& cameraTTargetList,
                                                      const cv::Mat& intrinsicMatrix,
                                                      const cv::Mat& distortionCoefficients,
                                                      const JointOptions& joint) const {
  const cv::HandEyeCalibrationMethod solver = solverByName(method);
  const std::string& c = component_;
  if (joint.refine && !cameraTTargetList.empty()) {
    throw std::invalid_argument(c + ": refine=True fits every corner of every view, and camera_T_target_list "
                                    "carries none: pass the images instead (with or without intrinsic_matrix)");
  }
  if (joint.noise) {
    const NoiseEstimate& n = *joint.noise;
    for (const auto& [name, value] : {std::pair<const char*, double>{"pixel_px", n.pixel_px},
                                      {"robot_translation_m", n.robot_translation_m},
                                      {"robot_rotation_deg", n.robot_rotation_deg}}) {
      if (!std::isnan(value) && !(value > 0.0 && std::isfinite(value))) {
        throw std::invalid_argument(c + ": noise." + name + " must be a positive number, or NaN to estimate it, got " +
                                    std::to_string(value));
      }
    }
    if (!joint.refine) throw std::invalid_argument(c + ": noise levels are used by the joint solve only: pass refine=True");
  }
  if (joint.free_board_scale && !joint.refine) {
    throw std::invalid_argument(c + ": free_board_scale frees the board's scale in the joint solve: pass refine=True");
  }
  const FourAxisConstraint& four = joint.four_axis;
  if (four.axis_offset_m && four.board_height_m) {
    throw std::invalid_argument(c + ": give known_axis_offset_m or known_board_height_m, not both: either fixes the "
                                    "other");
  }
  for (const auto& [name, value] : {std::pair<const char*, std::optional<double>>{"known_axis_offset_m", four.axis_offset_m},
                                    {"known_board_height_m", four.board_height_m}}) {
    if (value && !std::isfinite(*value)) throw std::invalid_argument(c + ": " + name + " must be finite");
  }
  if (!(four.tolerance_m >= 0.0 && std::isfinite(four.tolerance_m))) {
    throw std::invalid_argument(c + ": known_tolerance_m must be a finite number >= 0, got " +
                                std::to_string(four.tolerance_m));
  }
  detail::toPoses(cameraTTargetList, c, "camera_T_target_list");
  detail::requireFinite(intrinsicMatrix, c, "intrinsic_matrix");
  detail::requireFinite(distortionCoefficients, c, "distortion_coefficients");
  return solver;
}

HandEyeSolution HandEyeCore::calibrate(const std::string& method, const std::vector<cv::Mat>& robotTTcpList,
                                       const std::vector<cv::Mat>& imageList,
                                       const std::vector<cv::Mat>& cameraTTargetList, const cv::Mat& intrinsicMatrix,
                                       const cv::Mat& distortionCoefficients, const JointOptions& joint,
                                       const std::filesystem::path& outputPath) {
  const cv::HandEyeCalibrationMethod solver =
      checkInputs(method, cameraTTargetList, intrinsicMatrix, distortionCoefficients, joint);
  std::vector<detail::Pose> robots = detail::toPoses(robotTTcpList, component_, "robot_T_tcp_list");
  // robot_T_tcp * tcp_T_target = robot_T_camera * camera_T_target for every frame, so with
  // tcp_T_robot in place of robot_T_tcp a fixed camera is AX = XB with X = robot_T_camera.
  if (fixed_camera_) {
    for (detail::Pose& r : robots) r = detail::inversePose(r);
  }
  HandEyeSolution s =
      solve(solver, method, robots, imageList, cameraTTargetList, intrinsicMatrix, distortionCoefficients, joint);
  // the result gives back the caller's own poses
  for (int i : s.robot_indices) s.robots.push_back(robotTTcpList[static_cast<std::size_t>(i)]);
  if (!s.ok) return s;
  last_ = s;
  logging::log(Level::INFO, text_.done);
  logging::printReport(formatResults());
  if (!outputPath.empty()) save(outputPath, method, s, imageList.size());
  return s;
}

std::string HandEyeCore::formatResults() const {
  const HandEyeSolution& s = last_;
  return formatHandEyeReport(text_, {s.hand_eye, s.fixed_pose, s.intrinsic_matrix, s.distortion_coefficients,
                                     s.reprojection_error, s.has_consistency, s.consistency, s.cams, s.uncertainty,
                                     s.data_findings, s.board_scale, s.joint, &s.four_axis});
}

void HandEyeCore::save(const std::filesystem::path& outputPath, const std::string& method, const HandEyeSolution& s,
                       std::size_t imagesTotal) const {
  const NoiseEstimate noise = s.joint ? s.joint->noise : NoiseEstimate{};
  const io::RecheckFields recheck = recheckFields(target_, s.intrinsic_matrix, s.distortion_coefficients, s.images,
                                                  s.fixed_pose_covariance, noise);
  const std::optional<io::HandEyeJointRecord> joint =
      s.joint ? std::optional<io::HandEyeJointRecord>(jointRecord(*s.joint)) : std::nullopt;
  const std::optional<io::FourAxisRecord> fourAxis =
      s.four_axis ? std::optional<io::FourAxisRecord>(fourAxisRecord(*s.four_axis)) : std::nullopt;
  const cv::Mat covariance = s.uncertainty.known() ? s.uncertainty.covariance : cv::Mat();
  if (fixed_camera_) {
    io::EyeToHandResultRecord record;
    record.method = method;
    record.num_frames_used = static_cast<int>(s.images.size());
    record.num_frames_total = static_cast<int>(imagesTotal);
    record.robot_T_camera = s.hand_eye;
    record.tcp_T_target = s.fixed_pose;
    if (!covariance.empty()) record.robot_T_camera_covariance = covariance;
    record.joint_solve = joint;
    record.four_axis = fourAxis;
    record.recheck = recheck;
    io::saveEyeToHandResult(outputPath, record);
    return;
  }
  io::HandEyeResultRecord record;
  record.reference_index = 0;
  record.num_cameras = 1;
  record.method = method;
  record.num_frames_used = static_cast<int>(s.images.size());
  record.num_frames_total = static_cast<int>(imagesTotal);
  record.tcp_T_camera_list = {s.hand_eye};
  if (!covariance.empty()) record.tcp_T_camera_covariance = covariance;
  record.joint_solve = joint;
  record.four_axis = fourAxis;
  if (!s.fixed_pose.empty()) record.robot_T_target = s.fixed_pose;
  record.recheck = recheck;
  io::saveHandEyeResult(outputPath, record);
}

HandEyeSolution HandEyeCore::solve(cv::HandEyeCalibrationMethod solver, const std::string& method,
                                   const std::vector<detail::Pose>& robots, const std::vector<cv::Mat>& imageList,
                                   const std::vector<cv::Mat>& cameraTTargetList, const cv::Mat& intrinsicMatrix,
                                   const cv::Mat& distortionCoefficients, const JointOptions& joint) {
  // A call the caller stops leaves the calibrator as it was: its detections too.
  const IntrinsicCalibrator before = intrinsic_;
  try {
    return solveFrames(solver, method, robots, imageList, cameraTTargetList, intrinsicMatrix,
                       distortionCoefficients, joint);
  } catch (const detail::Interrupted&) {
    intrinsic_ = before;
    throw;
  }
}

HandEyeSolution HandEyeCore::solveFrames(cv::HandEyeCalibrationMethod solver, const std::string& method,
                                         const std::vector<detail::Pose>& robots,
                                         const std::vector<cv::Mat>& imageList,
                                         const std::vector<cv::Mat>& cameraTTargetList,
                                         const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                         const JointOptions& joint) {
  logging::log(Level::INFO, "Collected images " + std::to_string(imageList.size()));
  logging::log(Level::INFO, "Collected poses " + std::to_string(robots.size()));

  HandEyeSolution s;
  s.intrinsic_matrix = intrinsicMatrix;
  s.distortion_coefficients = distortionCoefficients;
  const std::optional<Frames> frames = resolveFrames(s, robots, imageList, cameraTTargetList);
  if (!frames) return s;

  s.images = frames->images;
  s.cams = frames->cams;
  s.robot_indices = frames->indices;
  if (frames->robots.size() < kMinFramesPerSolve) {
    fail(s, Level::ERROR, "", "too_few_frames",
         "Not enough valid poses for hand-eye calibration after filtering. Got " +
             std::to_string(frames->robots.size()) + ", need at least 4.");
    return s;
  }
  warnIfOrientationsIdentical(frames->cam_poses, component_, fixed_camera_);
  const SingleAxisMotions single = singleAxisMotions(frames->robots, fixed_camera_);
  if (single.single) {
    // the rotations alone leave X's rotation open, as they always said; the four-axis finding says what to give
    if (!joint.four_axis.given() && !rotationObservable(frames->robots)) warnNotObservable(component_);
    if (!solveFourAxisFrames(s, *frames, single, joint)) return s;
  } else if (!solveSixAxisFrames(s, *frames, robots, solver, method, joint)) {
    return s;
  }
  s.ok = true;
  const detail::Pose X = detail::toPose(s.hand_eye);
  // Target poses handed in without an intrinsic matrix give nothing to project with.
  if (!s.intrinsic_matrix.empty()) {
    s.consistency = targetConsistency(frames->robots, s.hand_eye, frames->cam_poses, s.intrinsic_matrix,
                                      s.distortion_coefficients, boardObjectPoints(), &s.fixed_pose);
    s.has_consistency = true;
  } else {
    targetConsistency(frames->robots, s.hand_eye, frames->cam_poses, cv::Mat(), cv::Mat(), cv::Mat(), &s.fixed_pose);
  }
  if (s.joint) s.fixed_pose = s.joint->fixed_pose;
  s.fixed_pose_covariance =
      fixedPoseCovariance(fixedPosePerFrame(frames->robots, X, frames->cam_poses), s.fixed_pose);
  return s;
}

bool HandEyeCore::solveSixAxisFrames(HandEyeSolution& s, const Frames& frames, const std::vector<detail::Pose>& robots,
                                     cv::HandEyeCalibrationMethod solver, const std::string& method,
                                     const JointOptions& joint) const {
  if (joint.four_axis.given()) {
    logging::log(Level::WARNING, "[" + component_ + "] The flange turns about more than one axis, so the motions "
                                 "fix the whole transform: known_axis_offset_m and known_board_height_m are not used.");
  }
  if (!acceptData(s, checkPairingAndUnits(robots, frames.indices, frames.cam_poses, fixed_camera_))) return false;
  const ClosedForm closed = solveClosedForm(frames.robots, frames.cam_poses, solver, method, true);
  if (!closed.hand_eye) {
    fail(s, Level::WARNING, "[" + component_ + "] ", closed.code, closed.why);
    return false;
  }
  if (!acceptData(s, checkSolution(frames.robots, frames.cam_poses, *closed.hand_eye, fixed_camera_))) return false;
  s.hand_eye = cv::Mat(*closed.hand_eye, true);
  ReplicateCams replicateCams;
  s.uncertainty = uncertaintyOf(frames, solver, s, &replicateCams);
  measureBoardScale(s, frames, replicateCams);
  return !joint.refine || refineSolution(s, frames, method, joint);
}

bool HandEyeCore::solveFourAxisFrames(HandEyeSolution& s, const Frames& frames, const SingleAxisMotions& single,
                                      const JointOptions& joint) const {
  const FourAxisConstraint& c = joint.four_axis;
  const std::vector<detail::Pose>& robots = frames.robots;
  const std::vector<detail::Pose>& cams = frames.cam_poses;
  const std::string tag = "[" + component_ + "] ";
  if (!c.given()) {
    acceptData(s, {fourAxisFinding(single, fixed_camera_)});
    return false;
  }
  const std::optional<FourAxisSolution> solved = solveFourAxis(robots, cams, single.axis, c);
  if (!solved) {
    fail(s, Level::ERROR, tag, "four_axis_solve_failed",
         "The four-axis solve found no transform: the camera's motions do not turn about one axis with the flange's.");
    return false;
  }
  if (!acceptData(s, checkSolution(robots, cams, solved->hand_eye, fixed_camera_))) return false;
  s.hand_eye = cv::Mat(solved->hand_eye, true);
  const std::size_t n = robots.size();
  s.uncertainty = jackknifeUncertainty(n, solved->hand_eye, [&](const std::vector<bool>& leftOut) -> std::optional<detail::Pose> {
    std::vector<detail::Pose> rs, cs;
    for (std::size_t i = 0; i < n; ++i) {
      if (leftOut[i]) continue;
      rs.push_back(robots[i]);
      cs.push_back(cams[i]);
    }
    const std::optional<FourAxisSolution> r = solveFourAxis(rs, cs, single.axis, c);
    if (!r) return std::nullopt;
    return r->hand_eye;
  });
  // the value given moves X along the axis one for one: its tolerance is that component's sigma
  if (s.uncertainty.known()) s.uncertainty = withAxisTolerance(s.uncertainty.covariance, single.axis, c.tolerance_m);
  FourAxisSolve f;
  f.axis = {single.axis[0], single.axis[1], single.axis[2]};
  f.base_axis = {single.base_axis[0], single.base_axis[1], single.base_axis[2]};
  f.constraint = c.axis_offset_m ? "known_axis_offset_m" : "known_board_height_m";
  f.value_m = c.axis_offset_m ? *c.axis_offset_m : *c.board_height_m;
  f.tolerance_m = c.tolerance_m;
  f.axis_offset_m = detail::translationOf(solved->hand_eye).dot(single.axis);
  f.board_height_m = detail::translationOf(solved->fixed_pose).dot(fixedPoseAxis(robots, single.axis));
  f.off_axis_deg = single.off_axis_deg;
  f.about_axis_deg = single.about_axis_deg;
  f.rms_m = solved->rms_m;
  std::ostringstream os;
  os << std::fixed << std::setprecision(2) << tag << "Four-axis solve: the flange turns about one axis only (up to "
     << f.about_axis_deg << " deg, at most " << f.off_axis_deg << " deg about any other direction); " << f.constraint
     << " = " << std::setprecision(4) << f.value_m << " m held, the camera's offset along the axis "
     << f.axis_offset_m << " m, the board's " << f.board_height_m << " m; translation residual " << std::setprecision(3)
     << f.rms_m * 1000 << " mm RMS.";
  logging::log(Level::INFO, os.str());
  s.four_axis = std::move(f);
  if (joint.refine && !refineSolution(s, frames, "four-axis solve", joint)) {
    s.four_axis.reset();
    return false;
  }
  if (s.joint) {
    s.four_axis->axis_offset_m = detail::translationOf(detail::toPose(s.joint->hand_eye)).dot(single.axis);
    const cv::Vec3d fixedAxis = fixedPoseAxis(robots, single.axis);
    s.four_axis->board_height_m = detail::translationOf(detail::toPose(s.joint->fixed_pose)).dot(fixedAxis);
  }
  return true;
}

bool HandEyeCore::refineSolution(HandEyeSolution& s, const Frames& frames, const std::string& method,
                                 const JointOptions& joint) const {
  HandEyeJointProblem p;
  p.fixed_camera = fixed_camera_;
  for (const detail::Pose& robot : frames.robots) p.robots.push_back(cv::Mat(robot, true));
  p.object_points = frames.objects;
  p.image_points = frames.points;
  p.camera_T_target = frames.cams;
  p.intrinsic_matrix = s.intrinsic_matrix;
  p.distortion_coefficients = s.distortion_coefficients;
  // the camera calibrated from these very images: its intrinsics move with the rest
  p.intrinsics_free = !frames.imageSize.empty();
  p.fixed_intrinsics = intrinsic_.options().calibrate_camera_flags;
  p.hand_eye = s.hand_eye;
  p.given = joint.noise.value_or(NoiseEstimate{});
  p.free_board_scale = joint.free_board_scale;
  const auto variety = fixed_camera_ ? quality::analyzeFixedCameraRotationVariety(frames.cams, 0.5)
                                     : quality::analyzeRotationVariety(frames.cams, 0.5);
  p.poor_rotation_variety = !variety || variety->axis_span_ratio < kPoorAxisSpan;
  if (s.four_axis) {
    // one rotation axis by design: the value given holds the component the motions leave open
    const FourAxisSolve& f = *s.four_axis;
    const cv::Vec3d axis(f.axis[0], f.axis[1], f.axis[2]);
    const bool onHandEye = f.constraint == "known_axis_offset_m";
    p.axis_prior =
        AxisPrior{onHandEye, onHandEye ? axis : fixedPoseAxis(frames.robots, axis), f.value_m, f.tolerance_m};
    p.poor_rotation_variety = false;
  }

  HandEyeJointSolve j = refineHandEye(p);
  j.closed_form_method = method;
  j.closed_form_uncertainty = s.uncertainty;
  const std::string tag = "[" + component_ + "] Joint solve";
  if (!j.ok) {
    fail(s, Level::ERROR, "[" + component_ + "] ", "joint_solve_failed",
         "Joint solve failed: " + j.failure->message +
             ". No refined transform; the closed form's stays on the result's joint record.");
    s.hand_eye = cv::Mat();
    s.uncertainty = TransformUncertainty{};
    s.joint = std::move(j);
    return false;
  }
  std::ostringstream os;
  os << std::fixed << std::setprecision(3) << tag << ": moved " << j.moved_mm << " mm / " << std::setprecision(4)
     << j.moved_deg << " deg from " << method << "; noise levels " << std::setprecision(3) << j.noise.pixel_px
     << " px, " << j.noise.robot_translation_m * 1000 << " mm, " << std::setprecision(4) << j.noise.robot_rotation_deg
     << " deg.";
  logging::log(Level::INFO, os.str());
  if (j.raised) {
    double worst = 0.0;
    for (double v : j.uncertainty.translation_std_m) worst = std::max(worst, v);
    std::ostringstream w;
    w << tag << ": the geometry is weak (" << j.weak_reason << "); its 1-sigma is raised to what the data shows, up to "
      << std::fixed << std::setprecision(2) << worst * 1000 << " mm.";
    logging::log(Level::WARNING, w.str());
  }
  s.hand_eye = j.hand_eye;
  s.uncertainty = j.uncertainty;
  s.intrinsic_matrix = j.intrinsic_matrix;
  s.distortion_coefficients = j.distortion_coefficients;
  s.joint = std::move(j);
  return true;
}

// Logs what the data check found; false (after an ERROR naming the fix) when a finding makes the
// data unusable.
bool HandEyeCore::acceptData(HandEyeSolution& s, const std::vector<HandEyeDataFinding>& findings) const {
  const HandEyeDataFinding* refused = nullptr;
  for (const HandEyeDataFinding& f : findings) {
    logging::log(Level::WARNING, "[" + component_ + "] Data check, " + f.code + ": " + f.message);
    s.data_findings.push_back(f);
    if (refused == nullptr && refusesResult(f)) refused = &f;
  }
  if (refused == nullptr) return true;
  fail(s, Level::ERROR, "[" + component_ + "] ", refused->code,
       "No hand-eye transform: the data check found " + refused->code + ". " + refused->message);
  return false;
}

std::optional<HandEyeCore::Frames> HandEyeCore::resolveFrames(HandEyeSolution& s,
                                                              const std::vector<detail::Pose>& robots,
                                                              const std::vector<cv::Mat>& imageList,
                                                              const std::vector<cv::Mat>& cameraTTargetList) {
  // each frame's target pose as a Pose too, for the solves
  const auto withPoses = [](std::optional<Frames> frames) {
    if (frames) {
      for (const cv::Mat& c : frames->cams) frames->cam_poses.push_back(detail::toPose(c));
    }
    return frames;
  };
  if (!cameraTTargetList.empty()) {
    if (robots.size() != cameraTTargetList.size()) {
      throw std::invalid_argument(
          component_ + ": robot_T_tcp_list must be pre-aligned to camera_T_target_list. Got " +
          std::to_string(robots.size()) + " (robot) vs " + std::to_string(cameraTTargetList.size()) +
          " (camera). Filter robot_T_tcp_list by the backend's successful indices before passing it in.");
    }
    std::vector<int> indices(robots.size());
    for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<int>(i);
    // target poses given: no corners or image size to re-solve the camera with
    return withPoses(Frames{robots, imageList, cameraTTargetList, std::move(indices), {}, {}, {}, {}});
  }
  if (imageList.size() != robots.size()) {
    throw std::invalid_argument(
        component_ + ": image_list and robot_T_tcp_list must have the same length, got " +
        std::to_string(imageList.size()) + " images and " + std::to_string(robots.size()) +
        " robot poses. Each image pairs with the robot pose recorded with it; a dataset folder with a missing image "
        "file loads one image short (io.load_hand_eye_pairs keeps images and poses paired).");
  }
  if (!s.intrinsic_matrix.empty()) return withPoses(framesFromGivenIntrinsics(s, robots, imageList));
  return withPoses(framesFromIntrinsicCalibration(s, robots, imageList));
}

std::optional<HandEyeCore::Frames> HandEyeCore::framesFromGivenIntrinsics(HandEyeSolution& s,
                                                                          const std::vector<detail::Pose>& robots,
                                                                          const std::vector<cv::Mat>& imageList) const {
  checkPoseDetection(s.intrinsic_matrix, s.distortion_coefficients);
  std::vector<cv::Mat> points, objects;
  // one robot pose per image: resolveFrames has checked the lengths
  TargetPoses found =
      detectTargetPoses(imageList, imageList.size(), s.intrinsic_matrix, s.distortion_coefficients, &points, &objects);
  Frames frames;
  for (int i : found.valid_indices) {
    frames.robots.push_back(robots[static_cast<std::size_t>(i)]);
    frames.images.push_back(imageList[static_cast<std::size_t>(i)]);
  }
  frames.cams = std::move(found.camera_T_target_list);
  frames.indices = std::move(found.valid_indices);
  if (frames.cams.size() < kMinFramesPerSolve) {
    fail(s, Level::ERROR, "", "too_few_frames",
         "Only " + std::to_string(frames.cams.size()) + " valid frames after solvePnP  -  need at least 4.");
    s.images = std::move(frames.images);
    s.robot_indices = std::move(frames.indices);
    return std::nullopt;
  }
  warnIfIntrinsicsMisfit(objects, points, frames.cams, s.intrinsic_matrix, s.distortion_coefficients,
                         imageList.front().size(), component_);
  frames.points = std::move(points);
  frames.objects = std::move(objects);
  return frames;
}

std::optional<HandEyeCore::Frames> HandEyeCore::framesFromIntrinsicCalibration(
    HandEyeSolution& s, const std::vector<detail::Pose>& robots, const std::vector<cv::Mat>& imageList) {
  const IntrinsicResult intrinsic = intrinsic_.calibrate(imageList);
  s.intrinsic_matrix = intrinsic.intrinsic_matrix;
  s.distortion_coefficients = intrinsic.distortion_coefficients;
  s.reprojection_error = intrinsic.reprojection_error;

  Frames chosen;
  std::vector<cv::Mat> points, objects;
  for (std::size_t k : chosenViews(intrinsic)) {
    const auto imageIndex = static_cast<std::size_t>(intrinsic.successful_indices[k]);
    // Images beyond the end of the robot pose list have no pose to pair with.
    if (imageIndex >= robots.size()) {
      logging::log(Level::WARNING,
                   "[" + component_ + "] No robot pose for image " + std::to_string(imageIndex) + ", skipping.");
      continue;
    }
    chosen.images.push_back(imageList[imageIndex]);
    chosen.robots.push_back(robots[imageIndex]);
    chosen.indices.push_back(static_cast<int>(imageIndex));
    points.push_back(intrinsic.image_points[k]);
    objects.push_back(intrinsic_.detections().object_points[k]);
  }
  if (s.intrinsic_matrix.empty() || chosen.robots.size() < kMinFramesPerSolve) {
    fail(s, Level::ERROR, "", "too_few_frames", "Not enough valid images for extrinsic calibration. Need at least 4!");
    s.images = std::move(chosen.images);
    s.robot_indices = std::move(chosen.indices);
    return std::nullopt;
  }
  logging::log(Level::INFO, "Calculating extrinsic (hand-eye) transform...");
  TargetPoses poses =
      posesOfDetectedViews(chosen.images, points, objects, s.intrinsic_matrix, s.distortion_coefficients);
  Frames frames;
  frames.cams = std::move(poses.camera_T_target_list);
  for (int k : poses.valid_indices) {
    const auto i = static_cast<std::size_t>(k);
    frames.images.push_back(chosen.images[i]);
    frames.robots.push_back(chosen.robots[i]);
    frames.indices.push_back(chosen.indices[i]);
    frames.points.push_back(points[i]);
    frames.objects.push_back(objects[i]);
  }
  frames.imageSize = imageList.front().size();
  return frames;
}

// With its own intrinsics, each jackknife replicate calibrates the camera again without the frames
// it leaves out, so that the intrinsics' share of the error, common to every frame, is counted too.
TransformUncertainty HandEyeCore::uncertaintyOf(const Frames& frames, cv::HandEyeCalibrationMethod solver,
                                                const HandEyeSolution& s, ReplicateCams* replicateCams) const {
  const detail::Pose X = detail::toPose(s.hand_eye);
  if (frames.imageSize.empty()) return handEyeUncertainty(frames.robots, frames.cam_poses, solver, X);
  const std::size_t n = frames.robots.size();
  if (replicateCams != nullptr) replicateCams->assign(n, std::nullopt);
  return jackknifeUncertainty(n, X, [&](const std::vector<bool>& leftOut) -> std::optional<detail::Pose> {
    std::vector<int> leftOutImages;
    for (std::size_t i = 0; i < n; ++i) {
      if (leftOut[i]) leftOutImages.push_back(frames.indices[i]);
    }
    const auto intrinsics =
        intrinsic_.solveWithout(leftOutImages, frames.imageSize, s.intrinsic_matrix, s.distortion_coefficients);
    if (!intrinsics) return std::nullopt;
    std::vector<detail::Pose> robots, cams;
    for (std::size_t i = 0; i < n; ++i) {
      if (leftOut[i]) continue;
      std::optional<cv::Mat> pose = poseByPnP(frames.objects[i], frames.points[i], intrinsics->first, intrinsics->second);
      if (!pose) return std::nullopt;
      robots.push_back(frames.robots[i]);
      cams.push_back(detail::toPose(*pose));
    }
    // a replicate is known by the first frame it leaves out, its group
    const auto first = std::find(leftOut.begin(), leftOut.end(), true);
    if (replicateCams != nullptr && first != leftOut.end()) (*replicateCams)[static_cast<std::size_t>(first - leftOut.begin())] = cams;
    return solveHandEyeQuietly(robots, cams, solver);
  });
}

void HandEyeCore::measureBoardScale(HandEyeSolution& s, const Frames& frames, const ReplicateCams& replicateCams) const {
  const double stated = std::visit(Overloaded{[](const ChessboardTarget& t) { return t.square_size; },
                                              [](const CharucoTarget& t) { return t.square_length; },
                                              [](const ArucoTarget& t) { return t.marker_length; }},
                                   target_);
  TargetPosesWithout posesWithout;
  // with its own intrinsics each replicate's target poses are those of its own camera solve
  if (!frames.imageSize.empty()) {
    posesWithout = [&](std::size_t group, const std::vector<bool>&) -> std::optional<std::vector<detail::Pose>> {
      return group < replicateCams.size() ? replicateCams[group] : std::nullopt;
    };
  }
  s.board_scale = estimateBoardScale(frames.robots, frames.cam_poses, stated, posesWithout);
  if (std::optional<HandEyeDataFinding> f = boardScaleFinding(s.board_scale)) acceptData(s, {*f});
}

HandEyeCore::AlignedTargetPoses HandEyeCore::computeCameraTTargetList(const std::vector<cv::Mat>& imageList,
                                                                      const std::vector<cv::Mat>& robotTTcpList,
                                                                      const cv::Mat& intrinsicMatrix,
                                                                      const cv::Mat& distortionCoefficients) const {
  checkPoseDetection(intrinsicMatrix, distortionCoefficients);
  detail::requireFinite(robotTTcpList, component_, "robot_T_tcp_list");
  detail::requireRigid(robotTTcpList, component_, "robot_T_tcp_list");
  TargetPoses found = detectTargetPoses(imageList, std::min(imageList.size(), robotTTcpList.size()), intrinsicMatrix,
                                        distortionCoefficients, nullptr, nullptr);
  AlignedTargetPoses out;
  for (int i : found.valid_indices) {
    out.valid_image_list.push_back(imageList[static_cast<std::size_t>(i)]);
    out.valid_robot_T_tcp_list.push_back(robotTTcpList[static_cast<std::size_t>(i)]);
  }
  out.camera_T_target_list = std::move(found.camera_T_target_list);
  out.valid_indices = std::move(found.valid_indices);
  return out;
}

void HandEyeCore::checkPoseDetection(const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients) const {
  // A fixed camera's path takes any board; the camera on the flange keeps its ChArUco-only contract.
  if (!fixed_camera_ && charucoOf(target_) == nullptr) {
    throw std::invalid_argument(component_ + "::computeCameraTTargetList only supports CharucoTarget");
  }
  detail::requireFinite(intrinsicMatrix, component_, "intrinsic_matrix");
  detail::requireFinite(distortionCoefficients, component_, "distortion_coefficients");
}

HandEyeCore::TargetPoses HandEyeCore::detectTargetPoses(const std::vector<cv::Mat>& imageList, std::size_t frames,
                                                        const cv::Mat& intrinsicMatrix,
                                                        const cv::Mat& distortionCoefficients,
                                                        std::vector<cv::Mat>* points,
                                                        std::vector<cv::Mat>* objects) const {
  const std::string kind = kindName(target_);
  std::vector<std::optional<cv::Mat>> poses(frames);
  std::vector<TargetDetection> detections(frames);
  detail::forEachView(frames, [&](std::size_t i) {
    const TargetDetector detector(target_, DetectionSettings::forPose());
    const TargetDetection d = detector.detect(detail::toGray(imageList[i]));
    if (!d.found || d.object_points.empty()) {
      logging::log(Level::WARNING, "frame " + std::to_string(i) + ": " + kind + " detection failed  -  skipping");
      return;
    }
    poses[i] = poseByPnP(d.object_points, d.image_points, intrinsicMatrix, distortionCoefficients);
    if (!poses[i]) logging::log(Level::WARNING, "frame " + std::to_string(i) + ": solvePnP failed  -  skipping");
    if (points != nullptr) detections[i] = d;
  });

  TargetPoses out;
  for (std::size_t i = 0; i < frames; ++i) {
    if (!poses[i]) continue;
    out.camera_T_target_list.push_back(std::move(*poses[i]));
    out.valid_indices.push_back(static_cast<int>(i));
    if (points != nullptr) {
      points->push_back(detections[i].image_points);
      objects->push_back(detections[i].object_points);
    }
  }
  logging::log(Level::INFO, "compute_camera_T_target_list: " + std::to_string(out.camera_T_target_list.size()) +
                                "/" + std::to_string(imageList.size()) + " frames passed");
  return out;
}

HandEyeCore::TargetPoses HandEyeCore::computeTargetPoses(const std::vector<cv::Mat>& images,
                                                         const std::vector<cv::Mat>& imagePoints,
                                                         const cv::Mat& intrinsicMatrix,
                                                         const cv::Mat& distortionCoefficients) const {
  TargetPoses out;
  // A chessboard is complete in every view, so the detected corners are used as they are;
  // the marker boards are detected again.
  std::visit(Overloaded{[&](const ChessboardTarget& t) {
                          const cv::Mat objectPoints = t.objectPoints();
                          out = collect(imagePoints.size(), [&](std::size_t k) {
                            std::optional<cv::Mat> pose =
                                poseByPnP(objectPoints, imagePoints[k], intrinsicMatrix, distortionCoefficients);
                            if (!pose) {
                              logging::log(Level::WARNING, "[" + component_ +
                                                               "] solvePnP failed for chessboard image " +
                                                               std::to_string(k) + ", skipping.");
                            }
                            return pose;
                          });
                        },
                        [&](const CharucoTarget&) {
                          out = redetectedTargetPoses(images, intrinsicMatrix, distortionCoefficients, "ChArUco");
                        },
                        [&](const ArucoTarget&) {
                          out = redetectedTargetPoses(images, intrinsicMatrix, distortionCoefficients, "ArUco");
                        }},
             target_);
  return out;
}

HandEyeCore::TargetPoses HandEyeCore::posesOfDetectedViews(const std::vector<cv::Mat>& images,
                                                           const std::vector<cv::Mat>& imagePoints,
                                                           const std::vector<cv::Mat>& objectPoints,
                                                           const cv::Mat& intrinsicMatrix,
                                                           const cv::Mat& distortionCoefficients) const {
  // ChArUco detection is deterministic and the intrinsic step used the same detector, so
  // detecting those views again would give the same corners: they are taken as they are.
  // An ArUco view is detected again, as computeTargetPoses does, without marker refinement.
  const auto* charuco = charucoOf(target_);
  if (charuco == nullptr) return computeTargetPoses(images, imagePoints, intrinsicMatrix, distortionCoefficients);
  return collect(imagePoints.size(), [&](std::size_t k) {
    return poseByPnP(objectPoints[k], imagePoints[k], intrinsicMatrix, distortionCoefficients);
  });
}

HandEyeCore::TargetPoses HandEyeCore::redetectedTargetPoses(const std::vector<cv::Mat>& images,
                                                            const cv::Mat& intrinsicMatrix,
                                                            const cv::Mat& distortionCoefficients,
                                                            const char* kind) const {
  return collect(images.size(), [&](std::size_t k) -> std::optional<cv::Mat> {
    const TargetDetector detector(target_, DetectionSettings::forPose());
    const TargetDetection d = detector.detect(detail::toGray(images[k]));
    if (!d.found) {
      logging::log(Level::WARNING, "[" + component_ + "] " + kind + " re-detection failed for image " +
                                       std::to_string(k) + ", skipping.");
      return std::nullopt;
    }
    // a view that shows only markers of other boards, or where solvePnP fails, is skipped quietly
    if (d.object_points.empty()) return std::nullopt;
    return poseByPnP(d.object_points, d.image_points, intrinsicMatrix, distortionCoefficients);
  });
}

cv::Mat HandEyeCore::boardObjectPoints() const { return boardPoints(target_); }

// Every frame implies the same fixed pose robots[i] * X * cams[i] when X is right; deviations are
// taken from their average pose. With an intrinsic matrix, each frame's camera distance and the
// pixel where the board's centre appears are added.
TargetConsistencyStats targetConsistency(const std::vector<detail::Pose>& robots, const cv::Mat& X,
                                         const std::vector<detail::Pose>& cams, const cv::Mat& intrinsicMatrix,
                                         const cv::Mat& distortionCoefficients, const cv::Mat& board, cv::Mat* mean) {
  TargetConsistencyStats stats;
  const std::size_t n = std::min(robots.size(), cams.size());
  if (n == 0) return stats;
  std::vector<cv::Mat> implied;
  implied.reserve(n);
  for (std::size_t i = 0; i < n; ++i) implied.push_back(cv::Mat(robots[i]) * X * cv::Mat(cams[i]));
  const cv::Mat average = tf::averagePose(implied);
  if (mean != nullptr) *mean = average;
  const cv::Mat meanT = average(cv::Rect(3, 0, 1, 3));
  const cv::Mat meanR = average(cv::Rect(0, 0, 3, 3));
  double sumT = 0.0, sumR = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dt = cv::norm(implied[i](cv::Rect(3, 0, 1, 3)) - meanT, cv::NORM_L2);
    const cv::Mat Ri = implied[i](cv::Rect(0, 0, 3, 3));
    const double c = std::max(-1.0, std::min(1.0, (cv::trace(Ri.t() * meanR)[0] - 1.0) * 0.5));
    const double dr = toDegrees(std::acos(c));
    stats.translation_deviations_m.push_back(dt);
    stats.rotation_deviations_deg.push_back(dr);
    sumT += dt;
    sumR += dr;
    if (i == 0 || dt > stats.max_translation_m) stats.max_translation_m = dt;
    if (i == 0 || dr > stats.max_rotation_deg) stats.max_rotation_deg = dr;
  }
  stats.mean_translation_m = sumT / static_cast<double>(n);
  stats.mean_rotation_deg = sumR / static_cast<double>(n);
  if (intrinsicMatrix.empty()) return stats;

  cv::Point3f centre(0.f, 0.f, 0.f);
  if (board.rows > 0) {
    cv::Mat m;
    cv::reduce(board, m, 0, cv::REDUCE_AVG, CV_64F);
    centre = cv::Point3f(static_cast<float>(m.at<double>(0)), static_cast<float>(m.at<double>(1)),
                         static_cast<float>(m.at<double>(2)));
  }
  const cv::Mat distortion =
      distortionCoefficients.empty() ? cv::Mat::zeros(1, 5, CV_64F) : distortionCoefficients;
  for (const detail::Pose& pose : cams) {
    const cv::Mat cameraTTarget(pose);
    cv::Mat rvec;
    cv::Rodrigues(cameraTTarget(cv::Rect(0, 0, 3, 3)), rvec);
    const cv::Mat tvec = cameraTTarget(cv::Rect(3, 0, 1, 3)).clone();
    stats.distances_m.push_back(cv::norm(tvec, cv::NORM_L2));
    std::vector<cv::Point2f> projected;
    cv::projectPoints(std::vector<cv::Point3f>{centre}, rvec, tvec, intrinsicMatrix, distortion, projected);
    stats.board_us.push_back(static_cast<double>(projected[0].x));
    stats.board_vs.push_back(static_cast<double>(projected[0].y));
  }
  return stats;
}

namespace {

// refine_hand_eye's inputs, refused with what is wrong: aligned lists, rigid robot poses, a 3x3
// camera matrix, N x 3 board points with N x 2 corners, finite values, positive noise levels.
std::vector<detail::Pose> checkCornerInputs(const std::vector<cv::Mat>& robotTTcpList,
                                            const std::vector<cv::Mat>& imagePoints,
                                            const std::vector<cv::Mat>& objectPoints, const cv::Mat& intrinsicMatrix,
                                            const cv::Mat& distortionCoefficients,
                                            const std::optional<NoiseEstimate>& noise) {
  const std::string c = "refine_hand_eye";
  const std::size_t n = robotTTcpList.size();
  if (imagePoints.size() != n || objectPoints.size() != n) {
    throw std::invalid_argument(c + ": robot_T_tcp_list, image_points and object_points must be aligned, got " +
                                std::to_string(n) + ", " + std::to_string(imagePoints.size()) + " and " +
                                std::to_string(objectPoints.size()));
  }
  std::vector<detail::Pose> robots = detail::toPoses(robotTTcpList, c, "robot_T_tcp_list");
  if (intrinsicMatrix.rows != 3 || intrinsicMatrix.cols != 3 || intrinsicMatrix.channels() != 1) {
    throw std::invalid_argument(c + ": intrinsic_matrix must be 3x3");
  }
  detail::requireFinite(intrinsicMatrix, c, "intrinsic_matrix");
  detail::requireFinite(distortionCoefficients, c, "distortion_coefficients");
  for (std::size_t i = 0; i < n; ++i) {
    const cv::Mat& obj = objectPoints[i];
    const cv::Mat& img = imagePoints[i];
    const bool objOk = (obj.cols == 3 && obj.channels() == 1) || (obj.cols == 1 && obj.channels() == 3);
    const bool imgOk = img.total() * static_cast<std::size_t>(img.channels()) == 2 * static_cast<std::size_t>(obj.rows);
    if (!objOk || !imgOk) {
      throw std::invalid_argument(c + ": object_points[" + std::to_string(i) + "] must be N x 3 and image_points[" +
                                  std::to_string(i) + "] N x 2 for the same N");
    }
    detail::requireFinite(obj, c, "object_points[" + std::to_string(i) + "]");
    detail::requireFinite(img, c, "image_points[" + std::to_string(i) + "]");
  }
  if (noise) {
    for (double v : {noise->pixel_px, noise->robot_translation_m, noise->robot_rotation_deg}) {
      if (!std::isnan(v) && !(v > 0.0 && std::isfinite(v))) {
        throw std::invalid_argument(c + ": a noise level must be a positive number, or NaN to estimate it");
      }
    }
  }
  return robots;
}

}  // namespace

HandEyeJointSolve refineHandEyeFromCorners(const std::vector<cv::Mat>& robotTTcpList,
                                           const std::vector<cv::Mat>& imagePoints,
                                           const std::vector<cv::Mat>& objectPoints, const cv::Mat& intrinsicMatrix,
                                           const cv::Mat& distortionCoefficients, const std::string& method,
                                           bool eyeToHand, bool intrinsicsFree,
                                           const std::optional<NoiseEstimate>& noise, bool freeBoardScale) {
  const std::string c = "refine_hand_eye";
  const cv::HandEyeCalibrationMethod solver = solverByName(method);
  const std::vector<detail::Pose> given =
      checkCornerInputs(robotTTcpList, imagePoints, objectPoints, intrinsicMatrix, distortionCoefficients, noise);
  const std::size_t n = robotTTcpList.size();
  cv::Mat K, D;
  intrinsicMatrix.convertTo(K, CV_64F);
  distortionCoefficients.convertTo(D, CV_64F);
  HandEyeJointProblem p;
  p.fixed_camera = eyeToHand;
  p.intrinsic_matrix = K;
  p.distortion_coefficients = D;
  p.intrinsics_free = intrinsicsFree;
  p.free_board_scale = freeBoardScale;
  p.given = noise.value_or(NoiseEstimate{});
  std::vector<detail::Pose> robots, cams;
  for (std::size_t i = 0; i < n; ++i) {
    cv::Mat obj, img;
    objectPoints[i].reshape(1, objectPoints[i].rows).convertTo(obj, CV_32F);
    imagePoints[i].reshape(2, obj.rows).convertTo(img, CV_32FC2);
    if (obj.rows < static_cast<int>(kMinPointsPerView)) continue;
    std::optional<cv::Mat> pose = poseByPnP(obj, img, K, D);
    if (!pose) continue;
    robots.push_back(eyeToHand ? detail::inversePose(given[i]) : given[i]);
    cams.push_back(detail::toPose(*pose));
    p.robots.push_back(cv::Mat(robots.back(), true));
    p.object_points.push_back(obj);
    p.image_points.push_back(img);
    p.camera_T_target.push_back(*pose);
  }
  HandEyeJointSolve failed;
  failed.closed_form_method = method;
  const std::optional<detail::Pose> X = solveHandEyeQuietly(robots, cams, solver);
  if (!X) {
    failed.failure = Failure{"closed_form_failed", "the closed form (" + method + ") found no transform in " +
                                                       std::to_string(p.robots.size()) + " frames with a board pose"};
    return failed;
  }
  p.hand_eye = cv::Mat(*X, true);
  const auto variety = eyeToHand ? quality::analyzeFixedCameraRotationVariety(p.camera_T_target, 0.5)
                                 : quality::analyzeRotationVariety(p.camera_T_target, 0.5);
  p.poor_rotation_variety = !variety || variety->axis_span_ratio < kPoorAxisSpan;
  HandEyeJointSolve j = refineHandEye(p);
  j.closed_form_method = method;
  j.closed_form_uncertainty = handEyeUncertainty(robots, cams, solver, *X);
  return j;
}

std::string formatHandEyeReport(const HandEyeReportText& text, const HandEyeReportData& d) {
  const std::string rule(60, '=');
  std::ostringstream os;
  os << "\n" << rule << "\n" << text.title << "\n" << rule << "\n";
  if (d.transform.empty()) {
    os << "Calibration failed.\n";
    return os.str();
  }
  const auto matrix = detail::matrixText;
  os << "\n" << text.transform << ":\n" << matrix(d.transform) << "\n";
  writePose(os, d.transform);
  if (text.fixed_pose != nullptr && !d.fixed_pose.empty()) {
    os << "\n" << text.fixed_pose << ":\n" << matrix(d.fixed_pose) << "\n";
    writePose(os, d.fixed_pose);
  }
  os << "\nIntrinsic Matrix:\n" << matrix(d.intrinsic_matrix) << "\n";
  os << "\nDistortion Coefficients:\n" << matrix(d.distortion_coefficients) << "\n";
  os << "\nReprojection Error: ";
  if (std::isnan(d.reprojection_error)) {
    os << "n/a\n";
  } else {
    os << std::fixed << std::setprecision(4) << d.reprojection_error << " px\n";
  }
  if (d.has_consistency) {
    const TargetConsistencyStats& c = d.consistency;
    os << "\n" << text.consistency << ":\n";
    os << "  Translation - mean: " << c.mean_translation_m * 1000 << " mm   max: " << c.max_translation_m * 1000
       << " mm\n";
    os << "  Rotation    - mean: " << c.mean_rotation_deg << " deg   max: " << c.max_rotation_deg << " deg\n";
    for (std::size_t i = 0; i < c.translation_deviations_m.size(); ++i) {
      os << "  Frame " << i << ": trans=" << c.translation_deviations_m[i] * 1000
         << "mm rot=" << c.rotation_deviations_deg[i] << "deg dist=" << c.distances_m[i] * 1000 << "mm center=("
         << c.board_us[i] << ", " << c.board_vs[i] << ")\n";
    }
  }
  if (!d.camera_T_target_list.empty()) {
    const auto stats = text.fixed_camera ? quality::analyzeFixedCameraRotationVariety(d.camera_T_target_list, 0.5)
                                         : quality::analyzeRotationVariety(d.camera_T_target_list, 0.5);
    os << "\n" << quality::formatRotationVariety(stats);
  }
  os << formatTrust(text, d);
  if (d.joint) os << formatJointSolve({text.joint_title, text.transform_name, text.axes}, *d.joint);
  return os.str();
}

}  // namespace vesk::calibration
