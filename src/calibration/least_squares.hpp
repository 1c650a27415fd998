#pragma once
// The joint least-squares engine every joint solve shares: a dense Levenberg-Marquardt on the
// normal equations, scaled to a unit diagonal, with the pieces of camera geometry the solves have
// in common (pose vectors, the intrinsic parameters a solve may move, covariance of an inverted pose).

#include <cmath>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "core/statistics.hpp"
#include "core/transforms.hpp"

namespace vesk::calibration::lsq {

using Vec6 = cv::Vec6d;

// Huber threshold in robust standard deviations of a corner's pixel error; the median of a 2D
// Gaussian error's length is 1.1774 sigma.
constexpr double kHuberSigmas = 3.0;
constexpr double kRayleighMedian = 1.1774100225154747;
constexpr double kMinHuberPx = 1e-3;

inline double huberCost(double e, double delta) { return e <= delta ? e * e : 2.0 * delta * e - delta * delta; }
inline double huberWeight(double e, double delta) { return e <= delta ? 1.0 : delta / e; }


// Pixel error length of each corner from residuals interleaved u, v.
std::vector<double> cornerErrors(const cv::Mat& residual);

// The intrinsic parameters [fx, fy, cx, cy, d0, d1, ...] of one camera that a solve moves. Each
// moves the projection through the columns of cv::projectPoints' Jacobian it names, with weights:
// a fixed aspect ratio ties fy to fx.
struct FreeIntrinsic {
  int index;
  std::vector<std::pair<int, double>> columns;
};
std::vector<FreeIntrinsic> freeIntrinsics(int fixedBits, std::size_t distortionCount, double aspect);

// [fx, fy, cx, cy, d...] from a camera matrix and distortion, and back.
std::vector<double> intrinsicVector(const cv::Mat& K, const cv::Mat& D);
cv::Mat cameraMatrix(const std::vector<double>& p);
cv::Mat distortion(const std::vector<double>& p);

// A rigid transform as [rotation vector, translation], and back.
Vec6 poseVector(const cv::Mat& T);
cv::Mat poseMatrix(const Vec6& p);
// Keeps a rotation vector's angle within [0, pi], where its Jacobian is well behaved.
void wrapRotation(Vec6& p);

// Covariance of the left rotation increment (about a's axes) and the translation of a_T_b, from
// the covariance of the rotation and translation vectors of b_T_a.
cv::Mat inverseCovariance(const Vec6& bTa, const cv::Mat& covariance);

// A scaled to a unit diagonal, S = D A D with D = diag(A)^-1/2, so that parameters of any unit
// (pixels per focal length, per radian, per metre) weigh alike; false when a diagonal entry is not
// positive.
bool unitDiagonal(const cv::Mat& A, cv::Mat& S, cv::Mat& scale);
// Solves (S + lambda I) y = D b and returns x = D y: the damped step on the scaled system.
bool dampedStep(const cv::Mat& S, const cv::Mat& scale, const cv::Mat& b, double lambda, cv::Mat& x);
// A^-1 through the same scaling; empty when A is not positive definite or nearly singular.
cv::Mat inverseScaled(const cv::Mat& A);

// Normal equations of a cost at one state: A = J^T W J, g = J^T W r, and the cost itself.
struct Normal {
  cv::Mat A, g;
  double cost = 0.0;
};

// Adds a block's J^T J and J^T r (already weighted) to the rows and columns it names.
void accumulate(Normal& n, const cv::Mat& JtJ, const cv::Mat& Jtr, const std::vector<int>& columns);

constexpr int kMaxIterations = 100;
constexpr double kRelativeDecrease = 1e-10;

// Levenberg-Marquardt from s: normal(s) gives the normal equations, cost(s) the cost, step(s, x)
// the state moved by x. Stops when a step lowers the cost by less than kRelativeDecrease of it, no
// step lowers it, or after kMaxIterations.
template <class State, class NormalOf, class CostOf, class StepOf>
State levenbergMarquardt(State s, const NormalOf& normal, const CostOf& cost, const StepOf& step, int* iterations) {
  double lambda = 1e-3;
  for (int it = 0; it < kMaxIterations; ++it) {
    ++*iterations;
    const Normal n = normal(s);
    cv::Mat S, scale;
    if (!unitDiagonal(n.A, S, scale)) return s;
    bool accepted = false;
    while (lambda < 1e12) {
      cv::Mat x;
      if (dampedStep(S, scale, -n.g, lambda, x)) {
        State trial = step(s, x);
        const double c = cost(trial);
        if (std::isfinite(c) && c < n.cost) {
          const double decrease = (n.cost - c) / n.cost;
          s = std::move(trial);
          lambda = std::max(lambda / 10.0, 1e-12);
          accepted = true;
          if (decrease < kRelativeDecrease) return s;
          break;
        }
      }
      lambda *= 10.0;
    }
    if (!accepted) return s;
  }
  return s;
}

}  // namespace vesk::calibration::lsq
