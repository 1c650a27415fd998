#include "calibration/hand_eye/hand_eye_four_axis.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

#include <opencv2/calib3d.hpp>

#include "core/constants.hpp"

namespace vesk::calibration {

namespace {

using detail::Pose;
using detail::rotationOf;
using detail::translationOf;


// The direction the rotation vectors share most: the first right singular vector of their stack,
// which weighs each motion by its angle.
cv::Vec3d dominantAxis(const std::vector<cv::Vec3d>& rvecs) {
  cv::Mat M(static_cast<int>(rvecs.size()), 3, CV_64F);
  for (std::size_t i = 0; i < rvecs.size(); ++i) {
    for (int k = 0; k < 3; ++k) M.at<double>(static_cast<int>(i), k) = rvecs[i][k];
  }
  cv::Mat w, u, vt;
  cv::SVD::compute(M, w, u, vt);
  return {vt.at<double>(0, 0), vt.at<double>(0, 1), vt.at<double>(0, 2)};
}

// Two unit vectors completing `a` to an orthonormal basis.
void perpendicularBasis(const cv::Vec3d& a, cv::Vec3d& e1, cv::Vec3d& e2) {
  const cv::Vec3d helper = std::abs(a[0]) < 0.9 ? cv::Vec3d(1, 0, 0) : cv::Vec3d(0, 1, 0);
  e1 = cv::normalize(helper - helper.dot(a) * a);
  e2 = a.cross(e1);
}

// The translation equations R_i t_X - t_W = -t_i - R_i R_X c_i of every frame, with the
// constraint eliminated, solved by least squares at one rotation R_X.
struct Translations {
  cv::Vec3d tx, tw;
  double ssr = 0.0;
};

Translations solveTranslations(const std::vector<Pose>& robots, const std::vector<Pose>& cams, const cv::Matx33d& Rx,
                               const cv::Vec3d& axis, const cv::Vec3d& fixedAxis,
                               const FourAxisConstraint& constraint) {
  cv::Vec3d e1, e2, f1, f2;
  perpendicularBasis(axis, e1, e2);
  perpendicularBasis(fixedAxis, f1, f2);
  const bool offsetGiven = constraint.axis_offset_m.has_value();
  const double value = offsetGiven ? *constraint.axis_offset_m : constraint.board_height_m.value_or(0.0);
  const int n = static_cast<int>(robots.size());
  cv::Mat A(3 * n, 5, CV_64F), b(3 * n, 1, CV_64F);
  for (int i = 0; i < n; ++i) {
    const cv::Matx33d Ri = rotationOf(robots[static_cast<std::size_t>(i)]);
    cv::Vec3d rhs = -translationOf(robots[static_cast<std::size_t>(i)]) - Ri * (Rx * translationOf(cams[static_cast<std::size_t>(i)]));
    cv::Vec3d cols[5];
    if (offsetGiven) {
      // t_X = value * axis + u1 e1 + u2 e2; t_W free
      cols[0] = Ri * e1;
      cols[1] = Ri * e2;
      cols[2] = {-1, 0, 0};
      cols[3] = {0, -1, 0};
      cols[4] = {0, 0, -1};
      rhs -= value * (Ri * axis);
    } else {
      // t_W = value * fixedAxis + v1 f1 + v2 f2; t_X free
      for (int k = 0; k < 3; ++k) cols[k] = cv::Vec3d(Ri(0, k), Ri(1, k), Ri(2, k));
      cols[3] = -f1;
      cols[4] = -f2;
      rhs += value * fixedAxis;
    }
    for (int r = 0; r < 3; ++r) {
      for (int k = 0; k < 5; ++k) A.at<double>(3 * i + r, k) = cols[k][r];
      b.at<double>(3 * i + r) = rhs[r];
    }
  }
  cv::Mat x;
  cv::solve(A, b, x, cv::DECOMP_SVD);
  const cv::Mat residual = A * x - b;
  Translations out;
  out.ssr = residual.dot(residual);
  const auto u = [&](int k) { return x.at<double>(k); };
  if (offsetGiven) {
    out.tx = value * axis + u(0) * e1 + u(1) * e2;
    out.tw = {u(2), u(3), u(4)};
  } else {
    out.tx = {u(0), u(1), u(2)};
    out.tw = value * fixedAxis + u(3) * f1 + u(4) * f2;
  }
  return out;
}

// Every frame's implied fixed pose robots_i * X * cams_i against W: the rotation residual scaled by
// the viewing distance (a rotation error moves the board by about that lever arm) and the
// translation residual, over X's rotation, W's and the four translation components the constraint
// leaves free. Gauss-Newton from the scan's solution, numerical Jacobians on 11 parameters.
// The polish's parameters: small rotations of X and W (3 + 3), then X's translation across the axis
// (2) and W's (3) when X's offset along the axis is given, or X's (3) and W's across the fixed axis (2)
// when the board's height is.
struct PolishModel {
  const std::vector<Pose>& robots;
  const std::vector<Pose>& cams;
  cv::Vec3d axis, fixedAxis, e1, e2, f1, f2;
  bool offsetGiven = false;
  double value = 0.0;
  double lever = 0.0;  // metres a radian of rotation residual counts as
  cv::Matx33d Rx0, Rw0;

  void poses(const cv::Mat& p, Pose& X, Pose& W) const {
    const auto v = [&](int k) { return p.at<double>(k); };
    const cv::Matx33d Rx = detail::rotationMatrix({v(0), v(1), v(2)}) * Rx0, Rw = detail::rotationMatrix({v(3), v(4), v(5)}) * Rw0;
    cv::Vec3d tx, tw;
    if (offsetGiven) {
      tx = value * axis + v(6) * e1 + v(7) * e2;
      tw = {v(8), v(9), v(10)};
    } else {
      tx = {v(6), v(7), v(8)};
      tw = value * fixedAxis + v(9) * f1 + v(10) * f2;
    }
    X = detail::makePose(Rx, tx);
    W = detail::makePose(Rw, tw);
  }

  cv::Mat residuals(const cv::Mat& p) const {
    Pose X, W;
    poses(p, X, W);
    const Pose Winv = detail::inversePose(W);
    const std::size_t n = robots.size();
    cv::Mat r(static_cast<int>(6 * n), 1, CV_64F);
    for (std::size_t i = 0; i < n; ++i) {
      const Pose implied = robots[i] * X * cams[i];
      const cv::Vec3d dr = detail::rotationVector(rotationOf(Winv * implied)) * lever;
      const cv::Vec3d dt = translationOf(implied) - translationOf(W);
      for (int k = 0; k < 3; ++k) {
        r.at<double>(static_cast<int>(6 * i) + k) = dr[k];
        r.at<double>(static_cast<int>(6 * i) + 3 + k) = dt[k];
      }
    }
    return r;
  }

  // The parameters of the start's translations, its rotations taken as they are.
  cv::Mat start(const cv::Vec3d& tx0, const cv::Vec3d& tw0) const {
    cv::Mat p = cv::Mat::zeros(11, 1, CV_64F);
    if (offsetGiven) {
      p.at<double>(6) = tx0.dot(e1);
      p.at<double>(7) = tx0.dot(e2);
      for (int k = 0; k < 3; ++k) p.at<double>(8 + k) = tw0[k];
    } else {
      for (int k = 0; k < 3; ++k) p.at<double>(6 + k) = tx0[k];
      p.at<double>(9) = tw0.dot(f1);
      p.at<double>(10) = tw0.dot(f2);
    }
    return p;
  }
};

// Gauss-Newton with a numeric Jacobian, each step kept only when it lowers the cost.
cv::Mat gaussNewton(const PolishModel& model, cv::Mat p) {
  cv::Mat r = model.residuals(p);
  double cost = r.dot(r);
  for (int it = 0; it < 20; ++it) {
    cv::Mat J(r.rows, 11, CV_64F);
    for (int k = 0; k < 11; ++k) {
      cv::Mat q = p.clone();
      const double h = k < 6 ? 1e-7 : 1e-7 * std::max(1.0, std::abs(p.at<double>(k)));
      q.at<double>(k) += h;
      cv::Mat col = (model.residuals(q) - r) / h;
      col.copyTo(J.col(k));
    }
    cv::Mat step;
    if (!cv::solve(J.t() * J, -(J.t() * r), step, cv::DECOMP_CHOLESKY)) break;
    const cv::Mat next = p + step;
    const cv::Mat rn = model.residuals(next);
    const double c = rn.dot(rn);
    if (!(c < cost)) break;
    p = next;
    r = rn;
    const bool settled = cost - c < 1e-12 * cost;
    cost = c;
    if (settled) break;
  }
  return p;
}

FourAxisSolution polish(const std::vector<Pose>& robots, const std::vector<Pose>& cams, FourAxisSolution start,
                        const cv::Vec3d& axis, const cv::Vec3d& fixedAxis, const FourAxisConstraint& constraint) {
  const std::size_t n = robots.size();
  PolishModel model{robots, cams, axis, fixedAxis, {}, {}, {}, {}, constraint.axis_offset_m.has_value(), 0.0, 0.0,
                    rotationOf(start.hand_eye), rotationOf(start.fixed_pose)};
  for (const Pose& c : cams) model.lever += cv::norm(translationOf(c)) / static_cast<double>(n);
  perpendicularBasis(axis, model.e1, model.e2);
  perpendicularBasis(fixedAxis, model.f1, model.f2);
  model.value = model.offsetGiven ? *constraint.axis_offset_m : constraint.board_height_m.value_or(0.0);
  const cv::Mat p = gaussNewton(model, model.start(translationOf(start.hand_eye), translationOf(start.fixed_pose)));
  FourAxisSolution out = start;
  model.poses(p, out.hand_eye, out.fixed_pose);
  double ssr = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const cv::Vec3d dt = translationOf(robots[i] * out.hand_eye * cams[i]) - translationOf(out.fixed_pose);
    ssr += dt.dot(dt);
  }
  out.rms_m = std::sqrt(ssr / (3.0 * static_cast<double>(n)));
  return out;
}

}  // namespace

SingleAxisMotions singleAxisMotions(const std::vector<Pose>& robots, bool fixedCamera) {
  SingleAxisMotions out;
  if (robots.size() < 3) return out;
  const cv::Matx33d R0t = rotationOf(robots[0]).t();
  std::vector<cv::Vec3d> all, large;
  for (std::size_t i = 1; i < robots.size(); ++i) {
    all.push_back(detail::rotationVector(R0t * rotationOf(robots[i])));
    if (cv::norm(all.back()) > kMinMotionRad) large.push_back(all.back());
  }
  if (large.size() < 2) return out;
  cv::Vec3d a = dominantAxis(large);
  for (const cv::Vec3d& r : all) {
    out.off_axis_deg = std::max(out.off_axis_deg, cv::norm(r - r.dot(a) * a) / kRadPerDeg);
    out.about_axis_deg = std::max(out.about_axis_deg, std::abs(r.dot(a)) / kRadPerDeg);
  }
  // a camera on the flange sees the motions in the flange's frame of the first pose; a fixed one
  // (tcp_T_robot poses) in the robot base
  cv::Vec3d base = fixedCamera ? a : rotationOf(robots[0]) * a;
  int largest = 0;
  for (int k = 1; k < 3; ++k) {
    if (std::abs(base[k]) > std::abs(base[largest])) largest = k;
  }
  const double upward = std::abs(base[2]) > 1e-3 ? base[2] : base[largest];
  if (upward < 0) {
    a = -a;
    base = -base;
  }
  out.axis = a;
  out.base_axis = base;
  out.single = out.off_axis_deg < kFourAxisOffAxisDeg;
  return out;
}

io::FourAxisRecord fourAxisRecord(const FourAxisSolve& f) {
  return {f.axis, f.base_axis, f.constraint, f.value_m, f.tolerance_m, f.axis_offset_m, f.board_height_m,
          f.off_axis_deg};
}

cv::Vec3d fixedPoseAxis(const std::vector<Pose>& robots, const cv::Vec3d& axis) {
  cv::Vec3d sum(0, 0, 0);
  for (const Pose& r : robots) sum += rotationOf(r) * axis;
  return cv::normalize(sum);
}

HandEyeDataFinding fourAxisFinding(const SingleAxisMotions& single, bool fixedCamera) {
  std::ostringstream os;
  os << "Rotations about one axis only, as a four-axis robot makes: the camera's offset along that axis cannot be "
        "found from the motions; give it with known_axis_offset_m ("
     << (fixedCamera ? "the camera's height along the axis in the robot base"
                     : "the camera's offset above the flange along the axis")
     << ", in metres), or give known_board_height_m ("
     << (fixedCamera ? "the board's offset above the flange along the axis"
                     : "the board's height along the axis in the robot base")
     << "). The flange turns by up to " << std::fixed << std::setprecision(1) << single.about_axis_deg
     << " deg about the axis and at most " << std::setprecision(2) << single.off_axis_deg
     << " deg about any other direction.";
  return {"four_axis_motions", os.str(), {}};
}

namespace {

// The rotation that turns the camera's motion axis onto the flange's (A X = X B for the motions from
// the first frame), up to the angle about the axis; nothing when the camera's motions do not turn
// with the flange's.
std::optional<cv::Matx33d> alignedAxes(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                                       const cv::Vec3d& axis) {
  std::vector<cv::Vec3d> flange, camera;
  const Pose r0inv = detail::inversePose(robots[0]);
  for (std::size_t i = 1; i < robots.size(); ++i) {
    flange.push_back(detail::rotationVector(rotationOf(r0inv * robots[i])));
    camera.push_back(detail::rotationVector(rotationOf(cams[0] * detail::inversePose(cams[i]))));
  }
  cv::Vec3d ac = dominantAxis(camera);
  double agree = 0.0;
  for (std::size_t i = 0; i < flange.size(); ++i) agree += flange[i].dot(axis) * camera[i].dot(ac);
  if (!(std::abs(agree) > kMinMotionRad * kMinMotionRad)) return std::nullopt;
  if (agree < 0) ac = -ac;
  const cv::Vec3d cross = ac.cross(axis);
  const double s = cv::norm(cross), c = ac.dot(axis);
  if (s > 1e-12) return detail::rotationMatrix(cross * (std::atan2(s, c) / s));
  if (c >= 0) return cv::Matx33d::eye();
  cv::Vec3d e1, e2;
  perpendicularBasis(ac, e1, e2);
  return detail::rotationMatrix(e1 * kPi);  // opposite: a half turn, the scan finds the rest
}

// The angle in [-pi, pi) where `residual` is least: a scan by degrees, then golden section.
template <class Residual>
double leastAngle(const Residual& residual) {
  constexpr int kSteps = 360;
  int best = 0;
  double bestSsr = residual(-kPi);
  for (int k = 1; k < kSteps; ++k) {
    const double v = residual(-kPi + 2.0 * kPi * k / kSteps);
    if (v < bestSsr) {
      bestSsr = v;
      best = k;
    }
  }
  const double step = 2.0 * kPi / kSteps;
  double lo = -kPi + step * (best - 1), hi = -kPi + step * (best + 1);
  const double g = (std::sqrt(5.0) - 1.0) / 2.0;
  double x1 = hi - g * (hi - lo), x2 = lo + g * (hi - lo);
  double f1 = residual(x1), f2 = residual(x2);
  for (int it = 0; it < 80 && hi - lo > 1e-12; ++it) {
    if (f1 < f2) {
      hi = x2;
      x2 = x1;
      f2 = f1;
      x1 = hi - g * (hi - lo);
      f1 = residual(x1);
    } else {
      lo = x1;
      x1 = x2;
      f1 = f2;
      x2 = lo + g * (hi - lo);
      f2 = residual(x2);
    }
  }
  return 0.5 * (lo + hi);
}

}  // namespace

std::optional<FourAxisSolution> solveFourAxis(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                                              const cv::Vec3d& axis, const FourAxisConstraint& constraint) {
  const std::size_t n = std::min(robots.size(), cams.size());
  if (n < kMinFramesPerSolve || !constraint.given()) return std::nullopt;
  const std::vector<Pose> rs(robots.begin(), robots.begin() + static_cast<long>(n));
  const std::vector<Pose> cs(cams.begin(), cams.begin() + static_cast<long>(n));
  const std::optional<cv::Matx33d> align = alignedAxes(rs, cs, axis);
  if (!align) return std::nullopt;
  const cv::Vec3d fixedAxis = fixedPoseAxis(rs, axis);
  const double phi = leastAngle([&](double angle) {
    return solveTranslations(rs, cs, detail::rotationMatrix(axis * angle) * *align, axis, fixedAxis, constraint).ssr;
  });
  const cv::Matx33d Rx = detail::rotationMatrix(axis * phi) * *align;
  const Translations t = solveTranslations(rs, cs, Rx, axis, fixedAxis, constraint);
  cv::Matx33d sum = cv::Matx33d::zeros();
  for (std::size_t i = 0; i < n; ++i) sum += rotationOf(rs[i]) * Rx * rotationOf(cs[i]);
  FourAxisSolution out;
  out.hand_eye = detail::makePose(Rx, t.tx);
  out.fixed_pose = detail::makePose(detail::nearestRotation(sum), t.tw);
  out.rms_m = std::sqrt(t.ssr / (3.0 * static_cast<double>(n)));
  if (!std::isfinite(out.rms_m)) return std::nullopt;
  out = polish(rs, cs, out, axis, fixedAxis, constraint);
  if (!std::isfinite(out.rms_m)) return std::nullopt;
  return out;
}

TransformUncertainty withAxisTolerance(const cv::Mat& covariance, const cv::Vec3d& axis, double tolerance) {
  cv::Mat cov = covariance.clone();
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; k < 3; ++k) cov.at<double>(3 + i, 3 + k) += tolerance * tolerance * axis[i] * axis[k];
  }
  return uncertaintyOf(cov);
}

}  // namespace vesk::calibration
