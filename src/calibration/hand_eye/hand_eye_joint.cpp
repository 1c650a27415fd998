#include "calibration/hand_eye/hand_eye_joint.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <iomanip>
#include <sstream>

#include <opencv2/calib3d.hpp>

#include "calibration/least_squares.hpp"
#include "core/matrix_text.hpp"
#include "core/constants.hpp"
#include "core/threads.hpp"
#include "core/transforms.hpp"

namespace vesk::calibration {

namespace {

using detail::fixedText;

using namespace lsq;

// Floors of the estimated levels: below them a level is as good as exact, and the normal matrix
// only gets worse conditioned.
constexpr double kMinPixelPx = 1e-3;
constexpr double kMinRobotM = 5e-6;
constexpr double kMinRobotRad = 5e-4 * kRadPerDeg;
// Where the estimated levels start: a common industrial arm and corner detector.
constexpr double kStartPixelPx = 0.3;
constexpr double kStartRobotM = 0.3e-3;
constexpr double kStartRobotRad = 0.03 * kRadPerDeg;
// The variance components are settled when no estimated level moves by more than this share.
constexpr double kSettled = 0.005;
constexpr int kMaxRounds = 40;
// A group with less redundancy than this cannot estimate its level; it keeps the one it has.
constexpr double kMinRedundancy = 1.0;
// The normal matrix's sigma is not trusted alone when the joint solves with frames left out
// scatter this many times more on any axis: with 5 to 20 groups the jackknife's own sigma is good
// to about 20-35 %, so a chance factor of 2 is a rare event.
constexpr double kJackknifeDisagreement = 2.0;
// A value along the axis given as exact is held to this sigma (m), finite for the normal matrix.
constexpr double kHeldAxisM = 1e-6;

struct Levels {
  double px, trans, rot;  // 1-sigma: px, m, rad
};

struct State {
  Vec6 c;                   // camera_T_tcp, or camera_T_robot: the inverse of X
  Vec6 w;                   // the fixed pose: robot_T_target, or tcp_T_target
  std::vector<double> q;    // fx, fy, cx, cy, distortion...
  std::vector<Vec6> d;      // per frame: the correction of the robot pose, a flange motion
  double k = 1.0;           // the board's scale, when free
};

// Columns: c 0-5, w 6-11, the free intrinsics, the board's scale when free, then six per frame for
// its correction.
struct Layout {
  std::vector<FreeIntrinsic> free;
  int scale = -1;  // column of the board's scale, -1 when held
  int intrinsics = 12;
  int corrections = 12;
  int size = 12;
  int correction(std::size_t frame) const { return corrections + 6 * static_cast<int>(frame); }
};

// T2 * T1 as a pose vector, with its Jacobians over p1 and p2.
struct Composed {
  Vec6 p;
  cv::Matx66d d1, d2;
};

Composed compose(const Vec6& p1, const Vec6& p2) {
  cv::Mat r3, t3, dr3dr1, dr3dt1, dr3dr2, dr3dt2, dt3dr1, dt3dt1, dt3dr2, dt3dt2;
  cv::composeRT(cv::Vec3d(p1[0], p1[1], p1[2]), cv::Vec3d(p1[3], p1[4], p1[5]), cv::Vec3d(p2[0], p2[1], p2[2]),
                cv::Vec3d(p2[3], p2[4], p2[5]), r3, t3, dr3dr1, dr3dt1, dr3dr2, dr3dt2, dt3dr1, dt3dt1, dt3dr2,
                dt3dt2);
  Composed out;
  const auto put = [](cv::Matx66d& m, const cv::Mat& rr, const cv::Mat& rt, const cv::Mat& tr, const cv::Mat& tt) {
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        m(i, j) = rr.at<double>(i, j);
        m(i, j + 3) = rt.at<double>(i, j);
        m(i + 3, j) = tr.at<double>(i, j);
        m(i + 3, j + 3) = tt.at<double>(i, j);
      }
    }
  };
  for (int i = 0; i < 3; ++i) {
    out.p[i] = r3.at<double>(i);
    out.p[i + 3] = t3.at<double>(i);
  }
  put(out.d1, dr3dr1, dr3dt1, dt3dr1, dt3dt1);
  put(out.d2, dr3dr2, dr3dt2, dt3dr2, dt3dt2);
  return out;
}

struct FrameTerms {
  cv::Mat residual;  // 2N x 1, projected minus detected
  cv::Mat jacobian;  // 2N x columns.size()
  std::vector<int> columns;
};

// camera_T_target of frame i is C * E_i * robots_i^-1 * W for a camera on the flange, and
// C * robots_i^-1 * E_i * W for a fixed one (robots_i is then tcp_T_robot): either way E_i is a
// motion of the flange, the robot pose's own error.
class Model {
 public:
  explicit Model(const HandEyeJointProblem& p) : p_(p) {
    for (std::size_t i = 0; i < p.robots.size(); ++i) {
      inverse_robots_.push_back(poseVector(detail::inverseRigid(p.robots[i])));
      cv::Mat obj, img;
      p.object_points[i].reshape(3, p.object_points[i].rows).convertTo(obj, CV_64FC3);
      p.image_points[i].reshape(2, static_cast<int>(p.image_points[i].total())).convertTo(img, CV_64FC2);
      objects_.push_back(obj);
      pixels_.push_back(img);
    }
  }

  std::size_t frames() const { return objects_.size(); }
  const HandEyeJointProblem& problem() const { return p_; }
  int corners(std::size_t i) const { return objects_[i].rows; }

  FrameTerms terms(std::size_t i, const State& s, const Layout& L, bool withJacobian) const {
    Vec6 b;
    cv::Matx66d dBdW, dBdE;
    if (!p_.fixed_camera) {
      const Composed a = compose(s.w, inverse_robots_[i]);
      const Composed e = compose(a.p, s.d[i]);
      b = e.p;
      dBdW = e.d1 * a.d1;
      dBdE = e.d2;
    } else {
      const Composed e = compose(s.w, s.d[i]);
      const Composed a = compose(e.p, inverse_robots_[i]);
      b = a.p;
      dBdW = a.d1 * e.d1;
      dBdE = a.d1 * e.d2;
    }
    const Composed camera = compose(b, s.c);
    const cv::Vec3d r(camera.p[0], camera.p[1], camera.p[2]), t(camera.p[3], camera.p[4], camera.p[5]);
    cv::Mat projected, jac;
    const cv::Mat objects = L.scale >= 0 ? cv::Mat(objects_[i] * s.k) : objects_[i];
    if (withJacobian) {
      cv::projectPoints(objects, r, t, cameraMatrix(s.q), distortion(s.q), projected, jac);
    } else {
      cv::projectPoints(objects, r, t, cameraMatrix(s.q), distortion(s.q), projected);
    }
    FrameTerms out;
    const cv::Mat& detected = pixels_[i];
    const cv::Mat difference = projected.reshape(2, detected.rows) - detected;
    out.residual = difference.reshape(1, detected.rows * 2);
    if (!withJacobian) return out;

    const cv::Mat Jp = jac.colRange(0, 6);
    std::vector<cv::Mat> blocks{Jp * cv::Mat(camera.d2), Jp * cv::Mat(camera.d1 * dBdW)};
    for (int k = 0; k < 12; ++k) out.columns.push_back(k);
    if (!L.free.empty()) {
      cv::Mat intrinsic(jac.rows, static_cast<int>(L.free.size()), CV_64F, cv::Scalar(0));
      for (std::size_t k = 0; k < L.free.size(); ++k) {
        for (const auto& [column, weight] : L.free[k].columns) {
          intrinsic.col(static_cast<int>(k)) += weight * jac.col(column);
        }
        out.columns.push_back(L.intrinsics + static_cast<int>(k));
      }
      blocks.push_back(intrinsic);
    }
    if (L.scale >= 0) {
      // projection ignores a common factor of the camera-frame point, so d/dk of R k X + t is -J_t t / k
      blocks.push_back(-(jac.colRange(3, 6) * cv::Mat(t)) / s.k);
      out.columns.push_back(L.scale);
    }
    blocks.push_back(Jp * cv::Mat(camera.d1 * dBdE));
    for (int k = 0; k < 6; ++k) out.columns.push_back(L.correction(i) + k);
    cv::hconcat(blocks, out.jacobian);
    return out;
  }

  State step(const State& s, const Layout& L, const cv::Mat& delta) const {
    State out = s;
    const auto d = [&](int i) { return delta.at<double>(i); };
    for (int k = 0; k < 6; ++k) {
      out.c[k] += d(k);
      out.w[k] += d(6 + k);
    }
    wrapRotation(out.c);
    wrapRotation(out.w);
    const double aspect = out.q[1] / out.q[0];
    for (std::size_t k = 0; k < L.free.size(); ++k) {
      const FreeIntrinsic& f = L.free[k];
      out.q[static_cast<std::size_t>(f.index)] += d(L.intrinsics + static_cast<int>(k));
      if (f.index == 0 && f.columns.size() == 2) out.q[1] = aspect * out.q[0];
    }
    if (L.scale >= 0) out.k += d(L.scale);
    for (std::size_t i = 0; i < out.d.size(); ++i) {
      for (int k = 0; k < 6; ++k) out.d[i][k] += d(L.correction(i) + k);
    }
    return out;
  }

 private:
  const HandEyeJointProblem& p_;
  std::vector<Vec6> inverse_robots_;
  std::vector<cv::Mat> objects_, pixels_;
};

// One frame's weighted corner terms: J^T J and J^T r over the columns it touches.
struct FrameNormal {
  cv::Mat JtJ, Jtr;
  std::vector<int> columns;
  double cost = 0.0, weighted = 0.0, squares = 0.0;
};

// The cost and normal equations at one state, with the corners' share of the normal matrix apart
// (for the variance components), the sums they need and each frame's own terms.
struct Evaluation {
  Normal normal;
  std::vector<FrameNormal> frames;
  cv::Mat corners_A;
  cv::Mat prior_A;  // the axis prior's share of the normal matrix, empty without one
  double weighted_squares = 0.0;  // sum of Huber weight x squared pixel error
  double squares = 0.0;
  int corners = 0;
};

// The value given along the axis as one more measurement: of X's translation t_X = -R_c^T t_c, or of
// the fixed pose's.
void addAxisPrior(const std::optional<AxisPrior>& prior, const State& s, Evaluation& e, bool withJacobian) {
  if (!prior) return;
  const AxisPrior& a = *prior;
  const double sigma = std::max(a.sigma_m, kHeldAxisM);
  double along = 0.0;
  cv::Vec6d J;
  const int first = a.on_hand_eye ? 0 : 6;
  if (a.on_hand_eye) {
    cv::Matx33d R;
    cv::Mat dR;  // 3 x 9: d R(i, j) / d r_k at (k, 3 i + j)
    cv::Rodrigues(cv::Vec3d(s.c[0], s.c[1], s.c[2]), R, dR);
    const cv::Vec3d t(s.c[3], s.c[4], s.c[5]), Ra = R * a.axis;
    along = -Ra.dot(t);
    for (int k = 0; k < 3; ++k) {
      double d = 0.0;
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) d += t[i] * dR.at<double>(k, 3 * i + j) * a.axis[j];
      }
      J[k] = -d;
      J[3 + k] = -Ra[k];
    }
  } else {
    along = a.axis.dot(cv::Vec3d(s.w[3], s.w[4], s.w[5]));
    for (int k = 0; k < 3; ++k) {
      J[k] = 0.0;
      J[3 + k] = a.axis[k];
    }
  }
  const double r = (along - a.value_m) / sigma;
  e.normal.cost += r * r;
  if (!withJacobian) return;
  e.prior_A = cv::Mat::zeros(e.normal.A.size(), CV_64F);
  for (int j = 0; j < 6; ++j) {
    for (int k = 0; k < 6; ++k) e.prior_A.at<double>(first + j, first + k) = J[j] * J[k] / (sigma * sigma);
    e.normal.g.at<double>(first + j) += J[j] / sigma * r;
  }
  e.normal.A += e.prior_A;
}

// The frames' terms are computed on the view threads, each into its own slot, and summed in frame
// order: the same bits for every thread count.
Evaluation evaluate(const Model& model, const State& s, const Layout& L, const Levels& lv, double delta,
                    const std::vector<bool>& kept, bool withJacobian) {
  const std::size_t n = model.frames();
  std::vector<FrameNormal> slots(n);
  const double inverseVariance = 1.0 / (lv.px * lv.px);
  detail::forEachView(n, [&](std::size_t i) {
    if (!kept[i]) return;
    FrameTerms t = model.terms(i, s, L, withJacobian);
    const std::vector<double> errors = cornerErrors(t.residual);
    FrameNormal& slot = slots[i];
    for (std::size_t k = 0; k < errors.size(); ++k) {
      const double e = errors[k], w = huberWeight(e, delta);
      slot.cost += huberCost(e, delta) * inverseVariance;
      slot.weighted += w * e * e;
      slot.squares += e * e;
      if (!withJacobian) continue;
      const double root = std::sqrt(w * inverseVariance);
      for (int r = 0; r < 2; ++r) {
        const int row = 2 * static_cast<int>(k) + r;
        t.jacobian.row(row) *= root;
        t.residual.at<double>(row) *= root;
      }
    }
    if (!withJacobian) return;
    slot.JtJ = t.jacobian.t() * t.jacobian;
    slot.Jtr = t.jacobian.t() * t.residual;
    slot.columns = std::move(t.columns);
  });
  Evaluation e;
  if (withJacobian) e.normal = {cv::Mat::zeros(L.size, L.size, CV_64F), cv::Mat::zeros(L.size, 1, CV_64F), 0.0};
  for (std::size_t i = 0; i < n; ++i) {
    if (!kept[i]) continue;
    const FrameNormal& slot = slots[i];
    e.normal.cost += slot.cost;
    e.weighted_squares += slot.weighted;
    e.squares += slot.squares;
    e.corners += model.corners(i);
    if (withJacobian) accumulate(e.normal, slot.JtJ, slot.Jtr, slot.columns);
  }
  if (withJacobian) e.corners_A = e.normal.A.clone();
  e.frames = std::move(slots);
  // the robot poses' prior: each correction a zero-mean flange motion of the robot's noise level
  for (std::size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 6; ++k) {
      const double sigma = k < 3 ? lv.rot : lv.trans;
      const double x = s.d[i][k] / sigma;
      e.normal.cost += x * x;
      if (!withJacobian) continue;
      const int col = L.correction(i) + k;
      e.normal.A.at<double>(col, col) += 1.0 / (sigma * sigma);
      e.normal.g.at<double>(col) += x / sigma;
    }
  }
  addAxisPrior(model.problem().axis_prior, s, e, withJacobian);
  return e;
}

double huberThreshold(const Model& model, const State& s, const Layout& L, const std::vector<bool>& kept) {
  std::vector<double> errors;
  for (std::size_t i = 0; i < model.frames(); ++i) {
    if (!kept[i]) continue;
    const std::vector<double> e = cornerErrors(model.terms(i, s, L, false).residual);
    errors.insert(errors.end(), e.begin(), e.end());
  }
  return std::max(kHuberSigmas * upperMedian(errors) / kRayleighMedian, kMinHuberPx);
}

State descend(const Model& model, State s, const Layout& L, const Levels& lv, double delta,
              const std::vector<bool>& kept, int* iterations) {
  return levenbergMarquardt(
      std::move(s), [&](const State& x) { return evaluate(model, x, L, lv, delta, kept, true).normal; },
      [&](const State& x) { return evaluate(model, x, L, lv, delta, kept, false).normal.cost; },
      [&](const State& x, const cv::Mat& d) { return model.step(x, L, d); }, iterations);
}

// One round of variance components: each group's level from its residuals and its redundancy,
// sigma^2 = v^T P v / (n - tr(N^-1 N_group)).
Levels nextLevels(const Evaluation& e, const cv::Mat& inverse, const State& s, const Layout& L, const Levels& lv,
                  const std::array<bool, 3>& estimate) {
  Levels next = lv;
  if (estimate[0]) {
    const double redundancy = 2.0 * e.corners - inverse.dot(e.corners_A);
    if (redundancy > kMinRedundancy) next.px = std::max(std::sqrt(e.weighted_squares / redundancy), kMinPixelPx);
  }
  for (int g = 0; g < 2; ++g) {
    if (!estimate[static_cast<std::size_t>(g + 1)]) continue;
    const double sigma = g == 0 ? lv.trans : lv.rot;
    const int first = g == 0 ? 3 : 0;
    double squares = 0.0, trace = 0.0;
    for (std::size_t i = 0; i < s.d.size(); ++i) {
      for (int k = first; k < first + 3; ++k) {
        squares += s.d[i][k] * s.d[i][k];
        const int col = L.correction(i) + k;
        trace += inverse.at<double>(col, col);
      }
    }
    const double redundancy = 3.0 * static_cast<double>(s.d.size()) - trace / (sigma * sigma);
    if (!(redundancy > kMinRedundancy)) continue;
    const double level = std::sqrt(squares / redundancy);
    if (g == 0) next.trans = std::max(level, kMinRobotM);
    if (g == 1) next.rot = std::max(level, kMinRobotRad);
  }
  return next;
}

// A level the components shrink round after round by a steady factor (a robot more exact than its
// start, heading for the floor) is moved two rounds' worth at once.
void accelerate(Levels& next, const Levels& now, const Levels& before) {
  const auto step = [](double& n, double x, double b, double floor) {
    const double ratio = n / x, last = x / b;
    if (ratio < 0.8 && last < 0.8) n = std::max(n * ratio, floor);
  };
  step(next.px, now.px, before.px, kMinPixelPx);
  step(next.trans, now.trans, before.trans, kMinRobotM);
  step(next.rot, now.rot, before.rot, kMinRobotRad);
}

bool settled(const Levels& a, const Levels& b) {
  const auto close = [](double x, double y) { return std::abs(x - y) <= kSettled * std::max(x, y); };
  return close(a.px, b.px) && close(a.trans, b.trans) && close(a.rot, b.rot);
}

cv::Mat topLeft6(const cv::Mat& m) { return m(cv::Rect(0, 0, 6, 6)).clone(); }

// Share of each axis's variance from the corners, the robot poses and the intrinsics. With the
// intrinsics held at their estimate the covariance is N_h^-1 (N_corners + N_robot) N_h^-1; what the
// free intrinsics add on top of it is theirs.
cv::Mat errorBudget(const Evaluation& e, const cv::Mat& inverse, const State& s, const Layout& L) {
  cv::Mat budget(6, 3, CV_64F, cv::Scalar(kNaN));
  std::vector<int> index;
  for (int j = 0; j < L.size; ++j) {
    if (j < L.intrinsics || j >= L.corrections) index.push_back(j);
  }
  const int n = static_cast<int>(index.size());
  cv::Mat held(n, n, CV_64F), cornersHeld(n, n, CV_64F), priorHeld = cv::Mat::zeros(n, n, CV_64F);
  for (int a = 0; a < n; ++a) {
    for (int b = 0; b < n; ++b) {
      held.at<double>(a, b) = e.normal.A.at<double>(index[a], index[b]);
      cornersHeld.at<double>(a, b) = e.corners_A.at<double>(index[a], index[b]);
      if (!e.prior_A.empty()) priorHeld.at<double>(a, b) = e.prior_A.at<double>(index[a], index[b]);
    }
  }
  const cv::Mat heldInverse = inverseScaled(held);
  if (heldInverse.empty()) return budget;
  const cv::Mat fromCorners = inverseCovariance(s.c, topLeft6(heldInverse * cornersHeld * heldInverse));
  const cv::Mat fromRobot =
      inverseCovariance(s.c, topLeft6(heldInverse * (held - cornersHeld - priorHeld) * heldInverse));
  const cv::Mat fromPrior =
      e.prior_A.empty() ? cv::Mat() : inverseCovariance(s.c, topLeft6(heldInverse * priorHeld * heldInverse));
  const cv::Mat total = inverseCovariance(s.c, topLeft6(inverse));
  for (int k = 0; k < 6; ++k) {
    const double all = total.at<double>(k, k);
    const double corners = fromCorners.at<double>(k, k) / all, robot = fromRobot.at<double>(k, k) / all;
    budget.at<double>(k, 0) = corners;
    budget.at<double>(k, 1) = robot;
    // the rest, less the value given along the axis, is the intrinsics'
    const double prior = e.prior_A.empty() ? 0.0 : fromPrior.at<double>(k, k) / all;
    budget.at<double>(k, 2) = L.free.empty() ? 0.0 : std::max(0.0, 1.0 - corners - robot - prior);
  }
  return budget;
}

// rotation (rad, about the left frame's axes) and translation (m) of a against b
cv::Vec6d difference(const cv::Mat& a, const cv::Mat& b) {
  const cv::Mat M = a(cv::Rect(0, 0, 3, 3)) * b(cv::Rect(0, 0, 3, 3)).t();
  cv::Vec3d r;
  cv::Rodrigues(M, r);
  cv::Vec6d out;
  for (int i = 0; i < 3; ++i) {
    out[i] = r[i];
    out[i + 3] = a.at<double>(i, 3) - b.at<double>(i, 3);
  }
  return out;
}

double sigmaOf(const TransformUncertainty& u, int k) {
  return k < 3 ? u.rotation_std_deg[static_cast<std::size_t>(k)] * kRadPerDeg
               : u.translation_std_m[static_cast<std::size_t>(k - 3)];
}

// The joint covariance, unless the geometry is weak: then each axis's sigma grows to the largest
// of the normal matrix's, the jackknife's and the distance from the closed form.
void judgeGeometry(const HandEyeJointProblem& p, HandEyeJointSolve& out) {
  out.uncertainty = out.normal_uncertainty;
  std::vector<std::string> reasons;
  if (p.poor_rotation_variety) reasons.push_back("the rotation variety is poor");
  double ratio = 0.0;
  if (out.jackknife_uncertainty.known()) {
    for (int k = 0; k < 6; ++k) ratio = std::max(ratio, sigmaOf(out.jackknife_uncertainty, k) / sigmaOf(out.normal_uncertainty, k));
    if (ratio > kJackknifeDisagreement) {
      reasons.push_back("the joint solves with frames left out scatter " + fixedText(ratio, 1) +
                        " times more than the normal matrix says");
    }
  }
  if (reasons.empty()) return;
  out.raised = true;
  out.weak_reason = reasons[0] + (reasons.size() > 1 ? " and " + reasons[1] : "");
  const cv::Vec6d moved = difference(out.hand_eye, out.closed_form);
  cv::Mat sigma(6, 1, CV_64F);
  for (int k = 0; k < 6; ++k) {
    double s = sigmaOf(out.normal_uncertainty, k);
    if (out.jackknife_uncertainty.known()) s = std::max(s, sigmaOf(out.jackknife_uncertainty, k));
    sigma.at<double>(k) = std::max(s, std::abs(moved[k]));
  }
  const cv::Mat& c = out.normal_uncertainty.covariance;
  cv::Mat raised(6, 6, CV_64F);
  for (int a = 0; a < 6; ++a) {
    for (int b = 0; b < 6; ++b) {
      const double correlation = c.at<double>(a, b) / std::sqrt(c.at<double>(a, a) * c.at<double>(b, b));
      raised.at<double>(a, b) = correlation * sigma.at<double>(a) * sigma.at<double>(b);
    }
  }
  out.uncertainty = uncertaintyOf(raised);
}

}  // namespace

namespace {

// Why the problem cannot be solved as given, or "".
std::string inputProblem(const HandEyeJointProblem& p) {
  const std::size_t n = p.robots.size();
  if (n < kMinFramesPerSolve || p.object_points.size() != n || p.image_points.size() != n ||
      p.camera_T_target.size() != n) {
    return "it needs at least 4 frames with their corners, got " + std::to_string(n);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (p.object_points[i].rows < static_cast<int>(kMinPointsPerView) ||
        static_cast<int>(p.image_points[i].total()) != p.object_points[i].rows) {
      return "frame " + std::to_string(i) + " has fewer than 4 corners, or not one pixel per board point";
    }
  }
  return "";
}

// The closed form's transform, the board where its frames agree it is, the intrinsics as given and no
// corrections; with the layout of the parameters that move.
State startState(const HandEyeJointProblem& p, Layout& L) {
  const std::size_t n = p.robots.size();
  State s;
  s.c = poseVector(detail::inverseRigid(p.hand_eye));
  std::vector<cv::Mat> implied;
  for (std::size_t i = 0; i < n; ++i) implied.push_back(p.robots[i] * p.hand_eye * p.camera_T_target[i]);
  s.w = poseVector(tf::averagePose(implied));
  s.q = intrinsicVector(p.intrinsic_matrix, p.distortion_coefficients.empty() ? cv::Mat::zeros(1, 5, CV_64F)
                                                                              : p.distortion_coefficients);
  s.d.assign(n, Vec6::all(0.0));
  if (p.intrinsics_free) L.free = freeIntrinsics(p.fixed_intrinsics, s.q.size() - 4, s.q[1] / s.q[0]);
  L.corrections = L.intrinsics + static_cast<int>(L.free.size());
  if (p.free_board_scale) L.scale = L.corrections++;
  L.size = L.corrections + 6 * static_cast<int>(n);
  return s;
}

// The solve at settled noise levels, with what the uncertainty needs; inverse empty when singular.
struct Solved {
  State s;
  Levels lv;
  Evaluation e;
  cv::Mat inverse;
  double delta = kMinHuberPx;
};

// The solve repeated with the levels the variance components give, until they settle.
Solved solveWithLevels(const Model& model, State s, const Layout& L, Levels lv, const std::array<bool, 3>& estimate,
                       HandEyeJointSolve& out) {
  const std::vector<bool> all(model.frames(), true);
  Solved r;
  Levels previous = lv;
  for (;;) {
    r.delta = huberThreshold(model, s, L, all);
    s = descend(model, std::move(s), L, lv, r.delta, all, &out.iterations);
    r.e = evaluate(model, s, L, lv, r.delta, all, true);
    r.inverse = inverseScaled(r.e.normal.A);
    if (r.inverse.empty()) break;
    ++out.rounds;
    Levels next = nextLevels(r.e, r.inverse, s, L, lv, estimate);
    if (settled(next, lv) || out.rounds >= kMaxRounds) break;
    accelerate(next, lv, previous);
    previous = lv;
    lv = next;
  }
  r.s = std::move(s);
  r.lv = lv;
  return r;
}

// The same solve with groups of frames left out, the levels held: each replicate one Gauss-Newton
// step from the full solution on the normal equations without those frames' corners.
TransformUncertainty jointJackknife(const Model& model, const Solved& r, const Layout& L, const cv::Mat& handEye) {
  const std::size_t n = model.frames();
  const Evaluation& e = r.e;
  return jackknifeUncertainty(n, detail::toPose(handEye), [&](const std::vector<bool>& leftOut) -> std::optional<detail::Pose> {
    Normal without{e.normal.A.clone(), e.normal.g.clone(), 0.0};
    for (std::size_t i = 0; i < n; ++i) {
      if (leftOut[i]) accumulate(without, -e.frames[i].JtJ, -e.frames[i].Jtr, e.frames[i].columns);
    }
    cv::Mat S, scale, x;
    if (!unitDiagonal(without.A, S, scale) || !dampedStep(S, scale, -without.g, 0.0, x)) return std::nullopt;
    const State moved = model.step(r.s, L, x);
    return detail::toPose(detail::inverseRigid(poseMatrix(moved.c)));
  });
}

}  // namespace

HandEyeJointSolve refineHandEye(const HandEyeJointProblem& p) {
  HandEyeJointSolve out;
  out.intrinsics_free = p.intrinsics_free;
  out.intrinsic_matrix = p.intrinsic_matrix;
  out.distortion_coefficients = p.distortion_coefficients;
  out.closed_form = p.hand_eye;
  out.axis_prior = p.axis_prior;
  if (std::string problem = inputProblem(p); !problem.empty()) {
    out.failure = Failure{"joint_solve_failed", std::move(problem)};
    return out;
  }
  const std::size_t n = p.robots.size();
  const Model model(p);
  Layout L;
  State start = startState(p, L);

  const NoiseEstimate& g = p.given;
  const std::array<bool, 3> estimate{!(g.pixel_px > 0.0), !(g.robot_translation_m > 0.0),
                                     !(g.robot_rotation_deg > 0.0)};
  const Levels given{estimate[0] ? kStartPixelPx : g.pixel_px, estimate[1] ? kStartRobotM : g.robot_translation_m,
                     estimate[2] ? kStartRobotRad : g.robot_rotation_deg * kRadPerDeg};
  const Solved r = solveWithLevels(model, std::move(start), L, given, estimate, out);
  if (r.inverse.empty()) {
    out.failure = Failure{"joint_solve_failed", "the transform is not determined by the frames (singular normal matrix)"};
    return out;
  }
  const State& s = r.s;
  out.frames = static_cast<int>(n);
  out.corners = r.e.corners;
  out.parameters = L.size;
  if (2 * r.e.corners - (L.size - 6 * static_cast<int>(n)) <= 0) {
    out.failure = Failure{"joint_solve_failed", "only " + std::to_string(r.e.corners) + " corners for " +
                                                    std::to_string(L.size) + " parameters"};
    return out;
  }
  out.noise = {r.lv.px, r.lv.trans, r.lv.rot / kRadPerDeg};
  out.noise_estimated = {estimate[0], estimate[1], estimate[2]};
  out.hand_eye = detail::inverseRigid(poseMatrix(s.c));
  out.fixed_pose = poseMatrix(s.w);
  if (!L.free.empty()) {
    out.intrinsic_matrix = cameraMatrix(s.q);
    out.distortion_coefficients = distortion(s.q);
  }
  out.rms_px = std::sqrt(r.e.squares / r.e.corners);
  if (L.scale >= 0) {
    out.board_scale_free = true;
    out.board_scale = s.k;
    out.board_scale_sigma = std::sqrt(r.inverse.at<double>(L.scale, L.scale));
  }
  out.normal_uncertainty = uncertaintyOf(inverseCovariance(s.c, topLeft6(r.inverse)));
  out.error_budget = errorBudget(r.e, r.inverse, s, L);
  out.jackknife_uncertainty = jointJackknife(model, r, L, out.hand_eye);
  const cv::Vec6d moved = difference(out.hand_eye, out.closed_form);
  out.moved_deg = cv::norm(cv::Vec3d(moved[0], moved[1], moved[2])) / kRadPerDeg;
  out.moved_mm = cv::norm(cv::Vec3d(moved[3], moved[4], moved[5])) * 1000.0;
  judgeGeometry(p, out);
  out.ok = true;
  return out;
}

std::string formatJointSolve(const JointSolveText& text, const HandEyeJointSolve& j) {
  const std::string rule(60, '=');
  std::ostringstream os;
  os << "\n" << rule << "\n" << text.title << "\n" << rule << "\n";
  if (!j.ok) {
    os << "The joint solve failed: " << (j.failure ? j.failure->message : "not run") << ".\n";
    return os.str();
  }
  os << "Started from " << j.closed_form_method << "; fitted to " << j.corners << " corners of " << j.frames
     << " frames, each robot pose a measurement, the intrinsics " << (j.intrinsics_free ? "free" : "held") << ".\n";
  if (j.axis_prior) {
    const AxisPrior& a = *j.axis_prior;
    os << "Four-axis form: the motions turn about one axis only, so " << text.transform_name << "'s translation along "
       << "it rests on the value given: " << (a.on_hand_eye ? "known_axis_offset_m" : "known_board_height_m") << " = "
       << fixedText(a.value_m, 4) << " m, held with a 1-sigma of " << fixedText(a.sigma_m * 1000, 3)
       << " mm; the error budget below leaves that share out.\n";
  }
  os << text.transform_name << " moved from the closed form by " << fixedText(j.moved_mm, 3) << " mm and "
     << fixedText(j.moved_deg, 4) << " deg.\n";
  const auto source = [&](std::size_t k) { return j.noise_estimated[k] ? " (estimated)" : " (given)"; };
  os << "Noise levels, 1-sigma per axis:\n";
  os << "  Corners:           " << fixedText(j.noise.pixel_px, 3) << " px" << source(0) << "\n";
  os << "  Robot translation: " << fixedText(j.noise.robot_translation_m * 1000, 3) << " mm" << source(1) << "\n";
  os << "  Robot rotation:    " << fixedText(j.noise.robot_rotation_deg, 4) << " deg" << source(2) << "\n";
  if (j.board_scale_free) {
    os << "Board scale, fitted: " << fixedText(j.board_scale, 5) << " +- " << fixedText(j.board_scale_sigma, 5)
       << " (1-sigma); the transform is the one at that scale.\n";
  }
  os << "Residual RMS: " << fixedText(j.rms_px, 4) << " px; " << j.iterations << " iterations in " << j.rounds
     << " rounds of the noise levels.\n";
  const TransformUncertainty& u = j.uncertainty;
  os << "1-sigma of " << text.transform_name << ", from the joint solve:\n";
  os << "  Translation x, y, z: " << fixedText(u.translation_std_m[0] * 1000, 3) << ", "
     << fixedText(u.translation_std_m[1] * 1000, 3) << ", " << fixedText(u.translation_std_m[2] * 1000, 3) << " mm\n";
  os << "  Rotation about " << text.axes << " x, y, z: " << fixedText(u.rotation_std_deg[0], 4) << ", "
     << fixedText(u.rotation_std_deg[1], 4) << ", " << fixedText(u.rotation_std_deg[2], 4) << " deg\n";
  if (j.raised) {
    os << "Weak geometry: " << j.weak_reason << ". The 1-sigma above is raised from the normal matrix's to what "
       << "the data shows (frames left out, distance from the closed form).\n";
  }
  os << "Error budget, share of each axis's variance:\n";
  os << "                   corners   robot poses   intrinsics\n";
  static const char* const kAxes[6] = {"Rotation x", "Rotation y", "Rotation z",
                                       "Translation x", "Translation y", "Translation z"};
  for (int k : {3, 4, 5, 0, 1, 2}) {
    os << "  " << std::left << std::setw(14) << kAxes[k] << std::right;
    for (int c = 0; c < 3; ++c) {
      const double share = j.error_budget.at<double>(k, c);
      os << std::setw(c == 0 ? 8 : 12) << (std::isfinite(share) ? fixedText(100.0 * share, 0) + " %" : std::string("n/a"));
    }
    os << "\n";
  }
  return os.str();
}

io::HandEyeJointRecord jointRecord(const HandEyeJointSolve& j) {
  io::HandEyeJointRecord r;
  r.closed_form_method = j.closed_form_method;
  r.closed_form = j.closed_form;
  if (j.closed_form_uncertainty.known()) r.closed_form_covariance = j.closed_form_uncertainty.covariance;
  r.pixel_px = j.noise.pixel_px;
  r.robot_translation_m = j.noise.robot_translation_m;
  r.robot_rotation_deg = j.noise.robot_rotation_deg;
  r.noise_estimated = j.noise_estimated;
  r.intrinsic_matrix = j.intrinsic_matrix;
  r.distortion_coefficients = j.distortion_coefficients;
  r.intrinsics_free = j.intrinsics_free;
  r.error_budget = j.error_budget;
  r.rms_px = j.rms_px;
  r.frames = j.frames;
  r.corners = j.corners;
  r.uncertainty_raised = j.raised;
  r.weak_reason = j.weak_reason;
  return r;
}

}  // namespace vesk::calibration
