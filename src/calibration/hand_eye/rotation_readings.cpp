#include "calibration/hand_eye/rotation_readings.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include <opencv2/calib3d.hpp>

#include "core/constants.hpp"
#include "core/threads.hpp"

namespace vesk::calibration {

namespace {

using detail::Pose;
using detail::rotationOf;
using detail::translationOf;

// A predicted angle, in the controller's own numbers read as radians, matches a given one within
// this (rad): the views fix the flange's orientation to about 0.1 degree, 0.1 here.
constexpr double kWrapTolerance = 0.5;
// A degrees-as-radians reading must reproduce this share of the frames.
constexpr double kReproducedShare = 0.8;

double wrap(double a) { return std::remainder(a, 2.0 * kPi); }

cv::Matx33d axisRotation(int axis, double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  if (axis == 0) return {1, 0, 0, 0, c, -s, 0, s, c};
  if (axis == 1) return {c, 0, s, 0, 1, 0, -s, 0, c};
  return {c, -s, 0, s, c, 0, 0, 0, 1};
}

// The same rotation by the other angles of the sequence.
cv::Vec3d otherBranch(const EulerOrder& o, const cv::Vec3d& e) {
  if (o.a == o.c) return {wrap(e[0] + kPi), -e[1], wrap(e[2] + kPi)};
  return {wrap(e[0] + kPi), wrap(kPi - e[1]), wrap(e[2] + kPi)};
}

// The angles a block read in the order `r` was built from, for a controller that writes them in the
// order `o`: of the two sets that give the block, the one in o's own range.
cv::Vec3d valuesFor(const EulerOrder& o, const EulerOrder& r, const cv::Matx33d& G) {
  const cv::Vec3d e = toEuler(r, G);
  const auto inRange = [&](const cv::Vec3d& v) { return o.a == o.c ? v[1] >= 0.0 : std::abs(v[1]) <= kPi / 2; };
  if (inRange(e)) return e;
  const cv::Vec3d f = otherBranch(r, e);
  return inRange(f) ? f : e;
}

// Per frame the one of two candidate rotations whose motion angles to the other frames match the
// camera's best (they agree for a right reading whatever the mount): first against either candidate
// of each other frame, then against the ones picked.
std::vector<cv::Matx33d> choose(const std::vector<std::array<cv::Matx33d, 2>>& candidates,
                                const std::vector<cv::Matx33d>& cams) {
  const std::size_t n = candidates.size();
  std::vector<int> picked(n, -1);
  for (int pass = 0; pass < 3; ++pass) {
    std::vector<int> next(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
      double cost[2] = {0.0, 0.0};
      for (int k = 0; k < 2; ++k) {
        for (std::size_t j = 0; j < n; ++j) {
          if (j == i) continue;
          const double camera = detail::rotationAngle(cams[i] * cams[j].t());
          double best = kInf;
          for (int l = 0; l < 2; ++l) {
            if (picked[j] >= 0 && l != picked[j]) continue;
            best = std::min(best, std::abs(detail::rotationAngle(candidates[i][k].t() * candidates[j][l]) - camera));
          }
          cost[k] += best;
        }
      }
      next[i] = cost[1] < cost[0] ? 1 : 0;
    }
    picked = next;
  }
  std::vector<cv::Matx33d> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(candidates[i][static_cast<std::size_t>(picked[i])]);
  return out;
}

// A rotation vector read as Euler angles in the order r (values reversed or not): either set of
// angles that gives the block, chosen by the motions.
std::vector<cv::Matx33d> vectorReading(const EulerOrder& r, bool reversed, const std::vector<cv::Matx33d>& given,
                                       const std::vector<cv::Matx33d>& cams) {
  std::vector<std::array<cv::Matx33d, 2>> candidates;
  for (const cv::Matx33d& G : given) {
    const cv::Vec3d e = toEuler(r, G), f = otherBranch(r, e);
    const auto rotation = [&](const cv::Vec3d& v) {
      return detail::rotationMatrix(reversed ? cv::Vec3d(v[2], v[1], v[0]) : v);
    };
    // the shorter vector first: where the two differ much, a rotation vector's angle stays within pi
    if (cv::norm(f) < cv::norm(e)) {
      candidates.push_back({rotation(f), rotation(e)});
    } else {
      candidates.push_back({rotation(e), rotation(f)});
    }
  }
  return choose(candidates, cams);
}

// Euler angles in the order o read as a rotation vector: the vector as extracted (angle up to pi) or
// the same rotation the other way round, the longer vector their norm beyond pi gives, chosen by the motions.
std::vector<cv::Matx33d> eulerFromVector(const EulerOrder& o, const std::vector<cv::Matx33d>& given,
                                         const std::vector<cv::Matx33d>& cams) {
  std::vector<std::array<cv::Matx33d, 2>> candidates;
  for (const cv::Matx33d& G : given) {
    const cv::Vec3d v = detail::rotationVector(G);
    const double n = cv::norm(v);
    const cv::Vec3d w = n > 0.0 ? v * (1.0 - 2.0 * kPi / n) : v;
    candidates.push_back({fromEuler(o, v), fromEuler(o, w)});
  }
  return choose(candidates, cams);
}

template <class F>
RotationReading reading(const char* code, std::string what, const std::vector<cv::Matx33d>& given, F f) {
  RotationReading r{code, std::move(what), {}};
  for (const cv::Matx33d& G : given) r.rotations.push_back(f(G));
  return r;
}

// Translations alone: t_i = R (T_i d) + t over the flange's position d in frame T_i's child, by
// alternating the rotation (Kabsch) and the linear rest. RMS residual in `rms`.
struct Registration {
  cv::Matx33d R = cv::Matx33d::eye();
  cv::Vec3d t, d;
  double rms = 0.0;
};

Registration registerTranslations(const std::vector<cv::Vec3d>& t, const std::vector<Pose>& T) {
  const std::size_t n = t.size();
  Registration g;
  for (int iteration = 0; iteration < 400; ++iteration) {
    std::vector<cv::Vec3d> q;
    cv::Vec3d mq(0, 0, 0), mt(0, 0, 0);
    for (std::size_t i = 0; i < n; ++i) {
      q.push_back(rotationOf(T[i]) * g.d + translationOf(T[i]));
      mq += q.back() / static_cast<double>(n);
      mt += t[i] / static_cast<double>(n);
    }
    cv::Matx33d H = cv::Matx33d::zeros();
    for (std::size_t i = 0; i < n; ++i) H += (q[i] - mq) * (t[i] - mt).t();
    g.R = detail::nearestRotation(H.t());
    // with the rotation held, d and t are linear: R R_i d + t = t_i - R t_i'
    cv::Mat A(3 * static_cast<int>(n), 6, CV_64F), b(3 * static_cast<int>(n), 1, CV_64F);
    for (std::size_t i = 0; i < n; ++i) {
      const cv::Matx33d RR = g.R * rotationOf(T[i]);
      const cv::Vec3d rhs = t[i] - g.R * translationOf(T[i]);
      for (int r = 0; r < 3; ++r) {
        const int row = 3 * static_cast<int>(i) + r;
        for (int k = 0; k < 3; ++k) {
          A.at<double>(row, k) = RR(r, k);
          A.at<double>(row, 3 + k) = r == k ? 1.0 : 0.0;
        }
        b.at<double>(row) = rhs[r];
      }
    }
    cv::Mat x;
    cv::solve(A, b, x, cv::DECOMP_SVD);
    const cv::Vec3d d(x.at<double>(0), x.at<double>(1), x.at<double>(2));
    g.t = cv::Vec3d(x.at<double>(3), x.at<double>(4), x.at<double>(5));
    const bool settled = cv::norm(d - g.d) < 1e-9;
    g.d = d;
    if (settled) break;
  }
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const cv::Vec3d e = t[i] - (g.R * (rotationOf(T[i]) * g.d + translationOf(T[i])) + g.t);
    sum += e.dot(e);
  }
  g.rms = std::sqrt(sum / static_cast<double>(n));
  return g;
}

// Does the predicted orientation, its canonical angles in degrees read as radians, give the block
// whose angles are `given` (either branch)?
bool reproduces(const EulerOrder& o, const cv::Matx33d& predicted, const cv::Vec3d& given, const cv::Vec3d& other) {
  const cv::Vec3d p = toEuler(o, predicted) * kDegPerRad;
  const auto near = [&](const cv::Vec3d& g) {
    for (int k = 0; k < 3; ++k) {
      if (!(std::abs(wrap(p[k] - g[k])) < kWrapTolerance)) return false;
    }
    return true;
  };
  return near(given) || near(other);
}

struct Lattice {
  int frames = 0;  // reproduced
  cv::Matx33d Q;   // the flange's orientation in the frame it is registered to
};

// The candidates of frame 0 (each angle the given one plus whole turns, within +-180 degrees), each
// fixing the mount Q, kept when it reproduces frame `probe`, then counted over every frame.
Lattice searchOrder(const EulerOrder& o, const std::vector<cv::Matx33d>& M, const std::vector<cv::Matx33d>& G,
                    std::size_t probe) {
  std::vector<cv::Vec3d> given, other;
  for (const cv::Matx33d& g : G) {
    given.push_back(toEuler(o, g));
    other.push_back(otherBranch(o, given.back()));
  }
  Lattice best;
  const cv::Matx33d M0t = M[0].t();
  const int turns = static_cast<int>(180.0 / (2.0 * kPi));
  for (const cv::Vec3d& start : {given[0], other[0]}) {
    for (int m1 = -turns - 1; m1 <= turns + 1; ++m1) {
      const double a1 = start[0] + 2.0 * kPi * m1;
      if (std::abs(a1) > 180.0) continue;
      const cv::Matx33d R1 = axisRotation(o.a, a1 / kDegPerRad);
      for (int m2 = -turns - 1; m2 <= turns + 1; ++m2) {
        const double a2 = start[1] + 2.0 * kPi * m2;
        if (std::abs(a2) > 180.0) continue;
        const cv::Matx33d R12 = R1 * axisRotation(o.b, a2 / kDegPerRad);
        for (int m3 = -turns - 1; m3 <= turns + 1; ++m3) {
          const double a3 = start[2] + 2.0 * kPi * m3;
          if (std::abs(a3) > 180.0) continue;
          const cv::Matx33d Q = M0t * (R12 * axisRotation(o.c, a3 / kDegPerRad));
          if (!reproduces(o, M[probe] * Q, given[probe], other[probe])) continue;
          int frames = 0;
          for (std::size_t i = 0; i < M.size(); ++i) frames += reproduces(o, M[i] * Q, given[i], other[i]);
          if (frames > best.frames) best = {frames, Q};
        }
      }
    }
  }
  return best;
}

// Each frame's own angles, unwrapped to the whole turns the prediction says, back in radians.
cv::Matx33d unwrapped(const EulerOrder& o, const cv::Matx33d& predicted, const cv::Matx33d& G) {
  const cv::Vec3d p = toEuler(o, predicted) * kDegPerRad;
  const cv::Vec3d g = toEuler(o, G), h = otherBranch(o, g);
  double dg = 0.0, dh = 0.0;
  for (int k = 0; k < 3; ++k) {
    dg += std::abs(wrap(p[k] - g[k]));
    dh += std::abs(wrap(p[k] - h[k]));
  }
  const cv::Vec3d& e = dg <= dh ? g : h;
  cv::Vec3d a;
  for (int k = 0; k < 3; ++k) a[k] = (e[k] + 2.0 * kPi * std::round((p[k] - e[k]) / (2.0 * kPi))) / kDegPerRad;
  return fromEuler(o, a);
}

}  // namespace

std::string EulerOrder::name() const {
  const char* axes = "xyz";
  return std::string{axes[a], axes[b], axes[c]};
}

const std::vector<EulerOrder>& eulerOrders() {
  static const std::vector<EulerOrder> orders = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0},
                                                 {0, 1, 0}, {0, 2, 0}, {1, 0, 1}, {1, 2, 1}, {2, 0, 2}, {2, 1, 2}};
  return orders;
}

cv::Matx33d fromEuler(const EulerOrder& o, const cv::Vec3d& e) {
  return axisRotation(o.a, e[0]) * axisRotation(o.b, e[1]) * axisRotation(o.c, e[2]);
}

cv::Vec3d toEuler(const EulerOrder& o, const cv::Matx33d& R) {
  if (o.a != o.c) {
    const int a = o.a, b = o.b, c = o.c;
    const double s = (b - a + 3) % 3 == 1 ? 1.0 : -1.0;
    const double beta = std::asin(std::clamp(s * R(a, c), -1.0, 1.0));
    return {std::atan2(-s * R(b, c), R(c, c)), beta, std::atan2(-s * R(a, b), R(a, a))};
  }
  const int a = o.a, b = o.b, d = 3 - o.a - o.b;
  const double s = (b - a + 3) % 3 == 1 ? 1.0 : -1.0;
  return {std::atan2(R(b, a), -s * R(d, a)), std::acos(std::clamp(R(a, a), -1.0, 1.0)),
          std::atan2(R(a, b), s * R(a, d))};
}

std::vector<RotationReading> exactReadings(const std::vector<cv::Matx33d>& given, const std::vector<cv::Matx33d>& cams) {
  std::vector<RotationReading> out;
  out.push_back(reading("robot_rotation_convention", "transposed: each block is the inverse rotation", given,
                        [](const cv::Matx33d& G) { return G.t(); }));
  out.push_back(reading("robot_rotation_in_degrees", "a rotation vector in radians read as degrees", given,
                        [](const cv::Matx33d& G) { return detail::rotationMatrix(detail::rotationVector(G) * kDegPerRad); }));
  for (const EulerOrder& o : eulerOrders()) {
    const std::string n = o.name();
    out.push_back(reading("robot_rotation_in_degrees", n + " Euler angles in radians read as degrees", given,
                          [&](const cv::Matx33d& G) { return fromEuler(o, toEuler(o, G) * kDegPerRad); }));
    out.push_back({"robot_rotation_convention", "a rotation vector read as " + n + " Euler angles",
                   vectorReading(o, false, given, cams)});
    out.push_back({"robot_rotation_convention", n + " Euler angles read as a rotation vector",
                   eulerFromVector(o, given, cams)});
    // the same three numbers in another order of axes, or in reverse (intrinsic read as extrinsic)
    const auto reversed = [](const cv::Vec3d& v) { return cv::Vec3d(v[2], v[1], v[0]); };
    out.push_back({"robot_rotation_convention", "a rotation vector read as " + n + " Euler angles, reversed",
                   vectorReading(o, true, given, cams)});
    for (const EulerOrder& r : eulerOrders()) {
      const std::string read = r.name();
      if (read != n) {
        out.push_back(reading("robot_rotation_convention", n + " Euler angles read in the order " + read, given,
                              [&](const cv::Matx33d& G) { return fromEuler(o, valuesFor(o, r, G)); }));
      }
      out.push_back(reading("robot_rotation_convention",
                            n + " Euler angles read in reverse, as " + std::string(read.rbegin(), read.rend()) +
                                " about fixed axes",
                            given, [&](const cv::Matx33d& G) { return fromEuler(o, reversed(valuesFor(o, r, G))); }));
    }
  }
  return out;
}

std::optional<RotationReading> degreesReadAsRadians(const std::vector<Pose>& robotTTcp,
                                                    const std::vector<Pose>& targetTFrame) {
  const std::size_t n = robotTTcp.size();
  if (n < 4 || targetTFrame.size() != n) return std::nullopt;
  std::vector<cv::Vec3d> t;
  std::vector<cv::Matx33d> G;
  for (const Pose& p : robotTTcp) {
    t.push_back(translationOf(p));
    G.push_back(rotationOf(p));
  }
  const Registration reg = registerTranslations(t, targetTFrame);
  std::vector<cv::Matx33d> M;
  for (const Pose& p : targetTFrame) M.push_back(reg.R * rotationOf(p));
  // probe with the frame whose orientation differs most from frame 0's
  std::size_t probe = 1;
  double widest = -1.0;
  for (std::size_t i = 1; i < n; ++i) {
    cv::Vec3d axis;
    const double angle = detail::rotationAngleAxis(cv::Mat(M[0].t() * M[i]), axis);
    if (angle > widest) {
      widest = angle;
      probe = i;
    }
  }
  const std::vector<EulerOrder>& orders = eulerOrders();
  std::vector<Lattice> found(orders.size());
  detail::forEachView(orders.size(), [&](std::size_t k) { found[k] = searchOrder(orders[k], M, G, probe); });
  const auto best = std::max_element(found.begin(), found.end(),
                                     [](const Lattice& x, const Lattice& y) { return x.frames < y.frames; });
  if (best->frames < static_cast<int>(std::ceil(kReproducedShare * static_cast<double>(n)))) return std::nullopt;
  const EulerOrder& o = orders[static_cast<std::size_t>(best - found.begin())];
  RotationReading r{"robot_rotation_in_degrees", o.name() + " Euler angles in degrees read as radians", {}};
  for (std::size_t i = 0; i < n; ++i) r.rotations.push_back(unwrapped(o, M[i] * best->Q, G[i]));
  return r;
}

}  // namespace vesk::calibration
