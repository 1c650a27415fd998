#include "calibration/least_squares.hpp"

#include <algorithm>
#include <limits>

#include <opencv2/calib3d.hpp>

#include "core/constants.hpp"
#include "core/transforms.hpp"

namespace vesk::calibration::lsq {

namespace {
// A normal matrix (scaled to a unit diagonal) whose singular values span more than this is taken
// as singular: a camera seen in one view only sits near 1e-12, a 12-frame rig near 1e-7.
constexpr double kMinConditionReciprocal = 1e-11;
}  // namespace

std::vector<double> cornerErrors(const cv::Mat& residual) {
  std::vector<double> out(static_cast<std::size_t>(residual.rows / 2));
  for (int i = 0; i < residual.rows / 2; ++i) {
    out[static_cast<std::size_t>(i)] = std::hypot(residual.at<double>(2 * i), residual.at<double>(2 * i + 1));
  }
  return out;
}

std::vector<FreeIntrinsic> freeIntrinsics(int fixedBits, std::size_t distortionCount, double aspect) {
  std::vector<FreeIntrinsic> out;
  if ((fixedBits & cv::CALIB_FIX_FOCAL_LENGTH) == 0) {
    if ((fixedBits & cv::CALIB_FIX_ASPECT_RATIO) != 0) {
      out.push_back({0, {{6, 1.0}, {7, aspect}}});
    } else {
      out.push_back({0, {{6, 1.0}}});
      out.push_back({1, {{7, 1.0}}});
    }
  }
  if ((fixedBits & cv::CALIB_FIX_PRINCIPAL_POINT) == 0) {
    out.push_back({2, {{8, 1.0}}});
    out.push_back({3, {{9, 1.0}}});
  }
  const auto fixedCoefficient = [&](std::size_t k) {
    switch (k) {
      case 0: return (fixedBits & cv::CALIB_FIX_K1) != 0;
      case 1: return (fixedBits & cv::CALIB_FIX_K2) != 0;
      case 2:
      case 3: return (fixedBits & cv::CALIB_ZERO_TANGENT_DIST) != 0;
      case 4: return (fixedBits & cv::CALIB_FIX_K3) != 0;
      // the higher terms of the rational, thin-prism and tilted models trade off against k1-k3;
      // they stay as each camera's own calibration set them
      default: return true;
    }
  };
  for (std::size_t k = 0; k < distortionCount; ++k) {
    if (!fixedCoefficient(k)) out.push_back({4 + static_cast<int>(k), {{10 + static_cast<int>(k), 1.0}}});
  }
  return out;
}

std::vector<double> intrinsicVector(const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients) {
  cv::Mat K, D;
  intrinsicMatrix.convertTo(K, CV_64F);
  distortionCoefficients.convertTo(D, CV_64F);
  std::vector<double> q = {K.at<double>(0, 0), K.at<double>(1, 1), K.at<double>(0, 2), K.at<double>(1, 2)};
  for (std::size_t k = 0; k < D.total(); ++k) q.push_back(D.at<double>(static_cast<int>(k)));
  return q;
}

cv::Mat cameraMatrix(const std::vector<double>& p) {
  return cv::Mat(cv::Matx33d(p[0], 0.0, p[2], 0.0, p[1], p[3], 0.0, 0.0, 1.0), true);
}

cv::Mat distortion(const std::vector<double>& p) {
  return cv::Mat(std::vector<double>(p.begin() + 4, p.end()), true).reshape(1, 1);
}

Vec6 poseVector(const cv::Mat& T) {
  cv::Mat r;
  cv::Rodrigues(T(cv::Rect(0, 0, 3, 3)), r);
  return Vec6(r.at<double>(0), r.at<double>(1), r.at<double>(2), T.at<double>(0, 3), T.at<double>(1, 3),
              T.at<double>(2, 3));
}

cv::Mat poseMatrix(const Vec6& p) {
  cv::Mat R;
  cv::Rodrigues(cv::Vec3d(p[0], p[1], p[2]), R);
  return detail::rigidTransform(R, cv::Mat(cv::Vec3d(p[3], p[4], p[5])));
}

void wrapRotation(Vec6& p) {
  const double angle = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
  if (angle <= kPi) return;
  const double scale = 1.0 - 2.0 * kPi / angle;
  for (int i = 0; i < 3; ++i) p[i] *= scale;
}

cv::Mat inverseCovariance(const Vec6& bTa, const cv::Mat& covariance) {
  const cv::Mat T0 = detail::inverseRigid(poseMatrix(bTa));
  const cv::Mat R0t = T0(cv::Rect(0, 0, 3, 3)).t();
  cv::Mat G(6, 6, CV_64F);
  constexpr double h = 1e-6;
  for (int k = 0; k < 6; ++k) {
    Vec6 p = bTa;
    p[k] += h;
    const cv::Mat T = detail::inverseRigid(poseMatrix(p));
    // the small rotation from its skew-symmetric part (cv::Rodrigues rounds angles this small to 0)
    const cv::Mat M = T(cv::Rect(0, 0, 3, 3)) * R0t;
    const cv::Vec3d w(M.at<double>(2, 1) - M.at<double>(1, 2), M.at<double>(0, 2) - M.at<double>(2, 0),
                      M.at<double>(1, 0) - M.at<double>(0, 1));
    for (int i = 0; i < 3; ++i) {
      G.at<double>(i, k) = 0.5 * w[i] / h;
      G.at<double>(i + 3, k) = (T.at<double>(i, 3) - T0.at<double>(i, 3)) / h;
    }
  }
  return G * covariance * G.t();
}

bool unitDiagonal(const cv::Mat& A, cv::Mat& S, cv::Mat& scale) {
  const int n = A.rows;
  scale.create(n, 1, CV_64F);
  for (int i = 0; i < n; ++i) {
    const double a = A.at<double>(i, i);
    if (!(a > 0.0) || !std::isfinite(a)) return false;
    scale.at<double>(i) = 1.0 / std::sqrt(a);
  }
  S = A.clone();
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) S.at<double>(i, j) *= scale.at<double>(i) * scale.at<double>(j);
  }
  return true;
}

bool dampedStep(const cv::Mat& S, const cv::Mat& scale, const cv::Mat& b, double lambda, cv::Mat& x) {
  cv::Mat damped = S.clone();
  for (int i = 0; i < S.rows; ++i) damped.at<double>(i, i) += lambda;
  cv::Mat y;
  if (!cv::solve(damped, b.mul(scale), y, cv::DECOMP_CHOLESKY)) return false;
  x = y.mul(scale);
  return cv::checkRange(x);
}

cv::Mat inverseScaled(const cv::Mat& A) {
  cv::Mat S, scale;
  if (!unitDiagonal(A, S, scale)) return {};
  const int n = A.rows;
  cv::Mat w;
  cv::SVD::compute(S, w, cv::SVD::NO_UV);
  if (!(w.at<double>(n - 1) > kMinConditionReciprocal * w.at<double>(0))) return {};
  cv::Mat inv;
  cv::invert(S, inv, cv::DECOMP_CHOLESKY);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) inv.at<double>(i, j) *= scale.at<double>(i) * scale.at<double>(j);
  }
  return inv;
}

void accumulate(Normal& n, const cv::Mat& JtJ, const cv::Mat& Jtr, const std::vector<int>& columns) {
  for (std::size_t a = 0; a < columns.size(); ++a) {
    const int ga = columns[a];
    n.g.at<double>(ga) += Jtr.at<double>(static_cast<int>(a));
    for (std::size_t b = 0; b < columns.size(); ++b) {
      n.A.at<double>(ga, columns[b]) += JtJ.at<double>(static_cast<int>(a), static_cast<int>(b));
    }
  }
}

}  // namespace vesk::calibration::lsq
