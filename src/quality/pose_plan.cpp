#include "quality/pose_plan.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <optional>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include <opencv2/calib3d.hpp>

#include "calibration/hand_eye/hand_eye_core.hpp"
#include "core/constants.hpp"
#include "core/logging.hpp"
#include "core/threads.hpp"
#include "core/transforms.hpp"

namespace vesk::quality {

namespace {

using detail::Pose;
using detail::rotationOf;
using detail::translationOf;

// The smallest flange rotation a plan makes from its start pose: below it a closed-form solve (TSAI
// at 8 degrees, 1 series in 20) can return the identity rotation for the motions it is given. The
// first plan rotates by at least this much; a full plan tilts its views by at least this much and
// needs a max_rotation_deg that leaves room for it.
constexpr double kMinPlanMotionDeg = 10.0;
constexpr double kTiltShareOfLimit = 0.85;  // the largest tilt, as a share of max_rotation_deg
constexpr double kMinUsefulRotationDeg = kMinPlanMotionDeg / kTiltShareOfLimit;
// Lengths are metres, like the target's. A robot flange further than this from its base, a board
// smaller than this in the image, or limits beyond this many board distances are other units.
constexpr double kMaxPlausibleReachM = 10.0;
constexpr double kMinBoardPixels = 50.0;
constexpr double kMaxLimitInBoardDistances = 20.0;
// A plan whose noise-free solve misses the guess by more than this (m, deg) cannot be solved.
constexpr double kCleanSolveToleranceM = 1e-4;
constexpr double kCleanSolveToleranceDeg = 0.01;
// Candidate views: tilts of the viewing direction from the start view's (deg), roll about the
// optical axis (deg), the aim point off the board centre (share of the board diagonal): views that all
// aim at one point leave the hand-eye translation poorly determined.
constexpr double kMinTiltDeg = 20.0;
constexpr double kMaxTiltDeg = 35.0;
constexpr double kMaxRollDeg = 30.0;
constexpr double kMaxAimShift = 0.1;
constexpr int kCandidates = 1500;
// The diversity of two views: orientation difference in units of this angle, and board centre
// distance in the image in units of this share of the image diagonal.
constexpr double kOrientationUnitDeg = 20.0;
constexpr double kImageUnit = 0.25;
// Path length between two flange poses: metres plus this many metres per radian.
constexpr double kMetresPerRadian = 0.2;

cv::Mat toMat(const Pose& p) { return cv::Mat(p, true); }

Pose inverse(const Pose& T) { return detail::inversePose(T); }
Pose compose(const cv::Matx33d& R, const cv::Vec3d& t) { return detail::makePose(R, t); }

double angleDeg(const cv::Matx33d& R) { return detail::rotationAngle(R) / kRadPerDeg; }

// The board's points: those a detector finds (for PnP) and those that must be in the image for it
// to find them all (the board's outline included).
struct Board {
  cv::Mat detected;  // N x 3 CV_64F
  cv::Mat visible;   // M x 3 CV_64F
  cv::Vec3d center;
};

Board boardOf(const CalibrationTarget& target) {
  std::vector<cv::Point3d> detected;
  const cv::Mat points = boardPoints(target);
  for (int i = 0; i < points.rows; ++i) {
    detected.emplace_back(points.at<float>(i, 0), points.at<float>(i, 1), points.at<float>(i, 2));
  }
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  std::visit(Overloaded{[&](const ChessboardTarget& t) {
                          // the outer squares around the inner corners
                          x0 = -t.square_size, y0 = -t.square_size;
                          x1 = t.size.width * t.square_size, y1 = t.size.height * t.square_size;
                        },
                        [&](const CharucoTarget& t) {
                          x1 = t.squares_x * t.square_length, y1 = t.squares_y * t.square_length;
                        },
                        [&](const ArucoTarget&) {
                          x0 = y0 = std::numeric_limits<double>::infinity();
                          x1 = y1 = -std::numeric_limits<double>::infinity();
                          for (const cv::Point3d& p : detected) {
                            x0 = std::min(x0, p.x), y0 = std::min(y0, p.y);
                            x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
                          }
                        }},
             target);
  std::vector<cv::Point3d> visible = detected;
  constexpr int kPerEdge = 8;
  for (int k = 0; k <= kPerEdge; ++k) {
    const double a = static_cast<double>(k) / kPerEdge;
    visible.emplace_back(x0 + a * (x1 - x0), y0, 0.0);
    visible.emplace_back(x0 + a * (x1 - x0), y1, 0.0);
    visible.emplace_back(x0, y0 + a * (y1 - y0), 0.0);
    visible.emplace_back(x1, y0 + a * (y1 - y0), 0.0);
  }
  Board b;
  b.detected = cv::Mat(detected, true).reshape(1, static_cast<int>(detected.size()));
  b.visible = cv::Mat(visible, true).reshape(1, static_cast<int>(visible.size()));
  b.center = cv::Vec3d((x0 + x1) / 2.0, (y0 + y1) / 2.0, 0.0);
  return b;
}

class Camera {
 public:
  Camera(const cv::Mat& K, const cv::Mat& D, cv::Size size) : K_(K), D_(D), size_(size) {
    // Points beyond the image corners' field of view are out, whatever a polynomial distortion
    // model folds them back to.
    std::vector<cv::Point2d> corners{{0, 0}, {size.width - 1.0, 0}, {0, size.height - 1.0},
                                     {size.width - 1.0, size.height - 1.0}};
    std::vector<cv::Point2d> normalised;
    cv::undistortPoints(corners, normalised, K, D);
    for (const cv::Point2d& p : normalised) max_radius_ = std::max(max_radius_, std::hypot(p.x, p.y));
  }

  // Pixels of the points at this pose; false when one is behind the camera or outside its view.
  bool project(const cv::Mat& points, const Pose& cameraTTarget, std::vector<cv::Point2d>& pixels) const {
    const cv::Matx33d R = rotationOf(cameraTTarget);
    const cv::Vec3d t = translationOf(cameraTTarget);
    for (int i = 0; i < points.rows; ++i) {
      const cv::Vec3d p = R * cv::Vec3d(points.ptr<double>(i)) + t;
      if (p[2] <= 1e-6 || std::hypot(p[0] / p[2], p[1] / p[2]) > 1.05 * max_radius_) return false;
    }
    cv::projectPoints(points, detail::rotationVector(R), t, K_, D_, pixels);
    return true;
  }

  bool sees(const cv::Mat& points, const Pose& cameraTTarget, double margin) const {
    std::vector<cv::Point2d> pixels;
    return project(points, cameraTTarget, pixels) && inside(pixels, margin);
  }

  bool inside(const std::vector<cv::Point2d>& pixels, double margin) const {
    return std::all_of(pixels.begin(), pixels.end(), [&](const cv::Point2d& p) { return inside(p, margin); });
  }

  bool inside(const cv::Point2d& p, double margin) const {
    return p.x >= margin && p.y >= margin && p.x <= size_.width - 1 - margin && p.y <= size_.height - 1 - margin;
  }

  cv::Point2d centre(const cv::Vec3d& point, const Pose& cameraTTarget) const {
    std::vector<cv::Point2d> pixels;
    cv::projectPoints(std::vector<cv::Point3d>{cv::Point3d(point)}, detail::rotationVector(rotationOf(cameraTTarget)),
                      translationOf(cameraTTarget), K_, D_, pixels);
    return pixels[0];
  }

  cv::Size size() const { return size_; }

 private:
  cv::Mat K_, D_;
  cv::Size size_;
  double max_radius_ = 0.0;
};

std::string number(double v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

// The start view's distance from the camera to the board's centre.
double boardDistance(const PlanSetup& s) {
  const Board board = boardOf(s.target);
  return cv::norm(translationOf(detail::toPose(s.camera_T_target)) + rotationOf(detail::toPose(s.camera_T_target)) * board.center);
}

void requirePose(const cv::Mat& T, const std::string& component, const std::string& name) {
  if (!detail::isPoseShape(T)) {
    throw std::invalid_argument(component + ": " + name + " must be a 4x4 matrix");
  }
  detail::requireFinite(T, component, name);
  if (const std::string problem = detail::rigidTransformProblem(T); !problem.empty()) {
    throw std::invalid_argument(component + ": " + name + " is not a rigid transform: " + problem);
  }
}

void requireSetup(const PlanSetup& s, const std::string& component) {
  if (s.image_size.width <= 0 || s.image_size.height <= 0) {
    throw std::invalid_argument(component + ": image_size must be positive, got " + std::to_string(s.image_size.width) +
                                "x" + std::to_string(s.image_size.height));
  }
  if (s.intrinsic_matrix.empty() || s.intrinsic_matrix.rows != 3 || s.intrinsic_matrix.cols != 3) {
    throw std::invalid_argument(component + ": intrinsic_matrix must be 3x3");
  }
  detail::requireFinite(s.intrinsic_matrix, component, "intrinsic_matrix");
  if (const std::string problem = detail::cameraMatrixProblem(s.intrinsic_matrix, s.image_size); !problem.empty()) {
    throw std::invalid_argument(component + ": intrinsic_matrix is not a camera matrix for the image: " + problem);
  }
  const std::size_t nd = s.distortion_coefficients.total();
  if (nd != 0 && nd != 4 && nd != 5 && nd != 8 && nd != 12 && nd != 14) {
    throw std::invalid_argument(component + ": distortion_coefficients must hold 4, 5, 8, 12 or 14 values, got " +
                                std::to_string(nd));
  }
  detail::requireFinite(s.distortion_coefficients, component, "distortion_coefficients");
  requirePose(s.robot_T_tcp, component, "robot_T_tcp");
  requirePose(s.camera_T_target, component, "camera_T_target");
  requirePose(s.hand_eye_guess, component, "hand_eye_guess");
  // Millimetres where metres belong pass every check above and give plans that cannot work.
  for (const auto& [name, pose] : {std::pair<const char*, const cv::Mat*>{"robot_T_tcp", &s.robot_T_tcp},
                                   {"hand_eye_guess", &s.hand_eye_guess}}) {
    const double reach = cv::norm(translationOf(detail::toPose(*pose)));
    if (reach > kMaxPlausibleReachM) {
      throw std::invalid_argument(component + ": " + name + " has a translation of " + number(reach) +
                                  ", more than " + number(kMaxPlausibleReachM) +
                                  " m: give it in metres, like the target's square size");
    }
  }
  const Board board = boardOf(s.target);
  const Camera camera(s.intrinsic_matrix, s.distortion_coefficients, s.image_size);
  std::vector<cv::Point2d> pixels;
  if (camera.project(board.visible, detail::toPose(s.camera_T_target), pixels)) {
    cv::Point2d lo = pixels.front(), hi = pixels.front();
    for (const cv::Point2d& p : pixels) {
      lo.x = std::min(lo.x, p.x), lo.y = std::min(lo.y, p.y);
      hi.x = std::max(hi.x, p.x), hi.y = std::max(hi.y, p.y);
    }
    const double across = cv::norm(hi - lo);
    if (across < kMinBoardPixels) {
      throw std::invalid_argument(component + ": camera_T_target puts the board " + number(boardDistance(s)) +
                                  " m away, where it spans " + number(std::round(across * 10) / 10) +
                                  " px of the image (too small to detect): give it in metres, like the "
                                  "target's square size");
    }
  }
}

// Every planned pose is one motion M of the camera relative to the board, camera_T_target = M V0,
// whichever part moves. The flange pose that makes it, and back.
struct Cell {
  Pose F0, X, V0;  // start flange pose, hand-eye guess, start view
  bool eye_to_hand;

  Pose flangeOf(const Pose& M) const {
    return eye_to_hand ? X * M * inverse(X) * F0 : F0 * X * inverse(M) * inverse(X);
  }
  Pose motionOf(const Pose& F) const {
    return eye_to_hand ? inverse(X) * F * inverse(F0) * X : inverse(X) * inverse(F) * F0 * X;
  }
};

// The guess off by the given rotation about each of its axes, then by the given translation along
// each: the view at motion M is then d^-1 M d V0 instead of M V0, for the guess times d.
std::vector<Pose> guessErrors(double metres, double degrees) {
  std::vector<Pose> out;
  for (int axis = 0; axis < 3; ++axis) {
    cv::Vec3d w(0, 0, 0);
    w[axis] = degrees * kRadPerDeg;
    out.push_back(compose(detail::rotationMatrix(w), cv::Vec3d(0, 0, 0)));
  }
  for (int axis = 0; axis < 3; ++axis) {
    cv::Vec3d t(0, 0, 0);
    t[axis] = metres;
    out.push_back(compose(cv::Matx33d::eye(), t));
  }
  return out;
}

// The board stays `margin` inside the image at the view V = M V0, and `errorMargin` inside however
// the guess is off within the errors: each point's shift is bounded, to first order, by the length
// of its shifts under the three rotations plus that under the three translations.
bool seesWhateverTheError(const Camera& camera, const cv::Mat& points, const Pose& V, const Pose& M, const Pose& V0,
                          const std::vector<Pose>& errors, double margin, double errorMargin) {
  std::vector<cv::Point2d> nominal;
  if (!camera.project(points, V, nominal)) return false;
  std::vector<double> rotation(nominal.size(), 0.0), translation(nominal.size(), 0.0);
  for (std::size_t e = 0; e < errors.size(); ++e) {
    std::vector<cv::Point2d> moved;
    if (!camera.project(points, inverse(errors[e]) * M * errors[e] * V0, moved)) return false;
    for (std::size_t i = 0; i < nominal.size(); ++i) {
      const cv::Point2d d = moved[i] - nominal[i];
      (e < 3 ? rotation : translation)[i] += d.dot(d);
    }
  }
  for (std::size_t i = 0; i < nominal.size(); ++i) {
    const double need = std::max(margin, errorMargin + std::sqrt(rotation[i]) + std::sqrt(translation[i]));
    if (!camera.inside(nominal[i], need)) return false;
  }
  return true;
}

struct Candidate {
  Pose motion, flange;
  cv::Matx33d orientation;  // target_T_camera rotation
  cv::Point2d centre;       // board centre in the image
};

double diversity(const Candidate& a, const Candidate& b, double diagonal) {
  const double o = angleDeg(a.orientation.t() * b.orientation) / kOrientationUnitDeg;
  const double c = cv::norm(a.centre - b.centre) / (kImageUnit * diagonal);
  return std::hypot(o, c);
}

double pathLength(const Pose& a, const Pose& b) {
  return cv::norm(translationOf(a) - translationOf(b)) +
         kMetresPerRadian * angleDeg(rotationOf(a).t() * rotationOf(b)) * kRadPerDeg;
}

// A short open path from the start through every pose: nearest neighbour, then 2-opt.
std::vector<std::size_t> shortPath(const Pose& start, const std::vector<Pose>& poses) {
  const std::size_t n = poses.size();
  std::vector<std::size_t> order;
  std::vector<bool> used(n, false);
  Pose at = start;
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t best = n;
    for (std::size_t i = 0; i < n; ++i) {
      if (!used[i] && (best == n || pathLength(at, poses[i]) < pathLength(at, poses[best]))) best = i;
    }
    used[best] = true;
    order.push_back(best);
    at = poses[best];
  }
  const auto node = [&](std::ptrdiff_t i) -> const Pose& { return i < 0 ? start : poses[order[static_cast<std::size_t>(i)]]; };
  for (bool improved = true; improved;) {
    improved = false;
    for (std::ptrdiff_t i = 0; i + 1 < static_cast<std::ptrdiff_t>(n); ++i) {
      for (std::ptrdiff_t j = i + 1; j < static_cast<std::ptrdiff_t>(n); ++j) {
        // reverse order[i..j]: edges (i-1, i) and (j, j+1) become (i-1, j) and (i, j+1)
        const bool last = j + 1 == static_cast<std::ptrdiff_t>(n);
        const double before = pathLength(node(i - 1), node(i)) + (last ? 0.0 : pathLength(node(j), node(j + 1)));
        const double after = pathLength(node(i - 1), node(j)) + (last ? 0.0 : pathLength(node(i), node(j + 1)));
        if (after < before - 1e-12) {
          std::reverse(order.begin() + i, order.begin() + j + 1);
          improved = true;
        }
      }
    }
  }
  return order;
}

// The views furthest from each other and from the start, in orientation and in where the board
// lands in the image, one at a time; ordered for a short robot path.
std::vector<cv::Mat> mostDiverse(const std::vector<Candidate>& candidates, const PlanSetup& setup, const Camera& camera,
                                 const Board& board, const Cell& cell, std::size_t wanted) {
  const double diagonal = std::hypot(setup.image_size.width, setup.image_size.height);
  const Candidate startView{Pose::eye(), cell.F0, rotationOf(inverse(cell.V0)), camera.centre(board.center, cell.V0)};
  std::vector<double> nearest(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) nearest[i] = diversity(candidates[i], startView, diagonal);
  std::vector<Pose> chosen;
  for (std::size_t k = 0; k < wanted; ++k) {
    const auto best = static_cast<std::size_t>(std::max_element(nearest.begin(), nearest.end()) - nearest.begin());
    chosen.push_back(candidates[best].flange);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      nearest[i] = std::min(nearest[i], diversity(candidates[i], candidates[best], diagonal));
    }
    nearest[best] = -1.0;
  }
  std::vector<cv::Mat> out;
  for (std::size_t i : shortPath(cell.F0, chosen)) out.push_back(toMat(chosen[i]));
  return out;
}

// The smallest share of the start distance in [lo, hi] at which `fits` holds, by bisection, or
// nothing when it does not hold even at hi.
template <class Fits>
std::optional<double> nearestFit(double lo, double hi, const Fits& fits) {
  if (!fits(hi)) return std::nullopt;
  if (!fits(lo)) {
    for (int step = 0; step < 6; ++step) {
      const double mid = 0.5 * (lo + hi);
      (fits(mid) ? hi : lo) = mid;
    }
    lo = hi;
  }
  return lo;
}

// The four-axis robot's axis, a unit robot-base direction.
cv::Vec3d fourAxisOf(const cv::Vec3d& axis, const std::string& component) {
  const double n = cv::norm(axis);
  if (!std::isfinite(n) || n < 1e-9) throw std::invalid_argument(component + ": axis must be a finite, non-zero direction");
  return axis / n;
}

// A four-axis robot's plan: the flange turned about the axis by up to max_rotation_deg through its
// own position, and moved so that the board's centre lands at a random point of the image, as near
// as it fits. The angle about the axis is found from translations only, with the board's offset
// across the axis from the camera as the lever: the views spread the board over the whole image.
std::vector<cv::Mat> planFourAxisPoses(const PlanSetup& setup, const PlanOptions& o, const Board& board,
                                       const Camera& camera, const Cell& cell) {
  const cv::Vec3d axis = fourAxisOf(*setup.four_axis, "plan_hand_eye_poses");
  const std::vector<Pose> errors = guessErrors(o.guess_error_m, o.guess_error_deg);
  const cv::Vec3d centreInCamera = rotationOf(cell.V0) * board.center + translationOf(cell.V0);
  // the board's centre in the base (camera on the flange) or on the flange (fixed camera)
  const Pose startCamera = cell.eye_to_hand ? cell.X : cell.F0 * cell.X;
  const Pose centreAt = startCamera * compose(cv::Matx33d::eye(), centreInCamera);
  const cv::Vec3d held = translationOf(cell.eye_to_hand ? inverse(cell.F0) * centreAt : centreAt);
  const cv::Matx33d Kinv = cv::Matx33d(setup.intrinsic_matrix).inv();
  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<Candidate> candidates;
  for (int k = 0; k < kCandidates; ++k) {
    const cv::Matx33d R = detail::rotationMatrix(axis * ((2.0 * uniform(rng) - 1.0) * o.max_rotation_deg * kRadPerDeg)) * rotationOf(cell.F0);
    const cv::Vec3d ray = Kinv * cv::Vec3d((0.1 + 0.8 * uniform(rng)) * setup.image_size.width,
                                           (0.1 + 0.8 * uniform(rng)) * setup.image_size.height, 1.0);
    // the flange pose that puts the board's centre at depth scale * its start depth along the ray
    const auto flangeAt = [&](double scale) {
      const cv::Vec3d q = ray * (scale * centreInCamera[2]);
      if (cell.eye_to_hand) return compose(R, rotationOf(cell.X) * q + translationOf(cell.X) - R * held);
      return compose(R, held - R * (rotationOf(cell.X) * q + translationOf(cell.X)));
    };
    const auto fits = [&](double scale) {
      const Pose M = cell.motionOf(flangeAt(scale));
      return seesWhateverTheError(camera, board.visible, M * cell.V0, M, cell.V0, errors, o.margin_px, 0.5 * o.margin_px);
    };
    const std::optional<double> scale = nearestFit(o.min_distance_scale, o.max_distance_scale, fits);
    if (!scale) continue;
    const Pose F = flangeAt(*scale);
    if (cv::norm(translationOf(F) - translationOf(cell.F0)) > o.max_translation_m) continue;
    const Pose M = cell.motionOf(F);
    candidates.push_back({M, F, rotationOf(inverse(M * cell.V0)), camera.centre(board.center, M * cell.V0)});
  }
  const auto wanted = static_cast<std::size_t>(o.n_poses);
  if (candidates.size() < wanted) {
    throw std::invalid_argument("plan_hand_eye_poses: only " + std::to_string(candidates.size()) + " of " +
                                std::to_string(kCandidates) + " four-axis candidate views fit, fewer than the " +
                                std::to_string(wanted) + " poses asked for: relax max_translation_m or "
                                "distance_scale, or start from a view with the board smaller in the image");
  }
  return mostDiverse(candidates, setup, camera, board, cell, wanted);
}

// For a four-axis setup, the plan's common rotation axis in X's parent frame (the tcp; the base for
// a fixed camera); nothing for a six-axis one.
std::optional<cv::Vec3d> fourAxisPlanAxis(const PlanSetup& setup, const std::vector<Pose>& flanges,
                                          const std::string& component) {
  if (!setup.four_axis) return std::nullopt;
  fourAxisOf(*setup.four_axis, component);
  std::vector<Pose> robots;
  for (const Pose& F : flanges) robots.push_back(setup.eye_to_hand ? inverse(F) : F);
  const calibration::SingleAxisMotions single = calibration::singleAxisMotions(robots, setup.eye_to_hand);
  if (!single.single) {
    throw std::invalid_argument(component + ": four_axis=True, but the plan turns the flange about more than one "
                                "axis (up to " + number(single.off_axis_deg) + " deg about any other direction)");
  }
  return single.axis;
}

// One trial's four-axis solve, given the true X's offset along the axis the motions show.
std::optional<Pose> fourAxisTrial(const std::vector<Pose>& robots, const std::vector<Pose>& cams, const Pose& X,
                                  bool eyeToHand, double tolerance) {
  const calibration::SingleAxisMotions single = calibration::singleAxisMotions(robots, eyeToHand);
  if (!single.single) return std::nullopt;
  calibration::FourAxisConstraint c;
  c.axis_offset_m = translationOf(X).dot(single.axis);
  c.tolerance_m = tolerance;
  const std::optional<calibration::FourAxisSolution> s = calibration::solveFourAxis(robots, cams, single.axis, c);
  if (!s) return std::nullopt;
  return s->hand_eye;
}

}  // namespace

namespace {

// The plan's limits, each refused with what to change: lengths in metres and angles in degrees
// plausible for a board `boardDistance` away.
void checkPlanOptions(const PlanSetup& setup, const PlanOptions& o, const std::string& component) {
  if (o.n_poses < 3) {
    throw std::invalid_argument(component + ": n_poses must be at least 3, got " + std::to_string(o.n_poses));
  }
  for (const auto& [name, value] : {std::pair<const char*, double>{"max_rotation_deg", o.max_rotation_deg},
                                    {"max_translation_m", o.max_translation_m}, {"margin_px", o.margin_px + 1.0},
                                    {"guess_error_m", o.guess_error_m + 1.0}, {"guess_error_deg", o.guess_error_deg + 1.0},
                                    {"min_distance_scale", o.min_distance_scale}}) {
    if (!(value > 0.0) || !std::isfinite(value)) {
      throw std::invalid_argument(component + ": " + name + " must be a positive number");
    }
  }
  if (!(o.max_distance_scale >= o.min_distance_scale) || !std::isfinite(o.max_distance_scale)) {
    throw std::invalid_argument(component + ": max_distance_scale must not be below min_distance_scale");
  }
  if (o.max_rotation_deg > 180.0) {
    throw std::invalid_argument(component + ": max_rotation_deg=" + number(o.max_rotation_deg) +
                                " is more than any rotation (180 degrees): give it in degrees");
  }
  const double distance = boardDistance(setup);
  const double plausible = std::max(kMaxLimitInBoardDistances * distance, 1.0);
  // the guess cannot be off by more than the board's distance and still show the board
  for (const auto& [name, value, most] : {std::tuple<const char*, double, double>{"max_translation_m",
                                                                                  o.max_translation_m, plausible},
                                          {"guess_error_m", o.guess_error_m, distance}}) {
    if (value > most) {
      throw std::invalid_argument(component + ": " + name + "=" + number(value) + " is implausible for a board " +
                                  number(std::round(distance * 1000) / 1000) + " m from the camera (at most " +
                                  number(std::round(most * 1000) / 1000) +
                                  " m): give it in metres, like the target's square size");
    }
  }
  if (o.max_rotation_deg < kMinUsefulRotationDeg) {
    throw std::invalid_argument(component + ": max_rotation_deg=" + number(o.max_rotation_deg) +
                                " leaves no room for the rotations a hand-eye calibration needs (views tilted by " +
                                number(kMinPlanMotionDeg) + " degrees at least, so max_rotation_deg of at least " +
                                number(std::ceil(kMinUsefulRotationDeg * 10) / 10) + "); relax max_rotation_deg");
  }
}

// The start view in the board's frame: the camera's position, its distance and direction from the
// board centre, two directions across that one, and the board's diagonal.
struct StartView {
  cv::Vec3d x0, u0, e1, e2;
  double d0 = 0.0;
  double extent = 0.0;
};

StartView startViewOf(const Board& board, const Cell& cell) {
  StartView v;
  const Pose start = inverse(cell.V0);
  const cv::Matx33d R0 = rotationOf(start);
  const cv::Vec3d p0 = translationOf(start);
  v.d0 = cv::norm(p0 - board.center);
  v.u0 = (p0 - board.center) / v.d0;
  v.x0 = cv::Vec3d(R0(0, 0), R0(1, 0), R0(2, 0));
  v.e1 = v.x0 - v.x0.dot(v.u0) * v.u0;
  v.e1 /= cv::norm(v.e1);
  v.e2 = v.u0.cross(v.e1);
  for (int i = 0; i < board.visible.rows; ++i) {
    v.extent = std::max(v.extent, 2.0 * cv::norm(cv::Vec3d(board.visible.ptr<double>(i)) - board.center));
  }
  return v;
}

// Why candidate views were turned down, for the message when too few are left.
struct Rejections {
  std::size_t by_rotation = 0, by_translation = 0, by_view = 0;
  double furthest = 0.0;
};

// One random six-axis candidate: the camera tilted from the start view's direction, rolled about its
// optical axis, aimed near the board centre and brought as near as the board fits in view.
template <class Between>
std::optional<Candidate> sixAxisCandidate(const PlanOptions& o, const Board& board, const Camera& camera,
                                          const Cell& cell, const StartView& v, const std::vector<Pose>& errors,
                                          Between& between, Rejections& rejected) {
  const double tiltHi = std::min(kMaxTiltDeg, kTiltShareOfLimit * o.max_rotation_deg);
  const double tiltLo = std::min(kMinTiltDeg, std::max(0.5 * o.max_rotation_deg, kMinPlanMotionDeg));
  const double rollHi = std::min(kMaxRollDeg, 0.6 * o.max_rotation_deg);
  const double tilt = between(tiltLo, tiltHi) * kRadPerDeg, azimuth = between(0.0, 2.0 * kPi);
  const double roll = between(-rollHi, rollHi) * kRadPerDeg;
  const cv::Vec3d axis = std::cos(azimuth) * v.e1 + std::sin(azimuth) * v.e2;
  const cv::Matx33d tiltR = detail::rotationMatrix(axis * tilt);
  const cv::Vec3d aim = board.center + cv::Vec3d(between(-kMaxAimShift, kMaxAimShift) * v.extent,
                                                 between(-kMaxAimShift, kMaxAimShift) * v.extent, 0.0);
  // the view along this direction at a share of the start view's distance
  const auto viewAt = [&](double scale) {
    const cv::Vec3d position = board.center + scale * v.d0 * (tiltR * v.u0);
    cv::Vec3d z = aim - position;
    z /= cv::norm(z);
    cv::Vec3d x = tiltR * v.x0;
    x -= x.dot(z) * z;
    x /= cv::norm(x);
    x = detail::rotationMatrix(z * roll) * x;
    const cv::Vec3d y = z.cross(x);
    return inverse(compose(cv::Matx33d(x[0], y[0], z[0], x[1], y[1], z[1], x[2], y[2], z[2]), position));
  };
  // As near as the board fits, whatever the guess's error: corner positions, and so the board's
  // pose, are the more precise the larger the board is in the image.
  const auto fits = [&](double scale) {
    const Pose V = viewAt(scale);
    return seesWhateverTheError(camera, board.visible, V, V * inverse(cell.V0), cell.V0, errors, o.margin_px,
                                0.5 * o.margin_px);
  };
  const std::optional<double> scale = nearestFit(o.min_distance_scale, o.max_distance_scale, fits);
  if (!scale) {
    ++rejected.by_view;
    return std::nullopt;
  }
  const Pose V = viewAt(*scale);
  const Pose M = V * inverse(cell.V0);
  const Pose F = cell.flangeOf(M);
  const Pose moved = inverse(cell.F0) * F;
  if (angleDeg(rotationOf(moved)) > o.max_rotation_deg) {
    ++rejected.by_rotation;
    return std::nullopt;
  }
  const double travel = cv::norm(translationOf(F) - translationOf(cell.F0));
  if (travel > o.max_translation_m) {
    ++rejected.by_translation;
    rejected.furthest = std::max(rejected.furthest, travel);
    return std::nullopt;
  }
  return Candidate{M, F, rotationOf(inverse(V)), camera.centre(board.center, V)};
}

// What turned down most candidates, and the limit to relax.
std::string whyTooFew(const PlanOptions& o, const Rejections& r) {
  if (r.by_translation >= r.by_rotation && r.by_translation >= r.by_view) {
    return "most move the flange further than max_translation_m=" + number(o.max_translation_m) +
           " (the views a calibration needs move it up to " + number(std::round(r.furthest * 1000) / 1000) +
           " m); relax max_translation_m";
  }
  if (r.by_rotation >= r.by_view) {
    return "most turn the flange further than max_rotation_deg=" + number(o.max_rotation_deg) +
           "; relax max_rotation_deg";
  }
  return "the board leaves the image in most (with margin_px=" + number(o.margin_px) + " and the guess off by " +
         number(o.guess_error_m * 1000) + " mm / " + number(o.guess_error_deg) +
         " deg); start from a view with the board smaller and nearer the image centre";
}

}  // namespace

std::vector<cv::Mat> planHandEyePoses(const PlanSetup& setup, const PlanOptions& o) {
  const std::string component = "plan_hand_eye_poses";
  requireSetup(setup, component);
  checkPlanOptions(setup, o, component);
  const Board board = boardOf(setup.target);
  const Camera camera(setup.intrinsic_matrix, setup.distortion_coefficients, setup.image_size);
  const Cell cell{detail::toPose(setup.robot_T_tcp), detail::toPose(setup.hand_eye_guess), detail::toPose(setup.camera_T_target),
                  setup.eye_to_hand};
  if (!camera.sees(board.detected, cell.V0, 0.0)) {
    throw std::invalid_argument(component + ": the board is not fully in view from the start pose: camera_T_target "
                                "puts it outside the " + std::to_string(setup.image_size.width) + "x" +
                                std::to_string(setup.image_size.height) + " image");
  }
  if (setup.four_axis) return planFourAxisPoses(setup, o, board, camera, cell);

  const StartView start = startViewOf(board, cell);
  const std::vector<Pose> errors = guessErrors(o.guess_error_m, o.guess_error_deg);
  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const auto between = [&](double a, double b) { return a + (b - a) * uniform(rng); };
  std::vector<Candidate> candidates;
  Rejections rejected;
  for (int k = 0; k < kCandidates; ++k) {
    if (auto c = sixAxisCandidate(o, board, camera, cell, start, errors, between, rejected)) {
      candidates.push_back(std::move(*c));
    }
  }
  const auto wanted = static_cast<std::size_t>(o.n_poses);
  if (candidates.size() < wanted) {
    throw std::invalid_argument(component + ": only " + std::to_string(candidates.size()) + " of " +
                                std::to_string(kCandidates) + " candidate views fit, fewer than the " +
                                std::to_string(wanted) + " poses asked for: " + whyTooFew(o, rejected));
  }
  return mostDiverse(candidates, setup, camera, board, cell, wanted);
}

std::vector<cv::Mat> planFirstHandEyePoses(const cv::Mat& robotTTcp, double angleDeg,
                                           const std::optional<cv::Vec3d>& fourAxis) {
  const std::string component = "plan_first_hand_eye_poses";
  requirePose(robotTTcp, component, "robot_T_tcp");
  if (!(angleDeg >= kMinPlanMotionDeg) || !(angleDeg <= 45.0)) {
    throw std::invalid_argument(component + ": angle_deg must be in [" + number(kMinPlanMotionDeg) +
                                ", 45] (smaller motions are too small to solve), got " + number(angleDeg));
  }
  const Pose F0 = detail::toPose(robotTTcp);
  std::vector<cv::Mat> out;
  if (fourAxis) {
    // about the axis through the flange: the camera's offset from it moves the board across the image
    const cv::Vec3d a = fourAxisOf(*fourAxis, component);
    for (int k = 1; k <= 3; ++k) {
      for (int sign : {1, -1}) {
        out.push_back(toMat(compose(detail::rotationMatrix(a * (sign * k * angleDeg * kRadPerDeg)) * rotationOf(F0), translationOf(F0))));
      }
    }
    return out;
  }
  for (int axis = 0; axis < 3; ++axis) {
    for (int sign : {1, -1}) {
      cv::Vec3d w(0, 0, 0);
      w[axis] = sign * angleDeg * kRadPerDeg;
      out.push_back(toMat(F0 * compose(detail::rotationMatrix(w), cv::Vec3d(0, 0, 0))));
    }
  }
  return out;
}

namespace {

// The prediction's inputs, refused with what to change; the method's OpenCV solver.
cv::HandEyeCalibrationMethod checkPrediction(const PlanSetup& setup, const std::vector<cv::Mat>& plan,
                                             const NoiseModel& noise, const std::string& method, int trials,
                                             const std::string& component) {
  requireSetup(setup, component);
  const auto& methods = calibration::handEyeMethodByNameMap();
  const auto found = methods.find(method);
  if (found == methods.end()) throw std::invalid_argument(component + ": unknown method '" + method + "'");
  if (plan.size() < kMinFramesPerSolve) {
    throw std::invalid_argument(component + ": a plan needs at least " + std::to_string(kMinFramesPerSolve) +
                                " poses, got " + std::to_string(plan.size()));
  }
  for (std::size_t i = 0; i < plan.size(); ++i) requirePose(plan[i], component, "plan[" + std::to_string(i) + "]");
  for (const auto& [name, value] : {std::pair<const char*, double>{"robot_noise_m", noise.robot_m},
                                    {"robot_noise_deg", noise.robot_deg}, {"corner_noise_px", noise.corner_px},
                                    {"known_tolerance_m", noise.known_tolerance_m}}) {
    if (!(value >= 0.0) || !std::isfinite(value)) {
      throw std::invalid_argument(component + ": " + name + " must be a number >= 0");
    }
  }
  if (trials < 2) throw std::invalid_argument(component + ": trials must be at least 2, got " + std::to_string(trials));
  return found->second;
}

// What every simulated solve of a plan shares: the flange poses, the board's corners as the guess
// shows them in each view, and the guess itself.
struct PlanTrials {
  const PlanSetup& setup;
  const NoiseModel& noise;
  cv::HandEyeCalibrationMethod solver;
  Cell cell;
  std::vector<Pose> flanges;
  std::vector<std::vector<cv::Point2d>> clean;
  std::vector<cv::Point3f> object_points;
  std::optional<cv::Vec3d> axis;  // a four-axis plan's axis in X's parent frame
};

PlanTrials planTrials(const PlanSetup& setup, const std::vector<cv::Mat>& plan, const NoiseModel& noise,
                      cv::HandEyeCalibrationMethod solver, const std::string& component) {
  const Board board = boardOf(setup.target);
  const Camera camera(setup.intrinsic_matrix, setup.distortion_coefficients, setup.image_size);
  PlanTrials t{setup, noise, solver,
               Cell{detail::toPose(setup.robot_T_tcp), detail::toPose(setup.hand_eye_guess), detail::toPose(setup.camera_T_target),
                    setup.eye_to_hand},
               {}, std::vector<std::vector<cv::Point2d>>(plan.size()), {}, std::nullopt};
  for (std::size_t i = 0; i < plan.size(); ++i) {
    t.flanges.push_back(detail::toPose(plan[i]));
    const Pose V = t.cell.motionOf(t.flanges[i]) * t.cell.V0;
    if (!camera.project(board.detected, V, t.clean[i]) || !camera.inside(t.clean[i], 0.0)) {
      throw std::invalid_argument(component + ": the board is not fully in view at plan[" + std::to_string(i) +
                                  "] (seen through hand_eye_guess)");
    }
  }
  for (int r = 0; r < board.detected.rows; ++r) {
    t.object_points.emplace_back(static_cast<float>(board.detected.at<double>(r, 0)),
                                 static_cast<float>(board.detected.at<double>(r, 1)), 0.0f);
  }
  t.axis = fourAxisPlanAxis(setup, t.flanges, component);
  return t;
}

// The board's poses in the camera from noisy corners: solvePnP per view, or a camera calibration
// of all views when the intrinsics are found from them too.
void cameraPoses(const PlanTrials& t, const std::vector<std::vector<cv::Point2f>>& pixels, bool intrinsics,
                 std::vector<cv::Mat>& rvecs, std::vector<cv::Mat>& tvecs) {
  const std::size_t n = pixels.size();
  std::vector<std::vector<cv::Point3f>> objects(n, t.object_points);
  rvecs.assign(n, cv::Mat());
  tvecs.assign(n, cv::Mat());
  if (intrinsics) {
    cv::Mat K = t.setup.intrinsic_matrix.clone(), D;
    cv::calibrateCamera(objects, pixels, t.setup.image_size, K, D, rvecs, tvecs, 0,
                        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-9));
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    cv::solvePnP(objects[i], pixels[i], t.setup.intrinsic_matrix, t.setup.distortion_coefficients, rvecs[i], tvecs[i]);
  }
}

// The hand-eye transform of one trial's poses: OpenCV's solver, or the four-axis solve.
std::optional<Pose> solveTrial(const PlanTrials& t, const std::vector<Pose>& robots, const std::vector<cv::Mat>& rvecs,
                               const std::vector<cv::Mat>& tvecs) {
  std::vector<Pose> cams;
  for (std::size_t i = 0; i < robots.size(); ++i) {
    cv::Mat Rc;
    cv::Rodrigues(rvecs[i], Rc);
    cams.push_back(compose(cv::Matx33d(Rc), cv::Vec3d(tvecs[i])));
  }
  if (t.axis) return fourAxisTrial(robots, cams, t.cell.X, t.cell.eye_to_hand, t.noise.known_tolerance_m);
  return calibration::rawClosedForm(robots, cams, t.solver);
}

// One solve of the plan with the noise scaled by `scale`: the error of the solved transform
// (rotation vector, translation) against the guess, or none when no transform comes out.
std::optional<cv::Vec6d> trialError(const PlanTrials& t, std::size_t trial, double scale, bool intrinsics) {
  std::mt19937 rng(static_cast<unsigned>(1000003 * (trial + 1)));
  std::normal_distribution<double> gauss(0.0, 1.0);
  const double cornerPx = scale * t.noise.corner_px, robotM = scale * t.noise.robot_m;
  const double robotRad = scale * t.noise.robot_deg * kRadPerDeg;
  const std::size_t n = t.flanges.size();
  std::vector<std::vector<cv::Point2f>> pixels(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (const cv::Point2d& p : t.clean[i]) {
      pixels[i].emplace_back(static_cast<float>(p.x + cornerPx * gauss(rng)),
                             static_cast<float>(p.y + cornerPx * gauss(rng)));
    }
  }
  std::vector<Pose> robots;
  for (std::size_t i = 0; i < n; ++i) {
    const cv::Vec3d w(robotRad * gauss(rng), robotRad * gauss(rng), robotRad * gauss(rng));
    const cv::Vec3d v(robotM * gauss(rng), robotM * gauss(rng), robotM * gauss(rng));
    const Pose F = t.flanges[i] * compose(detail::rotationMatrix(w), v);
    robots.push_back(t.cell.eye_to_hand ? inverse(F) : F);
  }
  std::optional<Pose> X;
  const detail::SequentialSolve sequential;
  try {
    std::vector<cv::Mat> rvecs, tvecs;
    cameraPoses(t, pixels, intrinsics, rvecs, tvecs);
    X = solveTrial(t, robots, rvecs, tvecs);
  } catch (const cv::Exception&) {
    return std::nullopt;  // a trial OpenCV refuses to solve counts as not solved
  }
  if (!X || !cv::checkRange(cv::Mat(*X))) return std::nullopt;
  const cv::Vec3d dw = detail::rotationVector(rotationOf(*X) * rotationOf(t.cell.X).t());
  const cv::Vec3d dt = translationOf(*X) - translationOf(t.cell.X);
  return cv::Vec6d(dw[0], dw[1], dw[2], dt[0], dt[1], dt[2]);
}

// Why the plan has no prediction, or "" when its noise-free solve gives the guess back: a plan the
// solve misses (motions too small or about one axis) has no sigma, only a wrong answer, and the
// trials' spread would pass for one.
std::string unsolvedWithoutNoise(const PlanTrials& t) {
  const std::optional<cv::Vec6d> exact = trialError(t, 0, 0.0, false);
  if (!exact) return "OpenCV finds no transform even without noise";
  const double exactM = cv::norm(cv::Vec3d((*exact)[3], (*exact)[4], (*exact)[5]));
  const double exactDeg = cv::norm(cv::Vec3d((*exact)[0], (*exact)[1], (*exact)[2])) / kRadPerDeg;
  if (exactM <= kCleanSolveToleranceM && exactDeg <= kCleanSolveToleranceDeg) return "";
  std::ostringstream why;
  why << "without noise it misses the transform by " << std::setprecision(3) << 1000 * exactM << " mm / " << exactDeg
      << " deg";
  return why.str();
}

}  // namespace

TransformUncertainty predictHandEyeUncertainty(const PlanSetup& setup, const std::vector<cv::Mat>& plan,
                                               const NoiseModel& noise, const std::string& method, int trials,
                                               bool calibrateIntrinsics) {
  const std::string component = "predict_hand_eye_uncertainty";
  const cv::HandEyeCalibrationMethod solver = checkPrediction(setup, plan, noise, method, trials, component);
  const PlanTrials t = planTrials(setup, plan, noise, solver, component);
  const auto warnUnsolved = [&](const std::string& why) {
    logging::log(logging::WARNING, component + ": the plan cannot be solved with " + method + " (" + why +
                                       "): no prediction (NaN). Plan larger, more varied rotations.");
    return TransformUncertainty{};
  };
  if (const std::string why = unsolvedWithoutNoise(t); !why.empty()) return warnUnsolved(why);

  std::vector<cv::Vec6d> errors(static_cast<std::size_t>(trials));
  std::vector<bool> solved(static_cast<std::size_t>(trials), false);
  detail::forEachView(static_cast<std::size_t>(trials), [&](std::size_t trial) {
    if (const std::optional<cv::Vec6d> e = trialError(t, trial, 1.0, calibrateIntrinsics)) {
      errors[trial] = *e;
      solved[trial] = true;
    }
  });
  cv::Matx66d cov = cv::Matx66d::zeros();
  int count = 0;
  for (std::size_t k = 0; k < errors.size(); ++k) {
    if (!solved[k]) continue;
    cov += errors[k] * errors[k].t();
    ++count;
  }
  if (count < 2) return warnUnsolved(std::to_string(count) + " of " + std::to_string(trials) + " noisy trials solved");
  cov *= 1.0 / count;
  if (t.axis) return calibration::withAxisTolerance(cv::Mat(cov, true), *t.axis, noise.known_tolerance_m);
  return uncertaintyOf(cv::Mat(cov, true));
}

PlanSize posesNeededForSigma(const PlanSetup& setup, PlanOptions options, const NoiseModel& noise,
                             double translationMm, double rotationDeg, const std::string& method, int trials,
                             bool calibrateIntrinsics) {
  if (!(translationMm > 0.0) || !(rotationDeg > 0.0) || !std::isfinite(translationMm) || !std::isfinite(rotationDeg)) {
    throw std::invalid_argument("poses_needed_for_sigma: the target sigma must be positive");
  }
  PlanSize out;
  for (int n : {6, 8, 10, 12, 15, 20, 25, 30, 40, 50, 60}) {
    options.n_poses = n;
    std::vector<cv::Mat> plan;
    try {
      plan = planHandEyePoses(setup, options);
    } catch (const std::invalid_argument&) {
      if (out.plan.empty()) throw;  // not even the smallest plan fits: the caller must hear why
      break;
    }
    const TransformUncertainty u = predictHandEyeUncertainty(setup, plan, noise, method, trials, calibrateIntrinsics);
    out.n_poses = n;
    out.plan = plan;
    out.predicted = u;
    const bool met = u.known() &&
                     std::all_of(u.translation_std_m.begin(), u.translation_std_m.end(),
                                 [&](double s) { return s * 1000.0 <= translationMm; }) &&
                     std::all_of(u.rotation_std_deg.begin(), u.rotation_std_deg.end(),
                                 [&](double s) { return s <= rotationDeg; });
    if (met) {
      out.reached = true;
      break;
    }
  }
  return out;
}

}  // namespace vesk::quality
