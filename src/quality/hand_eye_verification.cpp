#include "quality/hand_eye_verification.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <optional>
#include <sstream>
#include <stdexcept>

#include <opencv2/calib3d.hpp>

#include "core/matrix_text.hpp"
#include "core/constants.hpp"
#include "core/transforms.hpp"
#include "targets/detection.hpp"

namespace vesk::quality {

namespace {

using detail::fixedText;

using detail::Pose;
using Mat66 = cv::Matx66d;

constexpr const char* kComponent = "verify_hand_eye";
// A view enters the re-check with this many corners: its own pose fit then leaves 6 degrees of
// freedom for the pixel noise.
constexpr int kMinCorners = 6;
// Robot pose noise assumed where the record holds no estimate, per axis.
constexpr double kDefaultRobotM = 0.2e-3;
constexpr double kDefaultRobotDeg = 0.02;
constexpr int kChangeIterations = 5;

// ---- chi-square quantile -------------------------------------------------------------------------

// The regularised lower incomplete gamma function P(a, x): series below a + 1, continued fraction above.
double lowerGammaP(double a, double x) {
  if (x <= 0) return 0.0;
  const double logPrefix = -x + a * std::log(x) - std::lgamma(a);
  if (x < a + 1) {
    double term = 1.0 / a, sum = term;
    for (int n = 1; n < 1000 && std::abs(term) > std::abs(sum) * 1e-15; ++n) sum += term *= x / (a + n);
    return sum * std::exp(logPrefix);
  }
  const double tiny = 1e-300;
  double b = x + 1 - a, c = 1 / tiny, d = 1 / b, h = d;
  for (int i = 1; i < 1000; ++i) {
    const double an = -i * (i - a);
    b += 2;
    d = an * d + b;
    d = std::abs(d) < tiny ? tiny : d;
    c = b + an / c;
    c = std::abs(c) < tiny ? tiny : c;
    d = 1 / d;
    h *= d * c;
    if (std::abs(d * c - 1) < 1e-15) break;
  }
  return 1.0 - std::exp(logPrefix) * h;
}

// ---- geometry ------------------------------------------------------------------------------------

cv::Matx33d skew(const cv::Vec3d& t) { return {0, -t[2], t[1], t[2], 0, -t[0], -t[1], t[0], 0}; }

// Ad_A, for twists (rotation, translation): A Exp(x) A^-1 = Exp(Ad_A x).
Mat66 adjoint(const Pose& A) {
  const cv::Matx33d R = detail::rotationOf(A), tR = skew(detail::translationOf(A)) * R;
  Mat66 out = Mat66::zeros();
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      out(r, c) = out(r + 3, c + 3) = R(r, c);
      out(r + 3, c) = tR(r, c);
    }
  }
  return out;
}

// A stored transform's change (rotation about the parent's axes, translation added) as a twist
// applied on the left: T' = Exp(P d) T.
Mat66 parameterMap(const Pose& T) {
  Mat66 out = Mat66::eye();
  const cv::Matx33d t = skew(detail::translationOf(T));
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) out(r + 3, c) = t(r, c);
  }
  return out;
}

// T changed by d = (rotation vector, translation): R' = Exp(w) R, t' = t + v.
Pose changed(const Pose& T, const cv::Vec6d& d) {
  cv::Matx33d dR;
  cv::Rodrigues(cv::Vec3d(d[0], d[1], d[2]), dR);
  return detail::makePose(dR * detail::rotationOf(T), detail::translationOf(T) + cv::Vec3d(d[3], d[4], d[5]));
}

// camera_T_target at one robot pose: tcp_T_camera^-1 robot_T_tcp^-1 robot_T_target with the camera on
// the flange, robot_T_camera^-1 robot_T_tcp tcp_T_target with the camera fixed.
Pose predictedPose(bool eyeToHand, const Pose& transform, const Pose& fixed, const Pose& robot) {
  const Pose inner = eyeToHand ? robot : detail::inversePose(robot);
  return detail::inversePose(transform) * inner * fixed;
}

// Square root of a covariance (symmetric, PSD up to rounding): S with S S^T = C.
cv::Mat covarianceRoot(const cv::Mat& covariance) {
  cv::Mat values, vectors;
  cv::eigen((covariance + covariance.t()) / 2, values, vectors);
  cv::Mat root = cv::Mat(vectors.t());
  for (int k = 0; k < values.rows; ++k) root.col(k) *= std::sqrt(std::max(0.0, values.at<double>(k)));
  return root;
}

bool known(const cv::Mat& covariance) {
  return covariance.rows == 6 && covariance.cols == 6 && detail::allFinite(covariance);
}

cv::Mat asMat(const Mat66& m) { return cv::Mat(m, true); }

// ---- views ---------------------------------------------------------------------------------------

struct View {
  int index = 0;
  cv::Mat object;  // N x 3, double
  cv::Mat image;   // 2N x 1, double (u0, v0, u1, ...)
  Pose robot;
};

// The robot poses as Poses, after checking every input.
std::vector<Pose> checkInputs(const StoredHandEye& s, const std::vector<cv::Mat>& robots,
                              const std::vector<cv::Mat>& images) {
  if (images.empty() || images.size() > kMaxVerificationViews) {
    throw std::invalid_argument(std::string(kComponent) + ": give 1 to 5 images, got " +
                                std::to_string(images.size()));
  }
  if (robots.size() != images.size()) {
    throw std::invalid_argument(std::string(kComponent) + ": " + std::to_string(images.size()) + " images but " +
                                std::to_string(robots.size()) + " robot poses: each image needs the pose it was taken at");
  }
  detail::requireColourImages(images, kComponent, "images");
  std::vector<Pose> poses = detail::toPoses(robots, kComponent, "robot_T_tcp_list");
  detail::requireIntrinsicShapes(s.intrinsic_matrix, s.distortion_coefficients, kComponent);
  for (const auto& [m, name] : {std::pair{&s.transform, "the stored transform"}, {&s.fixed_pose, "the stored fixed pose"}}) {
    if (!detail::isRigidTransform(*m)) throw std::invalid_argument(std::string(kComponent) + ": " + name + " is not a rigid 4x4 transform");
  }
  for (std::size_t i = 0; i < images.size(); ++i) {
    if (s.image_size.area() > 0 && images[i].size() != s.image_size) {
      throw std::invalid_argument(std::string(kComponent) + ": images[" + std::to_string(i) + "] is " +
                                  std::to_string(images[i].cols) + "x" + std::to_string(images[i].rows) +
                                  ", the calibration's images " + std::to_string(s.image_size.width) + "x" +
                                  std::to_string(s.image_size.height));
    }
  }
  return poses;
}

std::vector<std::optional<View>> detectViews(const StoredHandEye& s, const std::vector<Pose>& robots,
                                             const std::vector<cv::Mat>& images) {
  const TargetDetector detector(s.target);
  std::vector<std::optional<View>> views(images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    const TargetDetection d = detector.detect(detail::toGray(images[i]));
    if (!d.found || d.image_points.rows < kMinCorners) continue;
    View v;
    v.index = static_cast<int>(i);
    d.object_points.convertTo(v.object, CV_64F);
    d.image_points.reshape(1, d.image_points.rows * 2).convertTo(v.image, CV_64F);
    v.robot = robots[i];
    views[i] = std::move(v);
  }
  return views;
}

// Pixels of the board at `pose` (2N x 1) and their derivatives by a twist of the pose on the left
// (2N x 6): with the points in the camera frame and a zero pose, projectPoints' derivatives by the
// rotation vector and the translation are exactly those.
cv::Mat project(const StoredHandEye& s, const View& v, const Pose& pose, cv::Mat* jacobian) {
  cv::Mat inCamera;
  cv::transform(v.object.reshape(3, v.object.rows), inCamera, cv::Mat(pose).rowRange(0, 3));
  cv::Mat pixels, jac;
  cv::projectPoints(inCamera, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), s.intrinsic_matrix, s.distortion_coefficients,
                    pixels, jacobian != nullptr ? jac : cv::noArray());
  if (jacobian != nullptr) *jacobian = jac.colRange(0, 6).clone();
  return cv::Mat(pixels).reshape(1, v.object.rows * 2).clone();
}

// The pixel noise of the new views from each one's own pose fit: residual sum of squares over
// 2N - 6 degrees of freedom, pooled.
double measuredPixelNoise(const StoredHandEye& s, const std::vector<View>& views) {
  double rss = 0;
  int dof = 0;
  for (const View& v : views) {
    const Pose guess = predictedPose(s.eye_to_hand, detail::toPose(s.transform), detail::toPose(s.fixed_pose), v.robot);
    cv::Mat R(detail::rotationOf(guess)), rvec, tvec(detail::translationOf(guess));
    cv::Rodrigues(R, rvec);
    const cv::Mat image = v.image.reshape(2, v.object.rows);
    cv::solvePnP(v.object.reshape(3, v.object.rows), image, s.intrinsic_matrix, s.distortion_coefficients, rvec,
                 tvec, true, cv::SOLVEPNP_ITERATIVE);
    cv::Rodrigues(rvec, R);
    const cv::Mat fit = project(s, v, detail::makePose(cv::Matx33d(R), cv::Vec3d(tvec)), nullptr);
    rss += cv::norm(v.image - fit, cv::NORM_L2SQR);
    dof += 2 * v.object.rows - 6;
  }
  return std::sqrt(rss / dof);
}

// ---- the linear model ----------------------------------------------------------------------------

// Residuals r = detected - predicted of every view, stacked, with their covariance
// sigma^2 I + U U^T (U: the stored uncertainty and the robot noise carried into the pixels) and the
// directions A (M x 12) in which a change of the camera (columns 0-5) or of the board (6-11) moves them.
struct Model {
  cv::Mat r, A, U;
  double s2 = 0;
  cv::Mat inner;  // (s2 I + U^T U)^-1
  std::vector<int> rows;  // first row of each view, and the end

  // Sigma^-1 X by the Woodbury identity.
  cv::Mat solve(const cv::Mat& X) const { return (X - U * (inner * (U.t() * X))) / s2; }
};

cv::Mat residuals(const StoredHandEye& s, const std::vector<View>& views, const Pose& transform, const Pose& fixed,
                  std::vector<cv::Mat>* jacobians) {
  std::vector<cv::Mat> parts;
  for (const View& v : views) {
    cv::Mat jac;
    const cv::Mat predicted = project(s, v, predictedPose(s.eye_to_hand, transform, fixed, v.robot),
                                      jacobians != nullptr ? &jac : nullptr);
    parts.push_back(v.image - predicted);
    if (jacobians != nullptr) jacobians->push_back(jac);
  }
  cv::Mat out;
  cv::vconcat(parts, out);
  return out;
}

// How each source moves view i's pose on the left: a change of the camera, of the board, a robot error.
struct ViewMaps {
  Mat66 camera, board, robot;
};

ViewMaps viewMaps(const StoredHandEye& s, const View& v) {
  const Pose H = detail::toPose(s.transform), F = detail::toPose(s.fixed_pose);
  const Pose predicted = predictedPose(s.eye_to_hand, H, F, v.robot);
  const Mat66 intoCamera = adjoint(detail::inversePose(H));
  ViewMaps m;
  m.camera = -1.0 * intoCamera * parameterMap(H);
  m.board = adjoint(predicted * detail::inversePose(F)) * parameterMap(F);
  m.robot = s.eye_to_hand ? adjoint(detail::inversePose(H) * v.robot) : -1.0 * intoCamera;
  return m;
}

Model buildModel(const StoredHandEye& s, const std::vector<View>& views, double pixelNoise, const cv::Mat& robotRoot) {
  Model m;
  std::vector<cv::Mat> jacobians;
  m.r = residuals(s, views, detail::toPose(s.transform), detail::toPose(s.fixed_pose), &jacobians);
  const int rows = m.r.rows, robotCols = 6 * static_cast<int>(views.size());
  m.A = cv::Mat::zeros(rows, 12, CV_64F);
  cv::Mat robotPart = cv::Mat::zeros(rows, robotCols, CV_64F);
  cv::Mat storedRoot = cv::Mat::zeros(12, 12, CV_64F);
  if (known(s.transform_covariance)) covarianceRoot(s.transform_covariance).copyTo(storedRoot(cv::Rect(0, 0, 6, 6)));
  if (known(s.fixed_pose_covariance)) covarianceRoot(s.fixed_pose_covariance).copyTo(storedRoot(cv::Rect(6, 6, 6, 6)));
  int row = 0;
  for (std::size_t k = 0; k < views.size(); ++k) {
    const ViewMaps maps = viewMaps(s, views[k]);
    const cv::Mat& J = jacobians[k];
    const cv::Range span(row, row + J.rows);
    m.rows.push_back(row);
    m.A(span, cv::Range(0, 6)) += J * asMat(maps.camera);
    m.A(span, cv::Range(6, 12)) += J * asMat(maps.board);
    const int c = 6 * static_cast<int>(k);
    robotPart(span, cv::Range(c, c + 6)) += J * asMat(maps.robot) * robotRoot;
    row += J.rows;
  }
  m.rows.push_back(row);
  cv::hconcat(m.A * storedRoot, robotPart, m.U);
  m.s2 = pixelNoise * pixelNoise;
  m.inner = (m.s2 * cv::Mat::eye(m.U.cols, m.U.cols, CV_64F) + m.U.t() * m.U).inv(cv::DECOMP_SVD);
  return m;
}

// g^T F^+ g over the columns `cols` of A, with the rank of F: the chi-square statistic of a change
// along those columns, and its degrees of freedom.
std::pair<double, int> changeStatistic(const Model& m, cv::Range cols, cv::Mat* estimate = nullptr) {
  const cv::Mat A = m.A.colRange(cols), SA = m.solve(A);
  const cv::Mat F = A.t() * SA, g = SA.t() * m.r;
  cv::Mat values, vectors;
  cv::eigen(F, values, vectors);
  const double top = values.at<double>(0);
  cv::Mat solution = cv::Mat::zeros(F.rows, 1, CV_64F);
  int rank = 0;
  for (int k = 0; k < values.rows; ++k) {
    if (!(values.at<double>(k) > top * 1e-9)) continue;
    ++rank;
    const cv::Mat e = vectors.row(k).t();
    solution += e * (e.dot(g) / values.at<double>(k));
  }
  if (estimate != nullptr) *estimate = solution;
  return {g.dot(solution), rank};
}

// The change of one part alone that explains the views best, refined by re-projecting: (mm, deg).
std::pair<double, double> impliedChange(const StoredHandEye& s, const std::vector<View>& views, const Model& m,
                                        bool camera) {
  const cv::Range cols = camera ? cv::Range(0, 6) : cv::Range(6, 12);
  Model step = m;
  cv::Vec6d total(0, 0, 0, 0, 0, 0);
  for (int it = 0; it < kChangeIterations; ++it) {
    cv::Mat d;
    changeStatistic(step, cols, &d);
    total += cv::Vec6d(d.ptr<double>());
    const Pose H = detail::toPose(s.transform), F = detail::toPose(s.fixed_pose);
    step.r = residuals(s, views, camera ? changed(H, total) : H, camera ? F : changed(F, total), nullptr);
  }
  const double deg = toDegrees(cv::norm(cv::Vec3d(total[0], total[1], total[2])));
  return {cv::norm(cv::Vec3d(total[3], total[4], total[5])) * 1000.0, deg};
}

// ---- verdict -------------------------------------------------------------------------------------

std::string messageOf(const HandEyeVerification& v, std::size_t found, std::size_t given) {
  const std::string transform = v.eye_to_hand ? "robot_T_camera" : "tcp_T_camera";
  const std::string camera = v.eye_to_hand ? "in the cell" : "on its mount";
  const std::string board = v.eye_to_hand ? "on the flange" : "in the cell";
  if (v.verdict == "inconclusive") {
    return "The board was found (with at least 6 corners) in " + std::to_string(found) + " of " +
           std::to_string(given) + " views: re-capture views with the board in sight.";
  }
  if (v.verdict == "consistent") {
    return "The " + std::to_string(found) + " view(s) agree with the stored calibration within its uncertainty and "
           "the noise: nothing to do.";
  }
  const std::string cam = fixedText(v.camera_change_mm, 2) + " mm and " + fixedText(v.camera_change_deg, 3) + " deg";
  const std::string brd = fixedText(v.board_change_mm, 2) + " mm and " + fixedText(v.board_change_deg, 3) + " deg";
  if (v.moved == "camera") return "The camera has moved " + camera + " by about " + cam + ": re-calibrate " + transform + ".";
  if (v.moved == "board") {
    return "The board has moved " + board + " by about " + brd + " while " + transform +
           " still fits: the camera needs nothing, but re-calibrate before the next re-check.";
  }
  if (v.moved == "both") {
    return "The camera and the board both seem to have moved (or the robot's own calibration changed): re-calibrate.";
  }
  return "The board is not where the stored calibration puts it (about " + cam + " if the camera moved " + camera +
         "): re-calibrate " + transform + ", or re-check with 2 or more views at different orientations to tell "
         "which part moved.";
}

// Which part moved, by nested tests: a part alone explains the views when the full change adds
// nothing significant to it.
std::string movedPart(const Model& m, double full, int fullDof, double p) {
  const auto [cameraStat, cameraDof] = changeStatistic(m, cv::Range(0, 6));
  const auto [boardStat, boardDof] = changeStatistic(m, cv::Range(6, 12));
  if (fullDof <= cameraDof || fullDof <= boardDof) return "cannot tell";
  const bool cameraShort = full - cameraStat > chiSquareQuantile(fullDof - cameraDof, p);
  const bool boardShort = full - boardStat > chiSquareQuantile(fullDof - boardDof, p);
  if (!cameraShort && boardShort) return "camera";
  if (cameraShort && !boardShort) return "board";
  return cameraShort ? "both" : "cannot tell";
}

// Per view: the RMS of its residuals, and what sigma^2 I + U U^T gives on average over its rows; the
// two shares of U over every row.
void fillSpread(HandEyeVerification& v, const Model& m, const std::vector<View>& views) {
  const int storedCols = 12;
  double stored = 0, robot = 0;
  for (std::size_t k = 0; k < views.size(); ++k) {
    const cv::Range span(m.rows[k], m.rows[k + 1]);
    const double n = span.size();
    const cv::Mat u = m.U.rowRange(span);
    const double s = cv::norm(u.colRange(0, storedCols), cv::NORM_L2SQR);
    const double r = cv::norm(u.colRange(storedCols, u.cols), cv::NORM_L2SQR);
    stored += s;
    robot += r;
    const int i = views[k].index;
    v.rms_px[i] = std::sqrt(cv::norm(m.r.rowRange(span), cv::NORM_L2SQR) / n);
    v.expected_rms_px[i] = std::sqrt(m.s2 + (s + r) / n);
  }
  v.stored_uncertainty_px = std::sqrt(stored / m.r.rows);
  v.robot_noise_px = std::sqrt(robot / m.r.rows);
}

void setNoise(HandEyeVerification& v, const StoredHandEye& s, double measuredPx) {
  const calibration::NoiseEstimate& n = s.noise;
  v.pixel_noise_px = measuredPx;
  v.pixel_noise_source = "measured on the new views";
  if (std::isfinite(n.pixel_px) && n.pixel_px > measuredPx) {
    v.pixel_noise_px = n.pixel_px;
    v.pixel_noise_source = "the stored estimate, above the new views' own";
  }
  const bool t = std::isfinite(n.robot_translation_m), r = std::isfinite(n.robot_rotation_deg);
  v.robot_translation_m = t ? n.robot_translation_m : kDefaultRobotM;
  v.robot_rotation_deg = r ? n.robot_rotation_deg : kDefaultRobotDeg;
  v.robot_noise_source = t && r ? "the stored estimate" : (t || r ? "stored in part, the default in part" : "the default");
}

}  // namespace

double chiSquareQuantile(int dof, double p) {
  if (dof <= 0 || !(p > 0 && p < 1)) throw std::invalid_argument("chiSquareQuantile: dof > 0 and 0 < p < 1");
  double lo = 0, hi = std::max(1.0, 2.0 * dof);
  while (lowerGammaP(dof / 2.0, hi / 2) < p) hi *= 2;
  for (int i = 0; i < 200 && hi - lo > 1e-12 * hi; ++i) {
    const double mid = (lo + hi) / 2;
    (lowerGammaP(dof / 2.0, mid / 2) < p ? lo : hi) = mid;
  }
  return (lo + hi) / 2;
}

HandEyeVerification verifyHandEye(const StoredHandEye& stored, const std::vector<cv::Mat>& robotTTcpList,
                                  const std::vector<cv::Mat>& images) {
  const std::vector<Pose> robots = checkInputs(stored, robotTTcpList, images);
  HandEyeVerification v;
  v.eye_to_hand = stored.eye_to_hand;
  v.stored_uncertainty_known = known(stored.transform_covariance);
  v.corners.assign(images.size(), 0);
  v.rms_px.assign(images.size(), kNaN);
  v.expected_rms_px.assign(images.size(), kNaN);
  std::vector<View> views;
  for (auto& view : detectViews(stored, robots, images)) {
    if (!view) continue;
    v.corners[static_cast<std::size_t>(view->index)] = view->object.rows;
    views.push_back(std::move(*view));
  }
  if (views.empty()) {
    v.verdict = "inconclusive";
    v.message = messageOf(v, 0, images.size());
    return v;
  }
  setNoise(v, stored, measuredPixelNoise(stored, views));
  const double rot = toRadians(v.robot_rotation_deg), tr = v.robot_translation_m;
  const cv::Mat robotRoot = cv::Mat(cv::Matx66d::diag(cv::Vec6d(rot, rot, rot, tr, tr, tr)));
  const Model m = buildModel(stored, views, v.pixel_noise_px, robotRoot);
  fillSpread(v, m, views);
  std::tie(v.statistic, v.dof) = changeStatistic(m, cv::Range(0, 12));
  v.threshold = chiSquareQuantile(v.dof, 1 - v.false_alarm);
  std::tie(v.camera_change_mm, v.camera_change_deg) = impliedChange(stored, views, m, true);
  std::tie(v.board_change_mm, v.board_change_deg) = impliedChange(stored, views, m, false);
  v.verdict = v.statistic > v.threshold ? "changed" : "consistent";
  if (v.verdict == "changed") v.moved = movedPart(m, v.statistic, v.dof, 1 - v.false_alarm);
  v.message = messageOf(v, views.size(), images.size());
  return v;
}

std::string formatHandEyeVerification(const HandEyeVerification& v) {
  const std::string rule(60, '=');
  const std::string transform = v.eye_to_hand ? "robot_T_camera" : "tcp_T_camera";
  const std::string fixed = v.eye_to_hand ? "tcp_T_target" : "robot_T_target";
  std::ostringstream os;
  os << "\n" << rule << "\n" << (v.eye_to_hand ? "EYE-TO-HAND RE-CHECK" : "HAND-EYE RE-CHECK") << "\n" << rule << "\n";
  os << "Verdict: " << v.verdict;
  if (!v.moved.empty()) os << " (moved: " << v.moved << ")";
  os << "\nView  corners  RMS px  expected px\n" << std::fixed;
  for (std::size_t i = 0; i < v.corners.size(); ++i) {
    os << std::setw(4) << i << std::setw(9) << v.corners[i];
    if (v.corners[i] == 0) {
      os << "  board not found (or fewer than 6 corners)\n";
    } else {
      os << std::setprecision(3) << std::setw(8) << v.rms_px[i] << std::setw(13) << v.expected_rms_px[i] << "\n";
    }
  }
  if (v.dof > 0) {
    os << std::setprecision(1) << "Chi-square over the corners along a change of camera or board: " << v.statistic
       << " over " << v.dof << " degrees of freedom; threshold " << v.threshold << " (" << std::setprecision(0)
       << v.false_alarm * 100 << " % false alarms for an unchanged cell).\n";
    os << std::setprecision(3) << "It allows corner noise " << v.pixel_noise_px << " px (" << v.pixel_noise_source
       << "), the stored " << transform << " and " << fixed << " uncertainty "
       << (v.stored_uncertainty_known ? "" : "(none stored for the transform) ") << v.stored_uncertainty_px
       << " px and robot pose noise " << std::setprecision(2) << v.robot_translation_m * 1000 << " mm / "
       << std::setprecision(3) << v.robot_rotation_deg << " deg (" << v.robot_noise_source << ") "
       << v.robot_noise_px << " px, RMS over the corners.\n";
    os << std::setprecision(2) << "Implied change if only the camera moved: " << v.camera_change_mm << " mm, "
       << std::setprecision(3) << v.camera_change_deg << " deg; if only the board moved: " << std::setprecision(2)
       << v.board_change_mm << " mm, " << std::setprecision(3) << v.board_change_deg << " deg.\n";
  }
  os << v.message << "\n";
  return os.str();
}

}  // namespace vesk::quality
