#include "core/transforms.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include <opencv2/calib3d.hpp>

#include "core/constants.hpp"
#include "core/logging.hpp"

namespace vesk::tf {

cv::Mat poseToTransformationMatrix(const std::vector<double>& pose) {
  if (pose.size() != 6) {
    throw std::invalid_argument("poseToTransformationMatrix: expected 6 elements [x,y,z,rx,ry,rz]");
  }
  const double rx = toRadians(pose[3]), ry = toRadians(pose[4]), rz = toRadians(pose[5]);
  const double cx = std::cos(rx), sx = std::sin(rx);
  const double cy = std::cos(ry), sy = std::sin(ry);
  const double cz = std::cos(rz), sz = std::sin(rz);

  cv::Mat T = cv::Mat::eye(4, 4, CV_64F);
  auto* r0 = T.ptr<double>(0);
  auto* r1 = T.ptr<double>(1);
  auto* r2 = T.ptr<double>(2);
  r0[0] = cy * cz; r0[1] = sx * sy * cz - cx * sz; r0[2] = cx * sy * cz + sx * sz;
  r1[0] = cy * sz; r1[1] = sx * sy * sz + cx * cz; r1[2] = cx * sy * sz - sx * cz;
  r2[0] = -sy;     r2[1] = sx * cy;                r2[2] = cx * cy;
  r0[3] = pose[0];
  r1[3] = pose[1];
  r2[3] = pose[2];
  return T;
}

std::vector<double> transformationMatrixToPose(const cv::Mat& transformation) {
  // A 4x4 array of vectors (several channels) is not a transformation either.
  if (!detail::isPoseShape(transformation)) {
    throw std::invalid_argument("transformationMatrixToPose: expected a 4x4 matrix");
  }
  if (const std::string problem = detail::rigidTransformProblem(transformation); !problem.empty()) {
    throw std::invalid_argument("transformationMatrixToPose: not a rigid transform: " + problem);
  }
  cv::Mat T;
  transformation.convertTo(T, CV_64F);
  auto r = [&T](int i, int j) { return T.at<double>(i, j); };

  double rx = 0.0, ry = 0.0, rz = 0.0;
  const double r20 = r(2, 0);
  if (!detail::allFinite(T(cv::Rect(0, 0, 3, 3)))) {
    // the clamp below would turn a NaN into a pitch of 90 degrees
    rx = ry = rz = std::numeric_limits<double>::quiet_NaN();
  } else if (r20 > 1.0) {
    ry = -kPi / 2.0;
    rz = std::atan2(-r(0, 1), r(1, 1));
    rx = 0.0;
  } else {
    ry = std::asin(std::min(1.0, -r20));
    if (std::abs(std::cos(ry)) > 1e-9) {
      rx = std::atan2(r(2, 1), r(2, 2));
      rz = std::atan2(r(1, 0), r(0, 0));
    } else {
      rx = 0.0;
      rz = std::atan2(-r(0, 1), r(1, 1));
    }
  }
  return {r(0, 3), r(1, 3), r(2, 3), toDegrees(rx), toDegrees(ry), toDegrees(rz)};
}

cv::Mat averagePose(const std::vector<cv::Mat>& poses) {
  if (poses.empty()) {
    throw std::invalid_argument("averagePose: poses must be non-empty");
  }
  cv::Mat rotationSum = cv::Mat::zeros(3, 3, CV_64F);
  cv::Mat translationSum = cv::Mat::zeros(3, 1, CV_64F);
  for (std::size_t i = 0; i < poses.size(); ++i) {
    const cv::Mat& pose = poses[i];
    if (!detail::isPoseShape(pose)) {
      throw std::invalid_argument("averagePose: expected 4x4 matrices, element " + std::to_string(i) +
                                  " is not");
    }
    if (const std::string problem = detail::rigidTransformProblem(pose); !problem.empty()) {
      throw std::invalid_argument("averagePose: element " + std::to_string(i) + " is not a rigid transform: " +
                                  problem);
    }
    cv::Mat P;
    pose.convertTo(P, CV_64F);
    rotationSum += P(cv::Rect(0, 0, 3, 3));
    translationSum += P(cv::Rect(3, 0, 1, 3));
  }

  cv::Vec3d w;
  const cv::Matx33d R = detail::nearestRotation(cv::Matx33d(rotationSum), &w);
  // Rotations that cancel (a sum of rank one or less, such as two half turns) have no mean rotation.
  if (detail::allFinite(cv::Mat(w)) && !(w[1] > 1e-9 * std::max(1.0, w[0]))) {
    logging::log(logging::WARNING, "averagePose: the rotations cancel out (their sum has rank " +
                                       std::string(w[0] > 1e-9 ? "1" : "0") +
                                       "), so their mean is undefined; the rotation is NaN.");
    translationSum /= static_cast<double>(poses.size());
    cv::Mat result = cv::Mat::eye(4, 4, CV_64F);
    result(cv::Rect(0, 0, 3, 3)).setTo(std::numeric_limits<double>::quiet_NaN());
    translationSum.copyTo(result(cv::Rect(3, 0, 1, 3)));
    return result;
  }
  translationSum /= static_cast<double>(poses.size());

  cv::Mat result = cv::Mat::eye(4, 4, CV_64F);
  cv::Mat(R).copyTo(result(cv::Rect(0, 0, 3, 3)));
  translationSum.copyTo(result(cv::Rect(3, 0, 1, 3)));
  return result;
}

}  // namespace vesk::tf

namespace vesk {

bool TransformUncertainty::known() const {
  return std::all_of(translation_std_m.begin(), translation_std_m.end(), [](double v) { return std::isfinite(v); }) &&
         std::all_of(rotation_std_deg.begin(), rotation_std_deg.end(), [](double v) { return std::isfinite(v); });
}

TransformUncertainty uncertaintyOf(const cv::Mat& covariance) {
  TransformUncertainty u;
  u.covariance = covariance.clone();
  for (int i = 0; i < 3; ++i) {
    u.rotation_std_deg[static_cast<std::size_t>(i)] = toDegrees(std::sqrt(covariance.at<double>(i, i)));
    u.translation_std_m[static_cast<std::size_t>(i)] = std::sqrt(covariance.at<double>(i + 3, i + 3));
  }
  return u;
}

}  // namespace vesk

namespace vesk::detail {

cv::Mat rigidTransform(const cv::Mat& R, const cv::Mat& t) {
  cv::Mat T = cv::Mat::eye(4, 4, CV_64F);
  R.convertTo(T(cv::Rect(0, 0, 3, 3)), CV_64F);
  cv::Mat t64;
  t.convertTo(t64, CV_64F);
  for (int r = 0; r < 3; ++r) T.at<double>(r, 3) = t64.at<double>(r);
  return T;
}

cv::Mat inverseRigid(const cv::Mat& T) {
  cv::Mat d;
  T.convertTo(d, CV_64F);
  const cv::Mat Rt = d(cv::Rect(0, 0, 3, 3)).t();
  return rigidTransform(Rt, -Rt * d(cv::Rect(3, 0, 1, 3)));
}

cv::Vec4d quaternionXyzw(const cv::Matx33d& R) {
  // from the largest of the four diagonal combinations, for accuracy near every angle
  const double t = R(0, 0) + R(1, 1) + R(2, 2);
  cv::Vec4d q;
  if (t >= R(0, 0) && t >= R(1, 1) && t >= R(2, 2)) {
    const double s = 2.0 * std::sqrt(1.0 + t);
    q = {(R(2, 1) - R(1, 2)) / s, (R(0, 2) - R(2, 0)) / s, (R(1, 0) - R(0, 1)) / s, 0.25 * s};
  } else if (R(0, 0) >= R(1, 1) && R(0, 0) >= R(2, 2)) {
    const double s = 2.0 * std::sqrt(1.0 + R(0, 0) - R(1, 1) - R(2, 2));
    q = {0.25 * s, (R(0, 1) + R(1, 0)) / s, (R(0, 2) + R(2, 0)) / s, (R(2, 1) - R(1, 2)) / s};
  } else if (R(1, 1) >= R(2, 2)) {
    const double s = 2.0 * std::sqrt(1.0 + R(1, 1) - R(0, 0) - R(2, 2));
    q = {(R(0, 1) + R(1, 0)) / s, 0.25 * s, (R(1, 2) + R(2, 1)) / s, (R(0, 2) - R(2, 0)) / s};
  } else {
    const double s = 2.0 * std::sqrt(1.0 + R(2, 2) - R(0, 0) - R(1, 1));
    q = {(R(0, 2) + R(2, 0)) / s, (R(1, 2) + R(2, 1)) / s, 0.25 * s, (R(1, 0) - R(0, 1)) / s};
  }
  q *= 1.0 / cv::norm(q);
  return q[3] < 0.0 ? -q : q;
}

Pose toPose(const cv::Mat& m) {
  if (!isPoseShape(m)) {
    throw std::invalid_argument("expected a 4x4 pose matrix");
  }
  cv::Mat d;
  m.convertTo(d, CV_64F);
  Pose p;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) p(r, c) = d.at<double>(r, c);
  return p;
}

Pose makePose(const cv::Matx33d& R, const cv::Vec3d& t) {
  Pose p = Pose::eye();
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) p(r, c) = R(r, c);
    p(r, 3) = t[r];
  }
  return p;
}

Pose inversePose(const Pose& p) {
  const cv::Matx33d Rt = rotationOf(p).t();
  return makePose(Rt, -(Rt * translationOf(p)));
}

std::vector<cv::Mat> inverseRigid(const std::vector<cv::Mat>& list) {
  std::vector<cv::Mat> out;
  out.reserve(list.size());
  for (const cv::Mat& T : list) out.push_back(inverseRigid(T));
  return out;
}

bool allFinite(const cv::Mat& m) { return m.empty() || cv::checkRange(m, true); }

void requireFinite(const cv::Mat& m, const std::string& component, const std::string& name) {
  if (!allFinite(m)) throw std::invalid_argument(component + ": " + name + " holds a non-finite value");
}

void requireFinite(const std::vector<cv::Mat>& list, const std::string& component, const std::string& name) {
  for (std::size_t i = 0; i < list.size(); ++i) requireFinite(list[i], component, name + "[" + std::to_string(i) + "]");
}

bool isPoseShape(const cv::Mat& m) { return m.dims == 2 && m.rows == 4 && m.cols == 4 && m.channels() == 1; }

namespace {

// max |R^T R - I| of the rotation block of a CV_64F 4x4 matrix.
double orthonormalityError(const cv::Mat& T) {
  const cv::Mat R = T(cv::Rect(0, 0, 3, 3));
  return cv::norm(R.t() * R - cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF);
}

}  // namespace

bool isRigidTransform(const cv::Mat& T) {
  if (!isPoseShape(T) || !allFinite(T)) return false;
  cv::Mat d;
  T.convertTo(d, CV_64F);
  return orthonormalityError(d) < 1e-6 && std::abs(cv::determinant(d(cv::Rect(0, 0, 3, 3))) - 1.0) < 1e-6;
}

std::string rigidTransformProblem(const cv::Mat& T) {
  if (!isPoseShape(T)) return "it is not a 4x4 matrix";
  cv::Mat d;
  T.convertTo(d, CV_64F);
  if (!allFinite(d)) return "";
  const double bottom[4] = {0.0, 0.0, 0.0, 1.0};
  for (int c = 0; c < 4; ++c) {
    if (std::abs(d.at<double>(3, c) - bottom[c]) > 1e-9) return "its bottom row is not 0 0 0 1";
  }
  const double off = orthonormalityError(d);
  if (off > kPoseOrthonormality) {
    std::ostringstream os;
    os << "its rotation block is not a rotation (max |R^T R - I| = " << off << ")";
    return os.str();
  }
  if (cv::determinant(d(cv::Rect(0, 0, 3, 3))) < 0.0) return "its rotation block is a reflection (determinant -1)";
  return "";
}

void requireRigid(const std::vector<cv::Mat>& list, const std::string& component, const std::string& name) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string problem = rigidTransformProblem(list[i]);
    if (!problem.empty()) {
      throw std::invalid_argument(component + ": " + name + "[" + std::to_string(i) +
                                  "] is not a rigid transform: " + problem);
    }
  }
}

std::vector<Pose> toPoses(const std::vector<cv::Mat>& list, const std::string& component, const std::string& name) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!isPoseShape(list[i])) {
      throw std::invalid_argument(component + ": " + name + "[" + std::to_string(i) + "] must be a 4x4 matrix");
    }
  }
  requireFinite(list, component, name);
  requireRigid(list, component, name);
  std::vector<Pose> out;
  out.reserve(list.size());
  for (const cv::Mat& m : list) out.push_back(toPose(m));
  return out;
}

void requireIntrinsicShapes(const cv::Mat& K, const cv::Mat& D, const std::string& component,
                            const std::string& kName, const std::string& dName) {
  if (K.dims != 2 || K.rows != 3 || K.cols != 3 || K.channels() != 1) {
    throw std::invalid_argument(component + ": " + kName + " must be a 3x3 matrix, got " +
                                (K.dims == 2 ? std::to_string(K.rows) + "x" + std::to_string(K.cols)
                                             : std::to_string(K.dims) + " dimensions") +
                                (K.channels() > 1 ? " with " + std::to_string(K.channels()) + " channels" : ""));
  }
  requireFinite(K, component, kName);
  if (D.empty()) return;
  const std::size_t n = D.total() * static_cast<std::size_t>(D.channels());
  const bool vector = D.dims == 2 && (D.rows == 1 || D.cols == 1) && D.channels() == 1;
  if (!vector || (n != 4 && n != 5 && n != 8 && n != 12 && n != 14)) {
    throw std::invalid_argument(component + ": " + dName + " must be a vector of 4, 5, 8, 12 or 14 values, got " +
                                (vector ? std::to_string(n) + " values"
                                        : "a " + std::to_string(D.rows) + "x" + std::to_string(D.cols) + " matrix" +
                                              (D.channels() > 1 ? " with " + std::to_string(D.channels()) +
                                                                      " channels"
                                                                : "")));
  }
  requireFinite(D, component, dName);
}

std::string cameraMatrixProblem(const cv::Mat& K, cv::Size imageSize) {
  if (K.dims != 2 || K.rows != 3 || K.cols != 3 || K.channels() != 1) return "it is not a 3x3 matrix";
  cv::Mat k;
  K.convertTo(k, CV_64F);
  if (!allFinite(k)) return "it holds a non-finite value";
  const auto at = [&k](int r, int c) { return k.at<double>(r, c); };
  if (at(1, 0) != 0.0 || at(2, 0) != 0.0 || at(2, 1) != 0.0 || at(2, 2) != 1.0) {
    return "its lower entries are not [0 fy cy; 0 0 1]";
  }
  const double minFocal = 0.05 * std::max(imageSize.width, imageSize.height);
  std::ostringstream os;
  if (!(at(0, 0) >= minFocal) || !(at(1, 1) >= minFocal)) {
    os << "its focal lengths (" << at(0, 0) << ", " << at(1, 1) << " px) are not plausible for " << imageSize.width
       << "x" << imageSize.height << " images";
    return os.str();
  }
  if (!(at(0, 2) > 0.0 && at(0, 2) < imageSize.width && at(1, 2) > 0.0 && at(1, 2) < imageSize.height)) {
    os << "its principal point (" << at(0, 2) << ", " << at(1, 2) << ") lies outside the " << imageSize.width << "x"
       << imageSize.height << " image";
    return os.str();
  }
  return "";
}

double motionAngleMismatchDeg(const std::vector<cv::Matx33d>& a, const std::vector<cv::Matx33d>& b,
                              std::size_t window) {
  double sum = 0.0;
  std::size_t count = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    for (std::size_t j = i + 1; j < a.size() && j < b.size() && j <= i + window; ++j) {
      sum += std::abs(rotationAngle(a[i] * a[j].t()) - rotationAngle(b[i] * b[j].t()));
      ++count;
    }
  }
  return count == 0 ? std::numeric_limits<double>::infinity() : toDegrees(sum / static_cast<double>(count));
}

double rotationAngleAxis(const cv::Mat& R, cv::Vec3d& axis) {
  cv::Mat r;
  cv::Rodrigues(R, r);
  const cv::Vec3d v(r.at<double>(0), r.at<double>(1), r.at<double>(2));
  const double angle = cv::norm(v);
  axis = angle > 0.0 ? v / angle : cv::Vec3d(0, 0, 0);
  return angle;
}

cv::Matx33d nearestRotation(const cv::Matx33d& M, cv::Vec3d* singularValues) {
  cv::Mat w, u, vt;
  cv::SVD::compute(cv::Mat(M), w, u, vt, 0);
  if (singularValues != nullptr) *singularValues = cv::Vec3d(w.at<double>(0), w.at<double>(1), w.at<double>(2));
  cv::Mat R = u * vt;
  if (cv::determinant(R) < 0.0) {
    vt.row(2) *= -1.0;
    R = u * vt;
  }
  return cv::Matx33d(R);
}

double rotationAngle(const cv::Matx33d& R) {
  return std::acos(std::clamp((cv::trace(R) - 1.0) / 2.0, -1.0, 1.0));
}

cv::Vec3d rotationVector(const cv::Matx33d& R) {
  cv::Vec3d w;
  cv::Rodrigues(R, w);
  return w;
}

cv::Matx33d rotationMatrix(const cv::Vec3d& w) {
  cv::Matx33d R;
  cv::Rodrigues(w, R);
  return R;
}

}  // namespace vesk::detail
